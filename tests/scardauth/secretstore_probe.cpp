// Runs the secret store in a fresh process with its protection functions hidden or replaced
// (the store picks its method once per process), and prints what it saw:
//   load <path>                  each LoadLibraryW of the store
//   create scope <n>: ok|failed  zeroed|not-zeroed  method 0x<flags>
//   call <function> <flags>      each call of a protection function, in order
//   roundtrip ok|bad
// Usage: secretstore_probe <scenario>; scenarios in the table below.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include "ImportHook.h"
#include "SecretStore.h"

namespace {

// The unhooked GetProcAddress: a lookup by name through the probe's own import table would
// meet the hook again.
decltype(&GetProcAddress) g_realGetProcAddress = nullptr;

template <class F>
F Real(const wchar_t* dll, const char* name)
{
    return reinterpret_cast<F>(reinterpret_cast<void*>(g_realGetProcAddress(GetModuleHandleW(dll), name)));
}

void Report(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    printf("\n");
    fflush(stdout);
}

// Working stand-ins: a reversible scramble, so the store's change check passes.
void Scramble(void* data, DWORD size, BYTE key)
{
    for (DWORD i = 0; i < size; ++i)
        static_cast<BYTE*>(data)[i] ^= key;
}

BOOL WINAPI FakeProtectMemory(LPVOID data, DWORD size, DWORD flags)
{
    Report("call CryptProtectMemory %lu", flags);
    Scramble(data, size, 0x5A);
    return TRUE;
}

BOOL WINAPI FakeUnprotectMemory(LPVOID data, DWORD size, DWORD flags)
{
    Report("call CryptUnprotectMemory %lu", flags);
    Scramble(data, size, 0x5A);
    return TRUE;
}

// What Wine's memory functions do: report success, change nothing.
BOOL WINAPI NoopProtectMemory(LPVOID, DWORD, DWORD flags)
{
    Report("call no-op memory function %lu", flags);
    return TRUE;
}

LONG WINAPI FakeEncryptMemory(PVOID data, ULONG size, ULONG option)
{
    Report("call RtlEncryptMemory %lu", option);
    Scramble(data, size, 0x3C);
    return 0;
}

LONG WINAPI FakeDecryptMemory(PVOID data, ULONG size, ULONG option)
{
    Report("call RtlDecryptMemory %lu", option);
    Scramble(data, size, 0x3C);
    return 0;
}

BOOL WINAPI RecordingProtectData(DATA_BLOB* in, LPCWSTR description, DATA_BLOB* entropy, PVOID reserved,
                                 CRYPTPROTECT_PROMPTSTRUCT* prompt, DWORD flags, DATA_BLOB* out)
{
    Report("call CryptProtectData %lu", flags);
    return Real<decltype(&CryptProtectData)>(L"crypt32.dll", "CryptProtectData")(
        in, description, entropy, reserved, prompt, flags, out);
}

BOOL WINAPI RecordingUnprotectData(DATA_BLOB* in, LPWSTR* description, DATA_BLOB* entropy, PVOID reserved,
                                   CRYPTPROTECT_PROMPTSTRUCT* prompt, DWORD flags, DATA_BLOB* out)
{
    Report("call CryptUnprotectData %lu", flags);
    return Real<decltype(&CryptUnprotectData)>(L"crypt32.dll", "CryptUnprotectData")(
        in, description, entropy, reserved, prompt, flags, out);
}

const char* const kMemory[] = {"CryptProtectMemory", "CryptUnprotectMemory"};
const char* const kRtl[] = {"SystemFunction040", "SystemFunction041"};
const char* const kData[] = {"CryptProtectData", "CryptUnprotectData"};

struct Scenario {
    const char* name;
    std::set<std::string> hidden;
    bool noopMemory;
    bool noopRtl;
    bool failCrypt32;
};

const Scenario kScenarios[] = {
    {"all-working", {}, false, false, false},
    {"no-protect-memory", {kMemory[0]}, false, false, false},
    {"data-only", {kMemory[0], kMemory[1], kRtl[0], kRtl[1]}, false, false, false},
    {"none", {kMemory[0], kMemory[1], kRtl[0], kRtl[1], kData[0], kData[1]}, false, false, false},
    {"no-op-memory", {}, true, false, false},
    {"no-op-memory-and-rtl", {}, true, true, false},
    {"no-crypt32", {}, false, false, true},
    {"system", {}, false, false, false},
};
const Scenario* g_active = nullptr;

template <class F>
FARPROC AsFarProc(F function)
{
    return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(function));
}

FARPROC Fake(const char* name)
{
    if (g_active->hidden.count(name))
        return nullptr;
    const bool system = strcmp(g_active->name, "system") == 0;
    if (!strcmp(name, kMemory[0]) && !system)
        return AsFarProc(g_active->noopMemory ? &NoopProtectMemory : &FakeProtectMemory);
    if (!strcmp(name, kMemory[1]) && !system)
        return AsFarProc(g_active->noopMemory ? &NoopProtectMemory : &FakeUnprotectMemory);
    if (!strcmp(name, kRtl[0]) && !system)
        return g_active->noopRtl ? AsFarProc(&NoopProtectMemory) : AsFarProc(&FakeEncryptMemory);
    if (!strcmp(name, kRtl[1]) && !system)
        return g_active->noopRtl ? AsFarProc(&NoopProtectMemory) : AsFarProc(&FakeDecryptMemory);
    if (!strcmp(name, kData[0]))
        return AsFarProc(&RecordingProtectData);
    if (!strcmp(name, kData[1]))
        return AsFarProc(&RecordingUnprotectData);
    return reinterpret_cast<FARPROC>(-1);
}

FARPROC WINAPI HookedGetProcAddress(HMODULE module, LPCSTR name)
{
    if (HIWORD(reinterpret_cast<uintptr_t>(name)) != 0) {
        FARPROC fake = Fake(name);
        if (fake != reinterpret_cast<FARPROC>(-1))
            return fake;
    }
    return g_realGetProcAddress(module, name);
}

HMODULE WINAPI HookedLoadLibraryW(LPCWSTR path)
{
    char narrow[MAX_PATH * 2];
    WideCharToMultiByte(CP_UTF8, 0, path, -1, narrow, sizeof(narrow), nullptr, nullptr);
    Report("load %s", narrow);
    if (g_active->failCrypt32 && wcsstr(path, L"crypt32.dll")) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return Real<decltype(&LoadLibraryW)>(L"kernel32.dll", "LoadLibraryW")(path);
}

void CreateAndRoundTrip(DWORD flags)
{
    char secret[] = "probe-secret-0123";
    const std::string expected = "probe-secret-0123";
    Report("create scope %lu", flags & 0xFFFF);
    void* handle = SKCreateSecret(secret, sizeof(secret), flags);
    bool zeroed = true;
    for (char c : secret)
        zeroed = zeroed && c == 0;
    // The header's third word holds the flags the store chose.
    Report("create scope %lu: %s %s method 0x%05lX", flags & 0xFFFF, handle ? "ok" : "failed",
           zeroed ? "zeroed" : "not-zeroed", handle ? static_cast<DWORD*>(handle)[2] : 0);
    if (!handle)
        return;
    const char* plaintext = static_cast<const char*>(SKUnlockSecret(handle));
    Report("roundtrip %s", plaintext && expected == plaintext ? "ok" : "bad");
    SKLockSecret(handle);
    SKDestroySecret(handle);
}

}  // namespace

int main(int argc, char** argv)
{
    for (const Scenario& scenario : kScenarios)
        if (argc > 1 && !strcmp(argv[1], scenario.name))
            g_active = &scenario;
    if (!g_active) {
        fprintf(stderr, "usage: secretstore_probe <scenario>\n");
        return 2;
    }
    testsupport::ImportHook getProc(nullptr, "GetProcAddress", &HookedGetProcAddress);
    g_realGetProcAddress = getProc.Original<decltype(&GetProcAddress)>();
    testsupport::ImportHook load(nullptr, "LoadLibraryW", &HookedLoadLibraryW);
    CreateAndRoundTrip(SK_PROTECT_MEMORY | SK_SAME_PROCESS);
    CreateAndRoundTrip(SK_PROTECT_MEMORY | SK_CROSS_PROCESS);
    CreateAndRoundTrip(SK_PROTECT_MEMORY | SK_SAME_LOGON);
    return 0;
}
