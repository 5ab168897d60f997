#pragma once
// The card that authenticated the browser process's WinINet session. WinINet keeps one session
// (TLS client authentication, connections, cookies) for the whole process, so the record of
// which card authenticated it belongs to the process too: every control and card monitor of the
// process (another tab, the next page) applies the same rule to the same record.
#include <windows.h>

#include <string>

#include "CriticalSection.h"
#include "Utils.h"

// A reader and the card in it: the insertion/removal counter in the high 16 bits of the
// reader's event state changes when a card leaves or enters, so a card swapped within one
// notification is told apart from the one that stayed.
struct SCardAuthReader {
    std::wstring name;  // empty: no reader
    DWORD counter = 0;

    bool operator==(const SCardAuthReader& other) const { return name == other.name && counter == other.counter; }
    bool operator!=(const SCardAuthReader& other) const { return !(*this == other); }
};

// Every end of the browser process's WinINet session goes through this record (End below is the
// one place that ends it), so that the record, the count of ends and the requests' marks see it.
// Threads: any. The monitors' worker threads apply the rule; the page thread runs exchanges and
// opens and lets go of requests; WinINet's callback threads let go of requests (the last
// reference to a request's record may go there); a pool thread repeats an end (EndAgain). One
// lock guards the record; WinINet is never called under it.
class SCardAuthCardSession {
public:
    // The one record of this process (of this loaded Keyvora.dll).
    static SCardAuthCardSession& Process();

    // Page thread: a request is about to present card's certificate: the session is that card's
    // from now on.
    void Authenticate(const SCardAuthReader& card);
    // Monitor workers: the rule every card monitor applies at every event and at its first
    // pass: the session ends as soon as the card that authenticated it is not the one card
    // present (present: that card, or empty for none or several, or when the monitor cannot
    // watch the readers). why names the new state for the trace.
    void EndUnless(const char* function, const SCardAuthReader& present, const char* why);
    // Page thread: ends the session now, whatever card authenticated it (a request that could
    // not be opened leaves WinINet's state in doubt).
    void EndNow(const char* function, const char* why);

    // Page thread: card monitors of the process, and exchanges in progress. Once the last
    // monitor stopped nothing would see the card leave: the session ends then, or when the last
    // exchange that was still running ends.
    void MonitorStarted();
    void MonitorStopped(const char* function);
    void ExchangeStarted();
    void ExchangeEnded(const char* function);

    // A request from its opening (page thread) until WinINet reports it closed (a WinINet
    // callback thread), which may come after the call that made it gave up on it. What its
    // answer sets up (a TLS session, a cookie) belongs to the card of the request, so an end
    // that came while it was out is made again, on a pool thread, once WinINet let go of it.
    // RequestOut gives the mark that RequestLetGo takes back.
    ULONG RequestOut();
    void RequestLetGo(ULONG mark);

    // Any thread.
    bool IsAuthenticated();

    // Any thread: whether card is still in its reader, asked of the smart-card service now (a
    // monitor may not have seen a change yet). False when the service cannot tell.
    static bool IsPresent(const SCardAuthReader& card);
    // The same question for a reader's state as the service reports it.
    static bool IsSameCard(const SCardAuthReader& card, DWORD eventState);

private:
    SCardAuthCardSession() = default;
    // One monitor or exchange fewer: when that leaves nobody watching and no exchange running
    // with the record set, the record goes and the session ends.
    void Leave(long& count, const char* function, const char* why);
    // Clears the record and counts the end. Under the lock.
    void ClearLocked();
    // The one call that ends WinINet's session. Kept out of line: a test holds the process to
    // this one call site.
    [[gnu::noinline]] static void End(const char* function);
    static DWORD WINAPI EndAgain(void*);

    tsmb::CriticalSection m_lock;
    bool m_authenticated = false;
    SCardAuthReader m_card;
    long m_monitors = 0;
    long m_exchanges = 0;
    ULONG m_ends = 0;  // ends of the session so far: the mark of a request
};

// Counts one exchange in progress for its scope.
class SCardAuthExchangeScope {
public:
    explicit SCardAuthExchangeScope(const char* function) : m_function(function)
    {
        SCardAuthCardSession::Process().ExchangeStarted();
    }
    ~SCardAuthExchangeScope() { SCardAuthCardSession::Process().ExchangeEnded(m_function); }
    SCardAuthExchangeScope(const SCardAuthExchangeScope&) = delete;
    SCardAuthExchangeScope& operator=(const SCardAuthExchangeScope&) = delete;

private:
    const char* m_function;
};
