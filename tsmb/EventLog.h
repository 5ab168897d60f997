#pragma once
// The few outcomes an administrator must see, in the Application log under the source
// "Orvane", whatever the trace switch says. Best effort: a failure to register or report is
// traced and ignored. At most one entry per outcome (event identifier) and minute, so that a
// flapping reader does not flood the log. Never pass a PIN, a query string or a body.
#include <windows.h>

#include <string>
#include <vector>

#include "OrvaneEvents.h"

namespace tsmb {

// Writes the entry of eventId (an ORVANE_EVENT_ identifier; its severity gives the entry's
// type) with its inserts, from the calling thread. Never throws.
void ReportOutcome(DWORD eventId, const std::vector<std::wstring>& inserts = {});

// For tests: the clock of the rate limit in milliseconds (nullptr: GetTickCount64), and
// forgetting which outcomes were written when.
void SetOutcomeClock(ULONGLONG (*clock)());
void ForgetReportedOutcomes();

}  // namespace tsmb
