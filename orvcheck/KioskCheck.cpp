#include "KioskCheck.h"

#include <algorithm>
#include <exception>

#include "Checks.h"

namespace orvcheck {

namespace {

struct CheckEntry {
    const wchar_t* id;
    Finding (*run)(const KioskFacts&);
};

// The report's order: the package, Internet Explorer, the shell, the cards, the rest.
const CheckEntry kChecks[] = {
    {L"deliverables", CheckDeliverables},
    {L"signatures", CheckSignatures},
    {L"control-registration", CheckControlRegistration},
    {L"control-approval", CheckControlApproval},
    {L"desktop-url", CheckDesktopUrl},
    {L"desktop-zone", CheckDesktopZone},
    {L"activex", CheckActiveX},
    {L"site-lock", CheckSiteLock},
    {L"shell", CheckShell},
    {L"hand-off-key", CheckHandOffKey},
    {L"session-sdk", CheckSessionSdk},
    {L"smart-cards", CheckSmartCards},
    {L"tab-processes", CheckTabProcesses},
    {L"vantor-protocol", CheckVantorProtocol},
    {L"vantor-prompt", CheckVantorPrompt},
    {L"event-log-source", CheckEventLogSource},
    {L"trace", CheckTrace},
};

std::wstring Widen(const char* text)
{
    std::wstring wide;
    for (; *text; ++text)
        wide.push_back(static_cast<unsigned char>(*text));
    return wide;
}

}  // namespace

std::vector<Finding> RunChecks(const KioskFacts& facts)
{
    std::vector<Finding> findings;
    for (const CheckEntry& check : kChecks) {
        Finding finding;
        try {
            finding = check.run(facts);
        } catch (const std::exception& e) {
            finding = Make(Status::Warn, L"could not be checked: " + Widen(e.what()), guide::kKioskCheck);
        }
        finding.id = check.id;
        findings.push_back(finding);
    }
    return findings;
}

Status Worst(const std::vector<Finding>& findings)
{
    Status worst = Status::Ok;
    for (const Finding& finding : findings)
        worst = std::max(worst, finding.status);
    return worst;
}

int ExitCode(const std::vector<Finding>& findings) { return static_cast<int>(Worst(findings)); }

const wchar_t* StatusText(Status status)
{
    switch (status) {
    case Status::Ok:
        return L"OK";
    case Status::Warn:
        return L"WARN";
    default:
        return L"FAIL";
    }
}

}  // namespace orvcheck
