#pragma once
// The kiosk shell: keeps the browser running on the desktop URL, keeps its frame at the bottom
// of the stacking order, and ends after the first browser run shorter than two seconds.
#include <windows.h>

#include "UniqueHandle.h"

namespace ambrel {

// The whole program; always 0.
int RunShell();

// One browser start on the desktop URL, or on the reset URL when a reset was requested.
void LaunchDesktopBrowser();
// Waits until every browser process of one snapshot has ended; false when no snapshot.
bool WaitForBrowserProcesses();

// The window-keeper thread: pushes the browser frame to the bottom whenever the window below
// it changed, once a period, until stopEvent (an event handle) is set.
DWORD WINAPI KeepBrowserFrameAtBottom(LPVOID stopEvent);

// The keeper thread and the event that stops it. The shell runs without a keeper when either
// cannot be created.
class BrowserFrameKeeper {
public:
    BrowserFrameKeeper();
    ~BrowserFrameKeeper() { Stop(); }
    BrowserFrameKeeper(const BrowserFrameKeeper&) = delete;
    BrowserFrameKeeper& operator=(const BrowserFrameKeeper&) = delete;

    // Sets the event, which ends the keeper's wait at once, and waits for the thread at most
    // one period; the keeper is never forced.
    void Stop();

private:
    tsmb::UniqueHandle m_stop;
    tsmb::UniqueHandle m_thread;
};

}  // namespace ambrel
