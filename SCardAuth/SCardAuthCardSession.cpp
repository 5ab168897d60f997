#include "SCardAuthCardSession.h"

#include <wininet.h>
#include <winscard.h>

#include "CardHandles.h"
#include "SCardMonitoringThread.h"
#include "Trace.h"

SCardAuthCardSession& SCardAuthCardSession::Process()
{
    // Never destroyed: a monitor whose stop timed out may still use it while the process ends.
    static SCardAuthCardSession* session = new SCardAuthCardSession();
    return *session;
}

void SCardAuthCardSession::Authenticate(const SCardAuthReader& card)
{
    tsmb::CriticalSectionLock lock(m_lock);
    m_authenticated = true;
    m_card = card;
}

void SCardAuthCardSession::EndUnless(const char* function, const SCardAuthReader& present, const char* why)
{
    {
        tsmb::CriticalSectionLock lock(m_lock);
        if (!m_authenticated || (!present.name.empty() && present == m_card))
            return;
        ClearLocked();
    }
    Trace("SCardAuth:%s: the card that authenticated the TLS session is not the one card present any more (%s)", function,
          why);
    End(function);
}

void SCardAuthCardSession::EndNow(const char* function, const char* why)
{
    {
        tsmb::CriticalSectionLock lock(m_lock);
        ClearLocked();
    }
    Trace("SCardAuth:%s: the TLS session ends (%s)", function, why);
    End(function);
}

void SCardAuthCardSession::MonitorStarted()
{
    tsmb::CriticalSectionLock lock(m_lock);
    ++m_monitors;
}

void SCardAuthCardSession::MonitorStopped(const char* function)
{
    Leave(m_monitors, function, "the last card monitor of the process stopped");
}

void SCardAuthCardSession::ExchangeStarted()
{
    tsmb::CriticalSectionLock lock(m_lock);
    ++m_exchanges;
}

void SCardAuthCardSession::ExchangeEnded(const char* function)
{
    Leave(m_exchanges, function, "a request ended while no card monitor of the process runs");
}

void SCardAuthCardSession::Leave(long& count, const char* function, const char* why)
{
    {
        tsmb::CriticalSectionLock lock(m_lock);
        --count;
        if (m_monitors > 0 || m_exchanges > 0 || !m_authenticated)
            return;
        ClearLocked();
    }
    Trace("SCardAuth:%s: nothing watches the card that authenticated the TLS session any more (%s)", function, why);
    End(function);
}

void SCardAuthCardSession::ClearLocked()
{
    m_authenticated = false;
    ++m_ends;
}

ULONG SCardAuthCardSession::RequestOut()
{
    tsmb::CriticalSectionLock lock(m_lock);
    return m_ends;
}

void SCardAuthCardSession::RequestLetGo(ULONG mark)
{
    {
        tsmb::CriticalSectionLock lock(m_lock);
        if (m_ends == mark)
            return;
        // The record stays as it is: a card that authenticated since (another request) is
        // still watched, and what its own answer sets up ends when it leaves.
    }
    // WinINet lets go of a request in its status callback: the end is made out of its way, on
    // a thread of the pool (the module stays loaded for the process's life), and here only
    // when no such thread can be had.
    if (!QueueUserWorkItem(&SCardAuthCardSession::EndAgain, nullptr, WT_EXECUTEDEFAULT)) {
        Trace("SCardAuth:%s:QueueUserWorkItem: failed with last error: %ld", "SCardAuthCardSession::RequestLetGo",
              GetLastError());
        EndAgain(nullptr);
    }
}

DWORD WINAPI SCardAuthCardSession::EndAgain(void*)
{
    static const char kName[] = "SCardAuthCardSession::RequestLetGo";
    Trace("SCardAuth:%s: a request that was out when the TLS session ended is let go => what its answer set up ends "
          "too",
          kName);
    End(kName);
    return 0;
}

bool SCardAuthCardSession::IsAuthenticated()
{
    tsmb::CriticalSectionLock lock(m_lock);
    return m_authenticated;
}

void SCardAuthCardSession::End(const char* function)
{
    // WinINet is called without the lock: a monitor must not wait for it to take a record.
    Trace("SCardAuth:%s: smart card removal and previous SSL authentication => clear SSL authentication state", function);
    if (!InternetSetOptionW(nullptr, INTERNET_OPTION_END_BROWSER_SESSION, nullptr, 0))
        Trace("SCardAuth:%s:InternetSetOption: failed for INTERNET_OPTION_END_BROWSER_SESSION with last error: %ld",
              function, GetLastError());
}

bool SCardAuthCardSession::IsSameCard(const SCardAuthReader& card, DWORD eventState)
{
    // The card as the monitors classify it: what it would be had the reader been watched since.
    const DWORD known = SCARD_STATE_PRESENT | (card.counter << 16);
    return scardm::HoldsCard(eventState) && scardm::ClassifyCardChange(known, eventState, true) == scardm::CardChange::None;
}

bool SCardAuthCardSession::IsPresent(const SCardAuthReader& card)
{
    static const char kName[] = "SCardAuthCardSession::IsPresent";
    CardContext context;
    LONG result = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, context.Put());
    if (result != SCARD_S_SUCCESS) {
        context.Release();
        Trace("SCardAuth:%s:SCardEstablishContext: failed with SCard error: 0x%08X", kName, static_cast<DWORD>(result));
        return false;
    }
    SCARD_READERSTATEW state = {};
    state.szReader = card.name.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    result = SCardGetStatusChangeW(context.Get(), 0, &state, 1);
    if (result != SCARD_S_SUCCESS) {
        Trace("SCardAuth:%s:SCardGetStatusChange: failed with SCard error: 0x%08X", kName, static_cast<DWORD>(result));
        return false;
    }
    return IsSameCard(card, state.dwEventState);
}
