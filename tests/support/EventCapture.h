#pragma once
// Records every entry the code under test writes to the Event Log (ReportEventW hooked in the
// test program, RegisterEventSourceW answered with a handle of its own), with the rate limit's
// clock in the test's hands; and formats an entry's message from a deliverable's own table.
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "ImportHook.h"
#include "OrvaneEvents.h"

namespace testsupport {

struct EventEntry {
    WORD type;
    DWORD id;
    std::vector<std::wstring> inserts;
};

class EventCapture {
public:
    // The clock starts at one hour and stands still until Advance.
    EventCapture();
    ~EventCapture();
    EventCapture(const EventCapture&) = delete;
    EventCapture& operator=(const EventCapture&) = delete;

    std::vector<EventEntry> Entries() const;
    void Clear();
    void Advance(ULONGLONG milliseconds);

private:
    std::unique_ptr<ImportHook> m_register, m_report;
};

// The message of id with the inserts, from the message table of the module beside the test
// program (loaded as data); its trailing line break removed. "(no message)" when there is none.
std::wstring FormatEvent(const wchar_t* module, DWORD id, const std::vector<std::wstring>& inserts);

// Checks, as test expectations, that the captured entries are exactly these identifiers with
// these inserts, in order (the type of each entry is not compared here), and that each entry's
// type and message, formatted from module's own table, are what the admin guide's table of events
// says, with the inserts in place of %1, %2, ...
void ExpectOutcomes(const EventCapture& capture, const wchar_t* module, const std::vector<EventEntry>& expected);

}  // namespace testsupport
