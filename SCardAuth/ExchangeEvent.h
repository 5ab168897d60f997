#pragma once
// The card event a finished request gives the page, from its status: none for success, a
// code of its own for an expired or revoked certificate, a wrong PIN and a blocked card, and
// SCardAuthEventUnknownFailure (with the status) for anything else.
#include <windows.h>

#include "SCardAuthMonitoringThread.h"

struct ExchangeEvent {
    bool posted;               // false for status 0
    SCardAuthEventType type;
    const char* name;          // the event's name, as the trace says it
};

ExchangeEvent ExchangeEventFor(ULONG status);
