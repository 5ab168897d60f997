#pragma once
// What the control, its card monitors and its requests share, under one lock: the control
// window that events are posted to, the active reader with its card's insertion/removal
// counter, and the card that authenticated the WinINet TLS session. Reference counted: a
// monitor whose stop timed out keeps its copy alive after the control is gone.
#include <windows.h>

#include <string>

#include "CriticalSection.h"
#include "RefCount.h"

// The reader that holds the only present card, and which card it is: the insertion/removal
// counter in the high 16 bits of the reader's event state changes when a card leaves or
// enters, so a card swapped within one notification is told apart from the one that stayed.
struct SCardAuthReader {
    std::wstring name;  // empty: no active reader
    DWORD counter = 0;

    bool operator==(const SCardAuthReader& other) const { return name == other.name && counter == other.counter; }
    bool operator!=(const SCardAuthReader& other) const { return !(*this == other); }
};

inline DWORD SCardAuthCardCounter(DWORD eventState) { return eventState >> 16; }

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

    // A request is about to open a WinINet session: the active card authenticates it.
    void SetTlsAuthenticated();
    // True, and the flag cleared in the same step, when a request authenticated the session
    // and that card is not the single present card any more (present: the state now).
    bool TakeTlsAuthenticationUnless(const SCardAuthReader& present);

private:
    tsmb::CriticalSection m_lock;
    HWND m_window = nullptr;
    ULONG m_generation = 0;
    SCardAuthReader m_activeReader;
    bool m_tlsAuthenticated = false;
    SCardAuthReader m_tlsCard;
};
