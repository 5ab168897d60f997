// A CryptoAPI provider for the simulated cards: never shipped. It serves the default key
// container "\\.\<reader>\" of the card in that reader from the simulated service's state
// (its PIN and tries, the certificate of its exchange key) with the platform's error codes.
// Each call takes the milliseconds CARDCSP_DELAY_MS names (read at every call; none unset),
// and CardCspCountCalls counts the calls of this process.
// Registered (DllRegisterServer) under the provider names the simulated cards report. Every
// call is appended as one line to the file named by CARDCSP_LOG (the PIN never is):
//   <entry point> <argument> -> 0x<last error, 0 on success>
#include <windows.h>
#include <wincrypt.h>
#include <winscard.h>

#include <cstdio>
#include <string>

#include <vector>

#include "StandIn.h"

#include "scardsim.h"

namespace {

HMODULE g_module = nullptr;
const wchar_t* const kProviderNames[] = {L"Microsoft Base Smart Card Crypto Provider", L"Orvane Test Card CSP"};
const char kContainerPrefix[] = "\\\\.\\";

struct Context {
    std::wstring reader;
};

struct Key {
    Context* context;
};

void Log(const std::string& line) { standin::AppendToLog("CARDCSP_LOG", line); }

// Entry point calls in this process, for the benchmarks' counts.
volatile LONG g_calls = 0;

// Every entry point ends here: counted, taking the time CARDCSP_DELAY_MS says (a card's
// provider talks to the card), logged with its outcome, which it returns the CryptoAPI way.
BOOL Outcome(const std::string& call, DWORD error)
{
    InterlockedIncrement(&g_calls);
    standin::DelayAsConfigured("CARDCSP_DELAY_MS");
    char code[16];
    snprintf(code, sizeof(code), "0x%08lX", static_cast<unsigned long>(error));
    Log(call + " -> " + code);
    SetLastError(error);
    return error == 0 ? TRUE : FALSE;
}

std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

// "\\.\<reader>\" names the default container of the card in that reader.
bool ReaderOfContainer(const char* container, std::wstring& reader)
{
    if (container == nullptr)
        return false;
    const std::string text = container;
    const size_t prefix = sizeof(kContainerPrefix) - 1;
    if (text.size() <= prefix + 1 || text.compare(0, prefix, kContainerPrefix) != 0 || text.back() != '\\')
        return false;
    const std::string name = text.substr(prefix, text.size() - prefix - 1);
    reader.assign(name.begin(), name.end());
    return true;
}

DWORD CardError(LONG result)
{
    return result == SCARD_E_UNKNOWN_READER ? static_cast<DWORD>(NTE_BAD_KEYSET) : static_cast<DWORD>(result);
}

}  // namespace

extern "C" {

BOOL WINAPI CPAcquireContext(HCRYPTPROV* prov, LPCSTR container, DWORD flags, void*)
{
    const std::string call = std::string("CPAcquireContext \"") + (container ? container : "(null)") + "\"";
    std::wstring reader;
    if (!ReaderOfContainer(container, reader))
        return Outcome(call, static_cast<DWORD>(NTE_BAD_KEYSET));
    if (flags & (CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET))
        return Outcome(call, static_cast<DWORD>(NTE_NOT_SUPPORTED));
    DWORD length = 0;
    const LONG present = SimGetCardCertificate(reader.c_str(), nullptr, &length);
    if (present != SCARD_S_SUCCESS)
        return Outcome(call, CardError(present));
    *prov = reinterpret_cast<HCRYPTPROV>(new Context{reader});
    return Outcome(call, 0);
}

BOOL WINAPI CPReleaseContext(HCRYPTPROV prov, DWORD)
{
    Context* context = reinterpret_cast<Context*>(prov);
    const std::string call = "CPReleaseContext \"" + (context ? Narrow(context->reader) : std::string()) + "\"";
    delete context;
    return Outcome(call, 0);
}

BOOL WINAPI CPSetProvParam(HCRYPTPROV prov, DWORD param, const BYTE* data, DWORD)
{
    Context* context = reinterpret_cast<Context*>(prov);
    if (param != PP_KEYEXCHANGE_PIN && param != PP_SIGNATURE_PIN)
        return Outcome("CPSetProvParam " + std::to_string(param), static_cast<DWORD>(NTE_BAD_TYPE));
    const std::string call = param == PP_KEYEXCHANGE_PIN ? "CPSetProvParam PP_KEYEXCHANGE_PIN" : "CPSetProvParam PP_SIGNATURE_PIN";
    const char* pin = reinterpret_cast<const char*>(data);
    const LONG result = SimVerifyCardPin(context->reader.c_str(), pin, pin ? static_cast<DWORD>(strlen(pin)) : 0);
    return Outcome(call, static_cast<DWORD>(result));
}

BOOL WINAPI CPGetProvParam(HCRYPTPROV, DWORD param, BYTE*, DWORD*, DWORD)
{
    return Outcome("CPGetProvParam " + std::to_string(param), static_cast<DWORD>(NTE_BAD_TYPE));
}

BOOL WINAPI CPGetUserKey(HCRYPTPROV prov, DWORD keySpec, HCRYPTKEY* key)
{
    Context* context = reinterpret_cast<Context*>(prov);
    const std::string call = "CPGetUserKey " + std::to_string(keySpec);
    if (keySpec != AT_KEYEXCHANGE)
        return Outcome(call, static_cast<DWORD>(NTE_NO_KEY));
    DWORD length = 0;
    const LONG present = SimGetCardCertificate(context->reader.c_str(), nullptr, &length);
    if (present != SCARD_S_SUCCESS)
        return Outcome(call, CardError(present));
    *key = reinterpret_cast<HCRYPTKEY>(new Key{context});
    return Outcome(call, 0);
}

BOOL WINAPI CPDestroyKey(HCRYPTPROV, HCRYPTKEY key)
{
    delete reinterpret_cast<Key*>(key);
    return Outcome("CPDestroyKey", 0);
}

BOOL WINAPI CPGetKeyParam(HCRYPTPROV, HCRYPTKEY key, DWORD param, BYTE* data, DWORD* length, DWORD)
{
    const std::string call = param == KP_CERTIFICATE ? "CPGetKeyParam KP_CERTIFICATE" : "CPGetKeyParam " + std::to_string(param);
    if (param != KP_CERTIFICATE)
        return Outcome(call, static_cast<DWORD>(NTE_BAD_TYPE));
    Key* k = reinterpret_cast<Key*>(key);
    DWORD needed = 0;
    LONG result = SimGetCardCertificate(k->context->reader.c_str(), nullptr, &needed);
    if (result != SCARD_S_SUCCESS)
        return Outcome(call, CardError(result));
    if (data == nullptr) {
        *length = needed;
        return Outcome(call + " (length)", 0);
    }
    if (*length < needed) {
        *length = needed;
        return Outcome(call, ERROR_MORE_DATA);
    }
    *length = needed;
    result = SimGetCardCertificate(k->context->reader.c_str(), data, length);
    return Outcome(call, CardError(result));
}

// What the card's container does not offer.
#define NOT_SUPPORTED(name) return Outcome(#name, static_cast<DWORD>(NTE_NOT_SUPPORTED))

BOOL WINAPI CPGenKey(HCRYPTPROV, ALG_ID, DWORD, HCRYPTKEY*) { NOT_SUPPORTED(CPGenKey); }
BOOL WINAPI CPDeriveKey(HCRYPTPROV, ALG_ID, HCRYPTHASH, DWORD, HCRYPTKEY*) { NOT_SUPPORTED(CPDeriveKey); }
BOOL WINAPI CPSetKeyParam(HCRYPTPROV, HCRYPTKEY, DWORD, const BYTE*, DWORD) { NOT_SUPPORTED(CPSetKeyParam); }
BOOL WINAPI CPSetHashParam(HCRYPTPROV, HCRYPTHASH, DWORD, const BYTE*, DWORD) { NOT_SUPPORTED(CPSetHashParam); }
BOOL WINAPI CPGetHashParam(HCRYPTPROV, HCRYPTHASH, DWORD, BYTE*, DWORD*, DWORD) { NOT_SUPPORTED(CPGetHashParam); }
BOOL WINAPI CPExportKey(HCRYPTPROV, HCRYPTKEY, HCRYPTKEY, DWORD, DWORD, BYTE*, DWORD*) { NOT_SUPPORTED(CPExportKey); }
BOOL WINAPI CPImportKey(HCRYPTPROV, const BYTE*, DWORD, HCRYPTKEY, DWORD, HCRYPTKEY*) { NOT_SUPPORTED(CPImportKey); }
BOOL WINAPI CPEncrypt(HCRYPTPROV, HCRYPTKEY, HCRYPTHASH, BOOL, DWORD, BYTE*, DWORD*, DWORD) { NOT_SUPPORTED(CPEncrypt); }
BOOL WINAPI CPDecrypt(HCRYPTPROV, HCRYPTKEY, HCRYPTHASH, BOOL, DWORD, BYTE*, DWORD*) { NOT_SUPPORTED(CPDecrypt); }
BOOL WINAPI CPCreateHash(HCRYPTPROV, ALG_ID, HCRYPTKEY, DWORD, HCRYPTHASH*) { NOT_SUPPORTED(CPCreateHash); }
BOOL WINAPI CPHashData(HCRYPTPROV, HCRYPTHASH, const BYTE*, DWORD, DWORD) { NOT_SUPPORTED(CPHashData); }
BOOL WINAPI CPHashSessionKey(HCRYPTPROV, HCRYPTHASH, HCRYPTKEY, DWORD) { NOT_SUPPORTED(CPHashSessionKey); }
BOOL WINAPI CPSignHash(HCRYPTPROV, HCRYPTHASH, DWORD, LPCWSTR, DWORD, BYTE*, DWORD*) { NOT_SUPPORTED(CPSignHash); }
BOOL WINAPI CPDestroyHash(HCRYPTPROV, HCRYPTHASH) { NOT_SUPPORTED(CPDestroyHash); }
BOOL WINAPI CPVerifySignature(HCRYPTPROV, HCRYPTHASH, const BYTE*, DWORD, HCRYPTKEY, LPCWSTR, DWORD)
{
    NOT_SUPPORTED(CPVerifySignature);
}
BOOL WINAPI CPGenRandom(HCRYPTPROV, DWORD, BYTE*) { NOT_SUPPORTED(CPGenRandom); }

// Entry point calls made in this process so far (not one of the CryptoAPI entry points).
LONG WINAPI CardCspCountCalls(void) { return g_calls; }

// Registers this DLL under every provider name the simulated cards report (in the registry
// view of the calling process).
HRESULT WINAPI DllRegisterServer(void)
{
    wchar_t path[MAX_PATH];
    if (!GetModuleFileNameW(g_module, path, MAX_PATH))
        return HRESULT_FROM_WIN32(GetLastError());
    for (const wchar_t* name : kProviderNames) {
        const std::wstring key = std::wstring(L"SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\") + name;
        HKEY handle = nullptr;
        LONG result = RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &handle, nullptr);
        if (result != ERROR_SUCCESS)
            return HRESULT_FROM_WIN32(result);
        const DWORD type = PROV_RSA_FULL, noSignature = 0;
        RegSetValueExW(handle, L"Image Path", 0, REG_SZ, reinterpret_cast<const BYTE*>(path),
                       static_cast<DWORD>((wcslen(path) + 1) * sizeof(wchar_t)));
        RegSetValueExW(handle, L"Type", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&type), sizeof(type));
        result = RegSetValueExW(handle, L"SigInFile", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&noSignature),
                                sizeof(noSignature));
        RegCloseKey(handle);
        if (result != ERROR_SUCCESS)
            return HRESULT_FROM_WIN32(result);
    }
    return S_OK;
}

HRESULT WINAPI DllUnregisterServer(void)
{
    for (const wchar_t* name : kProviderNames)
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, (std::wstring(L"SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\") + name).c_str());
    return S_OK;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = instance;
        standin::PinThisModule(instance);
    }
    return TRUE;
}

}  // extern "C"
