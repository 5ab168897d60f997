// Stand-in for the CNG key storage functions with the smart-card key storage provider: never
// shipped. The "SmartCardPin" property of a key "\\.\<reader>\" checks the PIN against the
// card in that reader (simulated service). Every call is appended as one line to the file
// named by NCRYPT_LOG (the PIN never is):  <function> <argument> -> 0x<status>
// Each call takes the milliseconds NCRYPT_DELAY_MS names (read at every call; none unset), and
// NCryptStandInCountCalls counts the calls of this process.
// For tests: NCRYPT_SWAP_AT_OPEN_KEY=<pin> swaps the card in the key's reader, once, as the key
// is opened: another card with the same certificate and that PIN takes its place.
#include <windows.h>
#include <ncrypt.h>

#include <cstdio>
#include <string>

#include <vector>

#include "StandIn.h"
#include "scardsim.h"

namespace {

const wchar_t kProvider[] = L"Microsoft Smart Card Key Storage Provider";
const wchar_t kPinProperty[] = L"SmartCardPin";

struct Object {
    bool provider;
    std::wstring reader;  // keys only
};

void Log(const std::string& line) { standin::AppendToLog("NCRYPT_LOG", line); }

// Calls in this process, for the benchmarks' counts.
volatile LONG g_calls = 0;

// Every function ends here: counted, taking the time NCRYPT_DELAY_MS says, and logged.
SECURITY_STATUS Outcome(const std::string& call, SECURITY_STATUS status)
{
    InterlockedIncrement(&g_calls);
    standin::DelayAsConfigured("NCRYPT_DELAY_MS");
    char code[16];
    snprintf(code, sizeof(code), "0x%08lX", static_cast<unsigned long>(status));
    Log(call + " -> " + code);
    return status;
}

std::string Narrow(const wchar_t* text)
{
    std::string out;
    for (; text && *text; ++text)
        out.push_back(static_cast<char>(*text));
    return out;
}

// The card in reader goes and another, with the same certificate and the PIN the variable
// names, comes: the moment the provider holds a key is a moment a card can change.
void SwapIfAsked(const std::wstring& reader)
{
    char pin[64] = {};
    if (!GetEnvironmentVariableA("NCRYPT_SWAP_AT_OPEN_KEY", pin, sizeof(pin)))
        return;
    SetEnvironmentVariableA("NCRYPT_SWAP_AT_OPEN_KEY", nullptr);
    DWORD length = 0;
    SimGetCardCertificate(reader.c_str(), nullptr, &length);
    std::vector<BYTE> certificate(length);
    if (length)
        SimGetCardCertificate(reader.c_str(), certificate.data(), &length);
    SimRemoveCard(reader.c_str());
    SimInsertCard(reader.c_str(), nullptr, 0, nullptr, L"Microsoft Base Smart Card Crypto Provider");
    SimSetCardKey(reader.c_str(), pin, 3, certificate.empty() ? nullptr : certificate.data(), length);
    Log("swapped the card in \"" + Narrow(reader.c_str()) + "\"");
}

}  // namespace

extern "C" {

SECURITY_STATUS WINAPI NCryptOpenStorageProvider(NCRYPT_PROV_HANDLE* provider, LPCWSTR name, DWORD)
{
    const std::string call = "NCryptOpenStorageProvider \"" + Narrow(name) + "\"";
    if (provider == nullptr)
        return Outcome(call, NTE_INVALID_PARAMETER);
    if (name == nullptr || wcscmp(name, kProvider) != 0)
        return Outcome(call, NTE_PROV_DLL_NOT_FOUND);
    *provider = reinterpret_cast<NCRYPT_PROV_HANDLE>(new Object{true, L""});
    return Outcome(call, ERROR_SUCCESS);
}

SECURITY_STATUS WINAPI NCryptOpenKey(NCRYPT_PROV_HANDLE provider, NCRYPT_KEY_HANDLE* key, LPCWSTR name, DWORD legacySpec,
                                     DWORD)
{
    const std::string call = "NCryptOpenKey \"" + Narrow(name) + "\" " + std::to_string(legacySpec);
    Object* p = reinterpret_cast<Object*>(provider);
    if (p == nullptr || !p->provider || key == nullptr || name == nullptr)
        return Outcome(call, NTE_INVALID_HANDLE);
    const std::wstring text = name;
    if (text.size() < 6 || text.compare(0, 4, L"\\\\.\\") != 0 || text.back() != L'\\')
        return Outcome(call, NTE_BAD_KEYSET);
    const std::wstring reader = text.substr(4, text.size() - 5);
    SwapIfAsked(reader);
    DWORD length = 0;
    const LONG present = SimGetCardCertificate(reader.c_str(), nullptr, &length);
    if (present != SCARD_S_SUCCESS)
        return Outcome(call, present == SCARD_E_UNKNOWN_READER ? NTE_BAD_KEYSET : present);
    *key = reinterpret_cast<NCRYPT_KEY_HANDLE>(new Object{false, reader});
    return Outcome(call, ERROR_SUCCESS);
}

SECURITY_STATUS WINAPI NCryptSetProperty(NCRYPT_HANDLE object, LPCWSTR property, PBYTE input, DWORD inputLength, DWORD)
{
    const std::string call = "NCryptSetProperty \"" + Narrow(property) + "\" " + std::to_string(inputLength);
    Object* key = reinterpret_cast<Object*>(object);
    if (key == nullptr || key->provider)
        return Outcome(call, NTE_INVALID_HANDLE);
    if (property == nullptr || wcscmp(property, kPinProperty) != 0)
        return Outcome(call, NTE_NOT_SUPPORTED);
    // A PIN of wide characters with its terminator; the card compares the ANSI form.
    const wchar_t* pin = reinterpret_cast<const wchar_t*>(input);
    const size_t chars = inputLength / sizeof(wchar_t);
    if (pin == nullptr || chars == 0 || pin[chars - 1] != L'\0')
        return Outcome(call, NTE_INVALID_PARAMETER);
    std::vector<char> ansi(chars * 2 + 1, '\0');
    const int bytes = WideCharToMultiByte(CP_ACP, 0, pin, static_cast<int>(chars - 1), ansi.data(),
                                          static_cast<int>(ansi.size()), nullptr, nullptr);
    const LONG result = SimVerifyCardPin(key->reader.c_str(), ansi.data(), static_cast<DWORD>(bytes > 0 ? bytes : 0));
    SecureZeroMemory(ansi.data(), ansi.size());
    return Outcome(call, result);
}

SECURITY_STATUS WINAPI NCryptFreeObject(NCRYPT_HANDLE object)
{
    Object* o = reinterpret_cast<Object*>(object);
    if (o == nullptr)
        return Outcome("NCryptFreeObject", NTE_INVALID_HANDLE);
    const std::string call = o->provider ? "NCryptFreeObject provider" : "NCryptFreeObject key \"" + Narrow(o->reader.c_str()) + "\"";
    delete o;
    return Outcome(call, ERROR_SUCCESS);
}

// Calls of the four functions made in this process so far.
LONG WINAPI NCryptStandInCountCalls(void) { return g_calls; }

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
        standin::PinThisModule(instance);
    return TRUE;
}

}  // extern "C"
