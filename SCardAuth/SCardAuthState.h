#pragma once
// What one control shares with its card monitors and its requests, under one lock: the control
// window that events are posted to, and the active reader (the one reader that holds a card)
// with its card's insertion/removal counter. Reference counted: a monitor whose stop timed out
// keeps its copy alive after the control is gone. The card that authenticated the WinINet
// session is the process's (SCardAuthCardSession), not the control's.
#include <windows.h>

#include "CriticalSection.h"
#include "RefCount.h"
#include "SCardAuthCardSession.h"

class SCardAuthState : public tsmb::Object {
public:
    // A new control window: from now on only the monitor given this generation posts and sets
    // the active reader. Returns that generation.
    ULONG AttachWindow(HWND window);
    // The window is going: nothing is posted any more, and there is no active reader.
    void DetachWindow();
    // Posts to the control window, if the generation is still the window's; false otherwise.
    bool Post(ULONG generation, UINT message, WPARAM wParam, LPARAM lParam);
    // Posts to the current window, if there is one.
    bool PostToWindow(UINT message, WPARAM wParam, LPARAM lParam);

    void SetActiveReader(ULONG generation, const SCardAuthReader& reader);
    SCardAuthReader GetActiveReader();
    // For callers without a monitor (the page's own thread, tests).
    void SetActiveReader(const SCardAuthReader& reader);

private:
    tsmb::CriticalSection m_lock;
    HWND m_window = nullptr;
    ULONG m_generation = 0;
    SCardAuthReader m_activeReader;
};
