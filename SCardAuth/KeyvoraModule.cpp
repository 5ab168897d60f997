// The exports of Keyvora.dll.
#include <windows.h>

#include <string>

#include "ClassFactory.h"
#include "KeyvoraCtl.h"
#include "Module.h"
#include "Registrar.h"
#include "TypeLibrary.h"
#include "resource.h"

namespace {

const wchar_t kAppId[] = L"{3982AA79-6535-4248-9D96-9CDB753CF93E}";

// Set by DllInstall "user": from then on this process registers in the user's classes.
bool g_perUser = false;

HRESULT UpdateRegistration(bool doRegister)
{
    wchar_t path[MAX_PATH];
    HRESULT hr = ctlfw::Module::FileName(path);
    if (FAILED(hr))
        return hr;
    // The scripts put the path in single quotes, where the registrar reads '' as one quote:
    // a folder such as C:\Users\O'Neil would otherwise break both scripts.
    std::wstring quotedPath;
    for (const wchar_t* c = path; *c; ++c)
        quotedPath.append(*c == L'\'' ? 2 : 1, *c);
    const std::wstring miscStatus = std::to_wstring(kKeyvoraMiscStatus);
    const ctlfw::Replacement replacements[] = {
        {L"MODULE", quotedPath.c_str()}, {L"APPID", kAppId}, {L"OLEMISC", miscStatus.c_str()}};
    const size_t count = sizeof(replacements) / sizeof(replacements[0]);
    ctlfw::PerUserClasses classes(g_perUser);
    if (FAILED(classes.Result()))
        return classes.Result();
    if (doRegister) {
        hr = ctlfw::UpdateRegistryFromResource(IDR_KEYVORA, true, replacements, count);
        if (SUCCEEDED(hr))
            hr = ctlfw::UpdateRegistryFromResource(IDR_KEYVORACTL, true, replacements, count);
        if (SUCCEEDED(hr))
            hr = ctlfw::RegisterModuleTypeLib(g_perUser);
        return hr;
    }
    // Everything is removed even when one part is already gone; the first failure is reported.
    const HRESULT results[] = {ctlfw::UpdateRegistryFromResource(IDR_KEYVORACTL, false, replacements, count),
                               ctlfw::UpdateRegistryFromResource(IDR_KEYVORA, false, replacements, count),
                               ctlfw::UnregisterModuleTypeLib(g_perUser)};
    for (HRESULT result : results)
        if (FAILED(result))
            return result;
    return S_OK;
}

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        ctlfw::Module::SetInstance(instance);
        DisableThreadLibraryCalls(instance);
        // Once loaded, loaded for good. A browser frees unused COM libraries and loads them
        // again for the next page, and the 32-bit runtime linked in here leaves per-module
        // state (handles) behind at every unload: a kiosk running for weeks would pile them
        // up. DllCanUnloadNow still answers from the lock count.
        HMODULE pinned = nullptr;
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                           reinterpret_cast<LPCWSTR>(instance), &pinned);
    }
    return TRUE;
}

STDAPI DllCanUnloadNow() { return ctlfw::Module::CanUnloadNow(); }

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out)
{
    return ctlfw::GetClassObject(kKeyvoraClassObjects, clsid, iid, out);
}

// Nothing crosses an export as an exception: the paths and texts above allocate.
STDAPI DllRegisterServer()
{
    try {
        return UpdateRegistration(true);
    } catch (const std::exception&) {
        return E_OUTOFMEMORY;
    }
}

STDAPI DllUnregisterServer()
{
    try {
        return UpdateRegistration(false);
    } catch (const std::exception&) {
        return E_OUTOFMEMORY;
    }
}

STDAPI DllInstall(BOOL install, LPCWSTR commandLine)
{
    // Over five characters, the terminator included: "users" is not "user".
    if (commandLine && _wcsnicmp(commandLine, L"user", 5) == 0)
        g_perUser = true;
    if (!install)
        return DllUnregisterServer();
    const HRESULT hr = DllRegisterServer();
    if (FAILED(hr))
        DllUnregisterServer();
    return hr;
}

}  // extern "C"
