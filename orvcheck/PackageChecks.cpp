// The package's own part: its files, their signatures, the control's registration, the Event
// Log source and the trace switch.
#include <windows.h>
#include <oleauto.h>
#include <softpub.h>
#include <wintrust.h>

#include <vector>

#include "Checks.h"
#include "Keyvora.h"
#include "RegistryKey.h"
#include "RegistryValue.h"
#include "UniqueHandle.h"

namespace orvcheck {

namespace {

const wchar_t* const kDeliverables[] = {L"Keyvora.dll", L"Ambrel.exe", L"vantor.exe", L"Tumblet.exe"};

void Append(std::wstring& list, const std::wstring& item) { list += (list.empty() ? L"" : L", ") + item; }

// WinVerifyTrust's answer for the file's Authenticode signature from what this PC holds: no
// revocation check and nothing fetched, so that the check needs no network and never waits on one.
LONG VerifySignature(const std::wstring& path)
{
    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof(file);
    file.pcwszFilePath = path.c_str();
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL | WTD_REVOCATION_CHECK_NONE;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const HWND noUser = static_cast<HWND>(INVALID_HANDLE_VALUE);
    const LONG result = WinVerifyTrust(noUser, &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(noUser, &action, &data);
    return result;
}

bool IsUnsigned(LONG result)
{
    return result == static_cast<LONG>(TRUST_E_NOSIGNATURE) ||
           result == static_cast<LONG>(TRUST_E_SUBJECT_FORM_UNKNOWN) ||
           result == static_cast<LONG>(TRUST_E_PROVIDER_UNKNOWN);
}

}  // namespace

Finding CheckDeliverables(const KioskFacts& facts)
{
    const std::wstring version = ProgramVersion();
    std::wstring missing, others;
    for (const wchar_t* name : kDeliverables) {
        const std::wstring path = facts.folder + L"\\" + name;
        if (!FileExists(path)) {
            Append(missing, name);
            continue;
        }
        const std::wstring its = FileVersion(path);
        if (its != version)
            Append(others, std::wstring(name) + L" " + (its.empty() ? L"(no version)" : its));
    }
    if (!missing.empty())
        return Make(Status::Fail, L"missing in " + facts.folder + L": " + missing + L"; repair the package",
                    guide::kDeploying);
    if (!others.empty())
        return Make(Status::Warn, L"not this package's version " + version + L": " + others + L"; repair the package",
                    guide::kDeploying);
    return Make(Status::Ok,
                L"Keyvora.dll, Ambrel.exe, vantor.exe, Tumblet.exe in " + facts.folder + L", version " + version,
                guide::kDeploying);
}

Finding CheckSignatures(const KioskFacts& facts)
{
    std::wstring valid, notSigned, altered, untrusted;
    std::vector<std::wstring> names(std::begin(kDeliverables), std::end(kDeliverables));
    names.push_back(L"orvcheck.exe");
    for (const std::wstring& name : names) {
        const std::wstring path = facts.folder + L"\\" + name;
        if (!FileExists(path))
            continue;
        const LONG result = VerifySignature(path);
        if (result == ERROR_SUCCESS)
            Append(valid, name);
        else if (IsUnsigned(result))
            Append(notSigned, name);
        else if (result == static_cast<LONG>(TRUST_E_BAD_DIGEST))
            Append(altered, name);
        else
            Append(untrusted, name + L" " + Hex(static_cast<DWORD>(result)));
    }
    if (!altered.empty())
        return Make(Status::Fail, L"changed since they were signed: " + altered + L"; reinstall the package",
                    guide::kSigning);
    if (!untrusted.empty())
        return Make(Status::Warn, L"signature not trusted on this PC: " + untrusted, guide::kSigning);
    if (!valid.empty() && !notSigned.empty())
        return Make(Status::Warn, L"signed: " + valid + L"; not signed: " + notSigned, guide::kSigning);
    if (valid.empty())
        return Make(Status::Ok, L"not signed (a build without a code-signing certificate)", guide::kSigning);
    return Make(Status::Ok, L"valid signatures: " + valid, guide::kSigning);
}

Finding CheckControlRegistration(const KioskFacts& facts)
{
    const std::wstring clsid = GuidText(CLSID_KeyvoraCtl);
    const std::wstring key = L"CLSID\\" + clsid + L"\\InprocServer32";
    std::wstring server;
    if (!ReadText(HKEY_CLASSES_ROOT, key, nullptr, 0, server) || server.empty())
        return Make(Status::Fail,
                    L"Keyvora.KeyvoraCtl is not registered: no HKCR\\" + key + L" in the " + OwnViewName() + L" view",
                    guide::kDeploying);
    const std::wstring file = ExpandPath(server);
    if (!FileExists(file))
        return Make(Status::Fail, L"the control's class names " + file + L", which is not there", guide::kDeploying);
    BSTR rawPath = nullptr;
    const HRESULT library = QueryPathOfRegTypeLib(LIBID_KeyvoraLib, 1, 0, LANG_NEUTRAL, &rawPath);
    const tsmb::UniqueBstr libraryPath(rawPath);
    if (FAILED(library))
        return Make(Status::Warn, L"the control's class is registered, its type library " + GuidText(LIBID_KeyvoraLib) +
                                      L" 1.0 is not (" + Hex(static_cast<DWORD>(library)) + L"); repair the package",
                    guide::kDeploying);
    // The control works from the copy inside its own file; tools that browse it need this one.
    if (!FileExists(libraryPath.Get() ? libraryPath.Get() : L""))
        return Make(Status::Warn, L"the control's type library names a file that is not there; repair the package",
                    guide::kDeploying);
    const std::wstring ours = facts.folder + L"\\Keyvora.dll";
    if (!SamePath(file, ours))
        return Make(Status::Warn, L"the control's class names " + file + L", not this package's " + ours,
                    guide::kDeploying);
    return Make(Status::Ok, L"Keyvora.KeyvoraCtl " + clsid + L" in the " + OwnViewName() + L" view: " + file +
                                L", type library registered",
                guide::kDeploying);
}

Finding CheckEventLogSource(const KioskFacts&)
{
    const std::wstring key = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Orvane";
    std::wstring messages;
    if (!ReadText(HKEY_LOCAL_MACHINE, key, L"EventMessageFile", 0, messages))
        return Make(Status::Warn, L"the source Orvane is not registered: its entries appear without their texts",
                    guide::kEventLog);
    const std::wstring file = ExpandPath(messages.substr(0, messages.find(L';')));
    if (!FileExists(file))
        return Make(Status::Warn, L"the source Orvane takes its texts from " + file + L", which is not there",
                    guide::kEventLog);
    return Make(Status::Ok, L"source Orvane in the Application log, texts from " + file, guide::kEventLog);
}

Finding CheckTrace(const KioskFacts&)
{
    std::wstring on;
    for (const wchar_t* program : {L"Keyvora", L"Ambrel"}) {
        std::vector<BYTE> data;
        DWORD type = REG_NONE;
        // As the foundation reads the switch: a non-zero REG_DWORD in its view.
        if (tsmb::TryReadRegistryValue(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tessam\\Orvane\\Debug", program,
                                       KEY_QUERY_VALUE | tsmb::GetRegistryViewFlag(), data, type) &&
            type == REG_DWORD && data.size() == sizeof(DWORD) && (data[0] | data[1] | data[2] | data[3]) != 0)
            Append(on, program);
    }
    if (!on.empty())
        return Make(Status::Warn,
                    L"the trace is on for " + on +
                        L": it names readers, URLs and what pages send; turn it off when done",
                    guide::kTrace);
    return Make(Status::Ok, L"the trace is off", guide::kTrace);
}

}  // namespace orvcheck
