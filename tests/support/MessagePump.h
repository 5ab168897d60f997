#pragma once
// The positive sign that ends a wait for "nothing more arrives" on a window thread: whatever
// was posted to it before has been handled.
#include <windows.h>

namespace testsupport {

// Posts a marker to this thread and dispatches its messages until the marker comes back.
// Posted messages arrive in order, so everything posted before the call (a control's events
// among them) has been dispatched when it returns true; false when the marker did not come back
// within timeoutMs.
bool PumpPosted(DWORD timeoutMs = 5000);

}  // namespace testsupport
