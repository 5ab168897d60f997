#pragma once
// What one control shares with its card monitors and its requests, under one lock: the control
// window that events are posted to, and the active card (the one reader that holds a card, its
// card's insertion/removal counter, and the monitor's watch that saw it). Reference counted: a
// monitor whose stop timed out keeps its copy alive after the control is gone. The card that
// authenticated the WinINet session is the process's (SCardAuthCardSession), not the control's.
// Threads: the page thread (the control, its requests) and the control's monitor's worker (and
// a monitor of an earlier window whose stop timed out); every member takes the lock.
#include <windows.h>

#include "CriticalSection.h"
#include "RefCount.h"
#include "SCardAuthCardSession.h"

// The control's active card as its monitor saw it. The watch is the monitor's unbroken view of
// one card: it changes when the monitor loses sight of the readers, when the card that was the
// one card present may have left (pulled, swapped, gone with its reader), and when the window
// (and with it the monitor) changes. A card of an earlier watch is not the active card any
// more, whatever its reader and counter say: a restarted service, or a reader attached again,
// numbers its cards afresh, so the next person's card may show the same counter.
struct SCardAuthActiveCard {
    SCardAuthReader card;  // empty name: no active card
    ULONG watch = 0;

    bool operator==(const SCardAuthActiveCard& other) const { return card == other.card && watch == other.watch; }
    bool operator!=(const SCardAuthActiveCard& other) const { return !(*this == other); }
};

class SCardAuthState : public tsmb::Object {
public:
    // A new control window: from now on only the monitor given this generation posts and sets
    // the active card, in a new watch. Returns that generation.
    ULONG AttachWindow(HWND window);
    // The window is going: nothing is posted any more, and there is no active card.
    void DetachWindow();
    // Posts to the control window, if the generation is still the window's; false otherwise.
    bool Post(ULONG generation, UINT message, WPARAM wParam, LPARAM lParam);
    // Posts to the current window, if there is one.
    bool PostToWindow(UINT message, WPARAM wParam, LPARAM lParam);

    void SetActiveReader(ULONG generation, const SCardAuthReader& reader);
    // The monitor of this generation cannot watch the readers, or the card that was the one
    // card present may have left: no active card, and a new watch.
    void EndWatch(ULONG generation);
    SCardAuthActiveCard GetActiveCard();
    // Whether watch is still the monitor's current one (its cards may still be active).
    bool IsCurrentWatch(ULONG watch);
    // For callers without a monitor (the page's own thread, tests).
    void SetActiveReader(const SCardAuthReader& reader);

private:
    tsmb::CriticalSection m_lock;
    HWND m_window = nullptr;
    ULONG m_generation = 0;
    ULONG m_watch = 0;
    SCardAuthReader m_activeReader;
};
