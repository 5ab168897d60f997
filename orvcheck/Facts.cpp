#include <windows.h>
#include <urlmon.h>

#include <cstring>
#include <cwchar>
#include <vector>

#include "Checks.h"
#include "UniqueHandle.h"
#include "ComPtr.h"
#include "NameCompare.h"
#include "RegistryKey.h"
#include "RegistryValue.h"

namespace orvcheck {

namespace {

std::wstring ThisProgram()
{
    wchar_t path[MAX_PATH] = {};
    return std::wstring(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
}

std::wstring ProgramFolder()
{
    const std::wstring program = ThisProgram();
    return program.substr(0, program.find_last_of(L"\\/"));
}

// As the shell reads it: its own view, a REG_SZ or the first string of a REG_MULTI_SZ.
std::wstring ReadDesktopUrl()
{
    std::vector<BYTE> data;
    DWORD type = REG_NONE;
    if (!tsmb::TryReadRegistryValue(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tessam\\Orvane", L"DesktopURL", KEY_QUERY_VALUE,
                                    data, type) ||
        (type != REG_SZ && type != REG_MULTI_SZ))
        return std::wstring();
    const std::vector<std::wstring> strings = tsmb::SplitMultiString(data);
    return strings.empty() ? std::wstring() : strings.front();
}

UrlActionAnswer Ask(IInternetSecurityManager* manager, const std::wstring& url, DWORD action)
{
    UrlActionAnswer answer;
    // PUAF_NOUI: a setting of "prompt" is answered, never shown.
    answer.result = manager->ProcessUrlAction(url.c_str(), action, reinterpret_cast<BYTE*>(&answer.policy),
                                              sizeof(answer.policy), nullptr, 0, PUAF_NOUI, 0);
    return answer;
}

// The platform's zone manager, not the zone keys: it applies the site-to-zone list, the
// policies and "use only machine settings" as Internet Explorer does.
ZoneFacts AskZoneManager(const std::wstring& url)
{
    ZoneFacts zone;
    ctlfw::ComPtr<IInternetSecurityManager> manager;
    zone.result = CoInternetCreateSecurityManager(nullptr, manager.Put(), 0);
    if (FAILED(zone.result))
        return zone;
    zone.result = manager->MapUrlToZone(url.c_str(), &zone.zone, 0);
    if (FAILED(zone.result))
        return zone;
    zone.protectedMode = Ask(manager.Get(), url, URLACTION_LOWRIGHTS);
    zone.runActiveX = Ask(manager.Get(), url, URLACTION_ACTIVEX_RUN);
    zone.scriptSafeActiveX = Ask(manager.Get(), url, URLACTION_SCRIPT_SAFE_ACTIVEX);
    zone.runWithoutOptIn = Ask(manager.Get(), url, URLACTION_ACTIVEX_OVERRIDE_OPTIN);
    return zone;
}

bool ReadValue(HKEY root, const std::wstring& path, const wchar_t* name, REGSAM view, std::vector<BYTE>& data,
               DWORD& type)
{
    return tsmb::TryReadRegistryValue(root, path.c_str(), name, KEY_QUERY_VALUE | view, data, type);
}

}  // namespace

KioskFacts GatherFacts()
{
    KioskFacts facts;
    facts.folder = ProgramFolder();
    facts.desktopUrl = ReadDesktopUrl();
    if (!facts.desktopUrl.empty())
        facts.zone = AskZoneManager(facts.desktopUrl);
    return facts;
}

std::wstring ProgramVersion() { return FileVersion(ThisProgram()); }

std::wstring FileVersion(const std::wstring& path)
{
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0)
        return std::wstring();
    std::vector<BYTE> block(size);
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (!GetFileVersionInfoW(path.c_str(), 0, size, block.data()) ||
        !VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &length) || length < sizeof(*info))
        return std::wstring();
    wchar_t text[48];
    std::swprintf(text, 48, L"%u.%u.%u.%u", HIWORD(info->dwFileVersionMS), LOWORD(info->dwFileVersionMS),
                  HIWORD(info->dwFileVersionLS), LOWORD(info->dwFileVersionLS));
    return text;
}

bool ProtectedModeOn(const ZoneFacts& zone)
{
    return SUCCEEDED(zone.result) && SUCCEEDED(zone.protectedMode.result) &&
           GetUrlPolicyPermissions(zone.protectedMode.policy) == URLPOLICY_ALLOW;
}

std::wstring GuidText(const GUID& guid)
{
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

Finding Make(Status status, std::wstring why, const GuideSection& section)
{
    Finding finding;
    finding.status = status;
    finding.why = std::move(why);
    finding.guide = section;
    return finding;
}

bool KeyExists(HKEY root, const std::wstring& path, REGSAM view)
{
    tsmb::UniqueRegistryKey key;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE | view, key.Put()) == ERROR_SUCCESS)
        return true;
    key.Release();
    return false;
}

bool ReadText(HKEY root, const std::wstring& path, const wchar_t* name, REGSAM view, std::wstring& text)
{
    std::vector<BYTE> data;
    DWORD type = REG_NONE;
    if (!ReadValue(root, path, name, view, data, type) ||
        (type != REG_SZ && type != REG_EXPAND_SZ && type != REG_MULTI_SZ))
        return false;
    const std::vector<std::wstring> strings = tsmb::SplitMultiString(data);
    text = strings.empty() ? std::wstring() : strings.front();
    return true;
}

bool ReadNumber(HKEY root, const std::wstring& path, const wchar_t* name, REGSAM view, DWORD& value)
{
    std::vector<BYTE> data;
    DWORD type = REG_NONE;
    if (!ReadValue(root, path, name, view, data, type))
        return false;
    if (type == REG_DWORD && data.size() >= sizeof(DWORD)) {
        memcpy(&value, data.data(), sizeof(DWORD));
        return true;
    }
    if (type != REG_SZ)
        return false;
    const std::vector<std::wstring> strings = tsmb::SplitMultiString(data);
    if (strings.empty() || strings.front().empty() || strings.front().size() > 9 ||
        strings.front().find_first_not_of(L"0123456789") != std::wstring::npos)
        return false;
    value = static_cast<DWORD>(std::stoul(strings.front()));
    return true;
}

std::wstring ExpandPath(const std::wstring& text)
{
    std::wstring path = text;
    if (path.size() >= 2 && path.front() == L'"') {
        const size_t close = path.find(L'"', 1);
        path = path.substr(1, close == std::wstring::npos ? std::wstring::npos : close - 1);
    }
    wchar_t expanded[MAX_PATH * 2] = {};
    const DWORD length = ExpandEnvironmentStringsW(path.c_str(), expanded, MAX_PATH * 2);
    return length > 0 && length <= MAX_PATH * 2 ? std::wstring(expanded) : path;
}

bool FileExists(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool SamePath(const std::wstring& a, const std::wstring& b) { return tsmb::EqualsIgnoringCase(a.c_str(), b.c_str()); }

const wchar_t* OwnViewName() { return sizeof(void*) == 8 ? L"64-bit" : L"32-bit"; }

std::wstring Hex(DWORD value)
{
    wchar_t text[16];
    std::swprintf(text, 16, L"0x%08X", static_cast<unsigned>(value));
    return text;
}

}  // namespace orvcheck
