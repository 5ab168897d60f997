#pragma once
// The kiosk check's two outputs: a table for a person, JSON of a fixed shape for deployment
// tools.
#include <string>
#include <vector>

#include "KioskCheck.h"

namespace orvcheck {

// Who was checked where, by which version of the check.
struct ReportHeader {
    std::wstring version;
    std::wstring computer;
    std::wstring user;
};

// One line per check ("OK    id    why"), the admin guide's section under each WARN and FAIL,
// then the summary with the exit code.
std::wstring RenderTable(const ReportHeader& header, const std::vector<Finding>& findings);

// {"tool":"orvcheck","version":...,"computer":...,"user":...,"result":"OK|WARN|FAIL",
//  "exitCode":0|1|2,"checks":[{"id","status","why","guide","section"}, ...]}
std::wstring RenderJson(const ReportHeader& header, const std::vector<Finding>& findings);

}  // namespace orvcheck
