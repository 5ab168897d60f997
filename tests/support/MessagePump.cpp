#include "MessagePump.h"

#include <algorithm>

namespace testsupport {

bool PumpPosted(DWORD timeoutMs)
{
    static const UINT marker = RegisterWindowMessageW(L"OrvaneTestsPostedMarker");
    static LONG calls = 0;
    const LPARAM mine = InterlockedIncrement(&calls);
    if (!PostThreadMessageW(GetCurrentThreadId(), marker, 0, mine))
        return false;
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.hwnd == nullptr && msg.message == marker) {
                if (msg.lParam == mine)
                    return true;
                // An outer call's marker, met by a call inside a handler: it goes back in the
                // queue, behind this one's, and the outer call waits a little longer.
                PostThreadMessageW(GetCurrentThreadId(), marker, 0, msg.lParam);
                continue;
            }
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, 50)),
                                  QS_ALLINPUT);
    }
}

}  // namespace testsupport
