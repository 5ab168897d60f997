// The shell's side: this user's shell, the hand-off key the control writes for it, and the
// session-control SDK it loads when the card leaves.
#include <windows.h>

#include <cstring>
#include <vector>

#include "Checks.h"
#include "HandOff.h"
#include "NameCompare.h"
#include "PeExports.h"
#include "RegistryKey.h"
#include "UniqueHandle.h"

namespace orvcheck {

namespace {

const wchar_t kWinlogonKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
const wchar_t kShellMappingKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\IniFileMapping\\system.ini\\boot";
const char* const kSdkExports[] = {"VsmInitialize", "VsmDisconnectAllSessions", "VsmUninitialize"};
#ifdef _WIN64
const WORD kOwnMachine = IMAGE_FILE_MACHINE_AMD64;
#else
const WORD kOwnMachine = IMAGE_FILE_MACHINE_I386;
#endif

// The shell Windows starts for this user and where it is set: the user's own value counts when
// the machine maps the shell to the user's hive ("USR:") and the user has one.
bool EffectiveShell(std::wstring& shell, std::wstring& source)
{
    std::wstring mapping;
    source = std::wstring(L"HKCU\\") + kWinlogonKey;
    if (ReadText(HKEY_LOCAL_MACHINE, kShellMappingKey, L"Shell", 0, mapping) &&
        tsmb::ContainsIgnoringCase(mapping, L"usr:") && ReadText(HKEY_CURRENT_USER, kWinlogonKey, L"Shell", 0, shell))
        return true;
    source = std::wstring(L"HKLM\\") + kWinlogonKey;
    return ReadText(HKEY_LOCAL_MACHINE, kWinlogonKey, L"Shell", 0, shell);
}

// The program a shell command line starts: the quoted part, else the text up to ".exe".
std::wstring ShellProgram(const std::wstring& shell)
{
    if (!shell.empty() && shell[0] == L'"')
        return ExpandPath(shell);
    for (size_t at = 0; at + 4 <= shell.size(); ++at)
        if (CompareStringOrdinal(shell.c_str() + at, 4, L".exe", 4, TRUE) == CSTR_EQUAL)
            return ExpandPath(shell.substr(0, at + 4));
    return ExpandPath(shell);
}

std::wstring BaseName(const std::wstring& path) { return path.substr(path.find_last_of(L"\\/") + 1); }

// A copy of this process's token at the integrity level the browser runs the page at, so that
// an open for writing tells whether the page may write, without writing.
tsmb::UniqueHandle TokenAtIntegrity(WELL_KNOWN_SID_TYPE level, DWORD& error)
{
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &raw)) {
        error = GetLastError();
        return tsmb::UniqueHandle();
    }
    const tsmb::UniqueHandle process(raw);
    raw = nullptr;
    if (!DuplicateTokenEx(process.Get(), TOKEN_QUERY | TOKEN_IMPERSONATE | TOKEN_ADJUST_DEFAULT, nullptr,
                          SecurityImpersonation, TokenImpersonation, &raw)) {
        error = GetLastError();
        return tsmb::UniqueHandle();
    }
    tsmb::UniqueHandle token(raw);
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(sid);
    TOKEN_MANDATORY_LABEL label = {};
    label.Label.Sid = sid;
    label.Label.Attributes = SE_GROUP_INTEGRITY;
    if (!CreateWellKnownSid(level, nullptr, sid, &size) ||
        !SetTokenInformation(token.Get(), TokenIntegrityLevel, &label, sizeof(label) + GetLengthSid(sid))) {
        error = GetLastError();
        return tsmb::UniqueHandle();
    }
    return token;
}

// The code of an open of HKCU\path for access under token; the key is closed at once.
LONG OpenUnder(HANDLE token, const std::wstring& path, REGSAM access)
{
    if (!SetThreadToken(nullptr, token))
        return static_cast<LONG>(GetLastError());
    tsmb::UniqueRegistryKey key;
    const LONG result =
        RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, access | tsmb::GetRegistryViewFlag(), key.Put());
    RevertToSelf();
    if (result != ERROR_SUCCESS)
        key.Release();
    return result;
}

// What the control opens to record the reader: the parent to create the volatile key in, or
// the key itself when it is there.
LONG OpenAsTheControl(HANDLE token)
{
    const LONG parent = OpenUnder(token, tsmb::HandOffKey::kParentKey, KEY_CREATE_SUB_KEY | KEY_ENUMERATE_SUB_KEYS);
    if (parent != ERROR_SUCCESS || !KeyExists(HKEY_CURRENT_USER, tsmb::HandOffKey::kKey, tsmb::GetRegistryViewFlag()))
        return parent;
    return OpenUnder(token, tsmb::HandOffKey::kKey, KEY_SET_VALUE);
}

// Where the shell's LoadLibraryW(L"VsmSDK.dll") looks, in its order: the shell's folder, the
// system folders, the Windows folder, then PATH. The shell's current folder, searched before
// PATH, is not this program's to know.
std::vector<std::wstring> ShellSearchPath(const std::wstring& shellFolder)
{
    std::vector<std::wstring> folders{shellFolder};
    wchar_t folder[MAX_PATH] = {};
    if (GetSystemDirectoryW(folder, MAX_PATH))
        folders.push_back(folder);
    if (GetWindowsDirectoryW(folder, MAX_PATH)) {
        folders.push_back(std::wstring(folder) + L"\\System");
        folders.push_back(folder);
    }
    std::vector<wchar_t> path(GetEnvironmentVariableW(L"PATH", nullptr, 0) + 1, L'\0');
    GetEnvironmentVariableW(L"PATH", path.data(), static_cast<DWORD>(path.size()));
    const std::wstring list(path.data());
    for (size_t start = 0; start < list.size();) {
        size_t end = list.find(L';', start);
        if (end == std::wstring::npos)
            end = list.size();
        if (end > start)
            folders.push_back(ExpandPath(list.substr(start, end - start)));
        start = end + 1;
    }
    return folders;
}

std::wstring FindSdk(const std::wstring& shellFolder)
{
    for (std::wstring folder : ShellSearchPath(shellFolder)) {
        while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/'))
            folder.pop_back();
        const std::wstring candidate = folder + L"\\VsmSDK.dll";
        if (FileExists(candidate))
            return candidate;
    }
    return std::wstring();
}

}  // namespace

Finding CheckShell(const KioskFacts& facts)
{
    std::wstring shell, source;
    if (!EffectiveShell(shell, source))
        return Make(Status::Fail, L"no Shell value for this user: Windows starts its own shell, not Ambrel.exe",
                    guide::kKioskShell);
    std::wstring program = ShellProgram(shell);
    if (!tsmb::EqualsIgnoringCase(BaseName(program).c_str(), L"Ambrel.exe"))
        return Make(Status::Fail, L"this user's shell is \"" + shell + L"\" (" + source + L"), not Ambrel.exe",
                    guide::kKioskShell);
    if (program.find_first_of(L"\\/") == std::wstring::npos) {
        wchar_t found[MAX_PATH] = {};
        if (SearchPathW(nullptr, program.c_str(), nullptr, MAX_PATH, found, nullptr))
            program = found;
    }
    if (!FileExists(program))
        return Make(Status::Fail, L"this user's shell " + program + L" (" + source + L") is not there",
                    guide::kKioskShell);
    const std::wstring ours = facts.folder + L"\\Ambrel.exe";
    if (!SamePath(program, ours))
        return Make(Status::Warn,
                    L"this user's shell is " + program + L" (" + source + L"), not this package's " + ours,
                    guide::kKioskShell);
    return Make(Status::Ok, L"this user's shell is " + program + L" (" + source + L")", guide::kKioskShell);
}

Finding CheckHandOffKey(const KioskFacts& facts)
{
    const std::wstring key = std::wstring(L"HKCU\\") + tsmb::HandOffKey::kParentKey;
    if (!KeyExists(HKEY_CURRENT_USER, tsmb::HandOffKey::kParentKey, tsmb::GetRegistryViewFlag()))
        return Make(Status::Fail,
                    key + L" is missing: the control cannot record the card's reader (event 2003, error 2); the "
                          L"package's Active Setup makes it at the user's next log-on",
                    guide::kDeploying);
    // The page runs at low integrity where Protected Mode is on, at medium otherwise.
    const bool low = ProtectedModeOn(facts.zone);
    const std::wstring level = low ? L"low" : L"medium";
    DWORD error = 0;
    const tsmb::UniqueHandle token = TokenAtIntegrity(low ? WinLowLabelSid : WinMediumLabelSid, error);
    if (!token)
        return Make(Status::Warn,
                    key + L" is there; whether a page at " + level +
                        L" integrity may write it cannot be checked (error " + std::to_wstring(error) + L")",
                    guide::kZone);
    const LONG opened = OpenAsTheControl(token.Get());
    if (opened != ERROR_SUCCESS)
        return Make(Status::Fail,
                    key + L" cannot be written at " + level +
                        L" integrity, the browser's for the desktop page (error " + std::to_wstring(opened) +
                        L"): pulling the card disconnects nothing (event 2003)",
                    guide::kZone);
    return Make(Status::Ok, key + L" is there and takes the control's record at " + level + L" integrity",
                guide::kDeploying);
}

Finding CheckSessionSdk(const KioskFacts& facts)
{
    const std::wstring sdk = FindSdk(facts.folder);
    if (sdk.empty())
        return Make(Status::Fail,
                    L"VsmSDK.dll is not on the shell's search path (its folder, the system folders, PATH): pulling the "
                    L"card disconnects nothing (event 1001)",
                    guide::kBesidesThePackage);
    PeExports exports;
    DWORD error = 0;
    if (!ReadPeExports(sdk, exports, error))
        return Make(error == ERROR_BAD_EXE_FORMAT ? Status::Fail : Status::Warn,
                    sdk + (error == ERROR_BAD_EXE_FORMAT ? L" is no DLL the shell can load"
                                                          : L" cannot be read (error " + std::to_wstring(error) + L")"),
                    guide::kBesidesThePackage);
    if (exports.machine != kOwnMachine)
        return Make(Status::Fail, sdk + L" is built for another processor (machine " + Hex(exports.machine) +
                                      L") than the shell: it cannot load it",
                    guide::kBesidesThePackage);
    std::wstring missing;
    for (const char* name : kSdkExports) {
        bool found = false;
        for (const std::string& exported : exports.names)
            found = found || exported == name;
        if (!found)
            missing += (missing.empty() ? L"" : L", ") + std::wstring(name, name + strlen(name));
    }
    if (!missing.empty())
        return Make(Status::Fail, sdk + L" does not export " + missing + L": the shell cannot disconnect the sessions",
                    guide::kBesidesThePackage);
    return Make(Status::Ok,
                sdk + L" exports VsmInitialize, VsmDisconnectAllSessions, VsmUninitialize (read from the file)",
                guide::kBesidesThePackage);
}

}  // namespace orvcheck
