#include "StuckStatusWait.h"

namespace testsupport {

namespace {

StuckStatusWait* g_current = nullptr;

}  // namespace

StuckStatusWait::StuckStatusWait()
    : m_blocked(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      m_release(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      m_wait(nullptr, "SCardGetStatusChangeW", &Wait),
      m_cancel(nullptr, "SCardCancel", &IgnoredCancel)
{
    g_current = this;
}

StuckStatusWait::~StuckStatusWait()
{
    Release();
    g_current = nullptr;
}

bool StuckStatusWait::WaitUntilBlocked(DWORD timeoutMs) const
{
    return WaitForSingleObject(m_blocked.Get(), timeoutMs) == WAIT_OBJECT_0;
}

void StuckStatusWait::Release() { SetEvent(m_release.Get()); }

LONG WINAPI StuckStatusWait::Wait(SCARDCONTEXT context, DWORD timeout, SCARD_READERSTATEW* states, DWORD count)
{
    if (timeout != INFINITE)
        return g_current->m_wait.Original<decltype(&SCardGetStatusChangeW)>()(context, timeout, states, count);
    // Taken before the test can go on: a release that closes the event ends the wait as well.
    const HANDLE release = g_current->m_release.Get();
    SetEvent(g_current->m_blocked.Get());
    WaitForSingleObject(release, INFINITE);
    return SCARD_E_CANCELLED;
}

LONG WINAPI StuckStatusWait::IgnoredCancel(SCARDCONTEXT) { return SCARD_S_SUCCESS; }

}  // namespace testsupport
