#pragma once
// The kiosk check: read-only tests of whether the product's promise (a pulled card disconnects
// the user's desktop sessions) can hold on this PC, for the user who runs it. Each check gives
// OK, WARN (works, but weaker than the admin guide advises) or FAIL (the promise cannot hold),
// one line of why, and the admin guide's section that says what to set. Nothing is written,
// nothing goes to the network, and no code of the session-control SDK or the control runs.
#include <windows.h>

#include <string>
#include <vector>

namespace orvcheck {

// In order of weight; the worst one is the program's exit code.
enum class Status { Ok = 0, Warn = 1, Fail = 2 };

// A section of docs/admin-guide.md: its heading and its anchor.
struct GuideSection {
    const wchar_t* title;
    const wchar_t* anchor;
};

struct Finding {
    const wchar_t* id = L"";  // stable: deployment tools key on it
    Status status = Status::Ok;
    std::wstring why;  // one line
    GuideSection guide = {L"", L""};
};

// What one zone manager question answered: ProcessUrlAction's result and the policy it gave.
struct UrlActionAnswer {
    HRESULT result = E_FAIL;
    DWORD policy = 0;
};

// The desktop page's zone as Internet Explorer maps it, and its settings there.
struct ZoneFacts {
    HRESULT result = E_FAIL;  // of the mapping; the rest means nothing unless it succeeded
    DWORD zone = 0;
    UrlActionAnswer protectedMode;  // URLACTION_LOWRIGHTS: allowed means Protected Mode on
    UrlActionAnswer runActiveX;
    UrlActionAnswer scriptSafeActiveX;
    UrlActionAnswer runWithoutOptIn;
};

// What several checks need, found once.
struct KioskFacts {
    std::wstring folder;      // this program's folder, where the package put the deliverables
    std::wstring desktopUrl;  // as the shell reads it; empty when not set
    ZoneFacts zone;           // asked only when there is a desktop URL
};

KioskFacts GatherFacts();

// Every check, in the order of the report; a check that cannot be made is a WARN.
std::vector<Finding> RunChecks(const KioskFacts& facts);

// The worst status; as the exit code 0 when all are OK, 1 with warnings, 2 with a failure.
Status Worst(const std::vector<Finding>& findings);
int ExitCode(const std::vector<Finding>& findings);

const wchar_t* StatusText(Status status);

// This program's file version, the package's.
std::wstring ProgramVersion();

}  // namespace orvcheck
