#pragma once
// Tumblet: one hidden window that turns the two broadcast cascading messages into a workstation
// lock or a forced log-off, shutdown, restart, suspend or hibernation.
#include <windows.h>

namespace tumblet {

const wchar_t kWindowClass[] = L"TessamAmbrelTumblet";
const int kIconResource = 107;
// SHTDN_REASON_FLAG_PLANNED | SHTDN_REASON_MAJOR_OPERATINGSYSTEM | minor 0x13.
const DWORD kPlannedSystemReason = 0x80020013;

// The program: returns at once unless the client agent is the shell and no other copy runs;
// otherwise runs the window's message loop. Always 0.
int RunTumblet(HINSTANCE instance);

// Whether the user's shell is the client agent; read once, then remembered.
bool IsClientAgentShell();
// The same condition read afresh from the registry.
bool ReadClientAgentShellCondition();

// The first top-level window of that class (exact, at most 100 characters) and, when title is
// given, that title; nullptr when className is nullptr or nothing matches.
HWND FindTopLevelWindow(const wchar_t* className, const wchar_t* title);

// Registers the window class with the program's icon; creates the hidden window (nullptr on
// failure).
bool RegisterTumbletClass(HINSTANCE instance);
HWND CreateTumbletWindow(HINSTANCE instance);
LRESULT CALLBACK TumbletWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Privileged requests; any failure turns into one forced log-off attempt.
bool RequestExitWindows(UINT flags, DWORD reason);
bool RequestPowerState(bool hibernate);

// Set by a lock, consumed by the next log-off request of kind 0, 1 or 42.
bool IsLockPending();

}  // namespace tumblet
