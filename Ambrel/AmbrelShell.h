#pragma once
// The kiosk shell: keeps the browser running on the desktop URL, keeps its frame at the bottom
// of the stacking order, and ends after the first browser run shorter than two seconds.
#include <windows.h>

namespace ambrel {

// The whole program; always 0.
int RunShell();

// One browser start on the desktop URL, or on the reset URL when a reset was requested.
void LaunchDesktopBrowser();
// Waits until every browser process of one snapshot has ended; false when no snapshot.
bool WaitForBrowserProcesses();
// The window-keeper thread: runs until StopBrowserFrameKeeper.
DWORD WINAPI KeepBrowserFrameAtBottom(LPVOID);
void StopBrowserFrameKeeper();

}  // namespace ambrel
