#pragma once
// A smart-card service whose blocking status-change wait neither a change nor a cancel ends (one
// that does not honour SCardCancel): a card monitor's worker then cannot be stopped. The test
// program's SCardGetStatusChangeW and SCardCancel are hooked while the object lives; a call that
// does not block passes through. The blocked wait ends, cancelled, at Release or when the object
// goes. One object at a time.
#include <windows.h>
#include <winscard.h>

#include "ImportHook.h"
#include "UniqueHandle.h"

namespace testsupport {

class StuckStatusWait {
public:
    StuckStatusWait();
    ~StuckStatusWait();
    StuckStatusWait(const StuckStatusWait&) = delete;
    StuckStatusWait& operator=(const StuckStatusWait&) = delete;

    // True once a worker blocks in the wait (false on timeout).
    bool WaitUntilBlocked(DWORD timeoutMs) const;
    // The blocked wait, and every later one, returns SCARD_E_CANCELLED.
    void Release();

private:
    static LONG WINAPI Wait(SCARDCONTEXT context, DWORD timeout, SCARD_READERSTATEW* states, DWORD count);
    static LONG WINAPI IgnoredCancel(SCARDCONTEXT);

    tsmb::UniqueHandle m_blocked;
    tsmb::UniqueHandle m_release;
    ImportHook m_wait;
    ImportHook m_cancel;
};

}  // namespace testsupport
