// orvcheck.exe: the kiosk check. "orvcheck" prints the table, "orvcheck /json" the JSON; the
// exit code is 0 when all is OK, 1 with warnings, 2 with a failure.
#include <windows.h>
#include <objbase.h>

#include <string>

#include "KioskCheck.h"
#include "NameCompare.h"
#include "Report.h"

namespace {

const wchar_t kUsage[] =
    L"orvcheck [/json]\r\n"
    L"  Checks whether this PC and this user are set up so that pulling the smart card disconnects\r\n"
    L"  the desktop sessions. Reads only; changes nothing.\r\n"
    L"  /json  the findings as JSON (for deployment tools) instead of the table\r\n"
    L"  Exit code: 0 all OK, 1 warnings, 2 a failure, 87 an unknown option.\r\n";

// A console gets the text as it is; a pipe or a file gets UTF-8.
void Write(DWORD which, const std::wstring& text)
{
    const HANDLE out = GetStdHandle(which);
    DWORD mode = 0, written = 0;
    if (GetConsoleMode(out, &mode)) {
        WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    const int chars = static_cast<int>(text.size());
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), chars, nullptr, 0, nullptr, nullptr);
    std::string utf8(bytes > 0 ? static_cast<size_t>(bytes) : 0, '\0');
    if (bytes > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), chars, &utf8[0], bytes, nullptr, nullptr);
    WriteFile(out, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

bool IsOption(const wchar_t* argument, const wchar_t* name)
{
    return (argument[0] == L'/' || argument[0] == L'-') &&
           (tsmb::EqualsIgnoringCase(argument + 1, name) ||
            (argument[0] == L'-' && argument[1] == L'-' && tsmb::EqualsIgnoringCase(argument + 2, name)));
}

orvcheck::ReportHeader Header()
{
    orvcheck::ReportHeader header;
    wchar_t text[256] = {};
    DWORD size = 256;
    if (GetComputerNameW(text, &size))
        header.computer = text;
    size = 256;
    if (GetUserNameW(text, &size))
        header.user = text;
    header.version = orvcheck::ProgramVersion();
    return header;
}

// COM for the zone manager, on this thread for the whole run.
struct ComApartment {
    const HRESULT result = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    ~ComApartment()
    {
        if (SUCCEEDED(result))
            CoUninitialize();
    }
};

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    bool json = false;
    for (int i = 1; i < argc; ++i) {
        if (IsOption(argv[i], L"json")) {
            json = true;
        } else if (IsOption(argv[i], L"?") || IsOption(argv[i], L"help") || IsOption(argv[i], L"h")) {
            Write(STD_OUTPUT_HANDLE, kUsage);
            return 0;
        } else {
            Write(STD_ERROR_HANDLE, L"orvcheck: unknown option " + std::wstring(argv[i]) + L"\r\n" + kUsage);
            return ERROR_INVALID_PARAMETER;
        }
    }
    const ComApartment com;
    const orvcheck::KioskFacts facts = orvcheck::GatherFacts();
    const std::vector<orvcheck::Finding> findings = orvcheck::RunChecks(facts);
    const orvcheck::ReportHeader header = Header();
    Write(STD_OUTPUT_HANDLE, json ? orvcheck::RenderJson(header, findings) : orvcheck::RenderTable(header, findings));
    return orvcheck::ExitCode(findings);
}
