#pragma once
// The kiosk shell: keeps the browser running on the desktop URL, keeps its frame at the bottom
// of the stacking order, and ends after the first browser run shorter than two seconds.
#include <windows.h>

#include <string>
#include <vector>

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

// Registry reads without the foundation library; each returns the Win32 result.
LONG ReadRegistryValue(HKEY root, const wchar_t* path, const wchar_t* name, DWORD& type, std::vector<BYTE>& data);
LONG ReadDwordValue(HKEY root, const wchar_t* path, const wchar_t* name, DWORD& value);
// From HKEY_LOCAL_MACHINE; REG_SZ or REG_MULTI_SZ (its first string). text is untouched on error.
LONG ReadStringValue(const wchar_t* path, const wchar_t* name, std::wstring& text);
LONG DeleteUserValue(const wchar_t* path, const wchar_t* name);

}  // namespace ambrel
