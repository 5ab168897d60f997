#include "SecretStore.h"

#include <wincrypt.h>

#include <cstdint>
#include <cstring>

const char SK_VERSION[] = "SKVER1.3";

namespace {

const DWORD kNoMethod = 0;
const DWORD kMethodMask = 0xF0000;
const DWORD kScopeMask = 0xFFFF;
const DWORD kHeaderWords = 12;  // total size, length, flags
const DWORD kAllOnes = 0xFFFFFFFF;

typedef BOOL(WINAPI* MemoryProtectFn)(LPVOID, DWORD, DWORD);
typedef LONG(WINAPI* RtlMemoryFn)(PVOID, ULONG, ULONG);
typedef BOOL(WINAPI* ProtectDataFn)(DATA_BLOB*, LPCWSTR, DATA_BLOB*, PVOID, CRYPTPROTECT_PROMPTSTRUCT*, DWORD,
                                    DATA_BLOB*);
typedef BOOL(WINAPI* UnprotectDataFn)(DATA_BLOB*, LPWSTR*, DATA_BLOB*, PVOID, CRYPTPROTECT_PROMPTSTRUCT*, DWORD,
                                      DATA_BLOB*);

struct StoreState;

// Every block the caller can point into starts with the address of the store.
struct Header {
    StoreState* store;
    DWORD totalSize;  // kHeaderWords + ciphertext size
    DWORD length;
    DWORD flags;
    BYTE ciphertext[1];
};

struct SecretRecord {
    Header* header;
    BYTE* plaintext;  // null while locked
    SecretRecord* next;
};

struct StoreState {
    volatile LONG initCount;
    volatile LONG ready;
    SecretRecord* secrets;
    CRITICAL_SECTION lock;
    DWORD bestMethod;
    MemoryProtectFn protectMemory;
    MemoryProtectFn unprotectMemory;
    RtlMemoryFn encryptMemory;
    RtlMemoryFn decryptMemory;
    ProtectDataFn protectData;
    UnprotectDataFn unprotectData;
};

StoreState g_store;

class StoreLock {
public:
    StoreLock() { EnterCriticalSection(&g_store.lock); }
    ~StoreLock() { LeaveCriticalSection(&g_store.lock); }
    StoreLock(const StoreLock&) = delete;
    StoreLock& operator=(const StoreLock&) = delete;
};

// Overwrites memory in a way the optimiser cannot drop.
void Wipe(void* memory, size_t size)
{
    SecureZeroMemory(memory, size);
}

DWORD PaddedSize(DWORD length)
{
    return (length & ~0xFu) + 16;
}

DWORD Scope(DWORD flags)
{
    const DWORD scope = flags & kScopeMask;
    return scope > SK_SAME_LOGON ? SK_SAME_PROCESS : scope;
}

DWORD ProtectDataFlags(DWORD flags)
{
    return CRYPTPROTECT_UI_FORBIDDEN | (Scope(flags) == SK_CROSS_PROCESS ? CRYPTPROTECT_LOCAL_MACHINE : 0);
}

void* AllocateBlock(DWORD size)
{
    return VirtualAlloc(nullptr, size, MEM_COMMIT, PAGE_READWRITE);
}

// address: the block's start (or null).
void ReleaseBlock(void* address)
{
    if (address)
        VirtualFree(address, 0, MEM_RELEASE);
}

// The plaintext page's block starts one word before the plaintext.
void* PlaintextBlock(BYTE* plaintext)
{
    return plaintext - sizeof(StoreState*);
}

// A method that reports success but leaves the data as it was protects nothing (Wine's memory
// methods do exactly that): it counts as missing. Checked once, on a probe block.
template <class Protect, class Unprotect>
bool ChangesAndRestoresProbe(Protect protect, Unprotect unprotect)
{
    BYTE probe[16];
    for (BYTE i = 0; i < sizeof(probe); ++i)
        probe[i] = static_cast<BYTE>(0xA5 ^ (i * 7));
    BYTE original[sizeof(probe)];
    memcpy(original, probe, sizeof(probe));
    return protect(probe, sizeof(probe)) && memcmp(probe, original, sizeof(probe)) != 0 &&
           unprotect(probe, sizeof(probe)) && memcmp(probe, original, sizeof(probe)) == 0;
}

bool MemoryMethodWorks(MemoryProtectFn protect, MemoryProtectFn unprotect)
{
    return ChangesAndRestoresProbe(
        [protect](BYTE* data, DWORD size) { return protect(data, size, SK_SAME_PROCESS) != FALSE; },
        [unprotect](BYTE* data, DWORD size) { return unprotect(data, size, SK_SAME_PROCESS) != FALSE; });
}

bool RtlMethodWorks(RtlMemoryFn encrypt, RtlMemoryFn decrypt)
{
    return ChangesAndRestoresProbe(
        [encrypt](BYTE* data, DWORD size) { return encrypt(data, size, SK_SAME_PROCESS) == 0; },
        [decrypt](BYTE* data, DWORD size) { return decrypt(data, size, SK_SAME_PROCESS) == 0; });
}

bool DataMethodWorks(ProtectDataFn protect, UnprotectDataFn unprotect)
{
    BYTE probe[16];
    for (BYTE i = 0; i < sizeof(probe); ++i)
        probe[i] = static_cast<BYTE>(0x3C ^ (i * 13));
    DATA_BLOB in = {sizeof(probe), probe};
    DATA_BLOB sealed = {};
    if (!protect(&in, L"Encrypted secret", nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &sealed))
        return false;
    const bool changed = sealed.cbData < sizeof(probe) || memcmp(sealed.pbData, probe, sizeof(probe)) != 0;
    DATA_BLOB out = {};
    bool works = false;
    if (changed && unprotect(&sealed, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out)) {
        works = out.cbData == sizeof(probe) && memcmp(out.pbData, probe, sizeof(probe)) == 0;
        Wipe(out.pbData, out.cbData);
        LocalFree(out.pbData);
    }
    LocalFree(sealed.pbData);
    return works;
}

template <class F>
F Resolve(HMODULE module, const char* name)
{
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

HMODULE LoadSystemLibrary(const wchar_t* directory, const wchar_t* name)
{
    wchar_t path[1100];
    wcscpy(path, directory);
    wcscat(path, name);
    return LoadLibraryW(path);
}

void InitializeStore()
{
    InitializeCriticalSection(&g_store.lock);
    g_store.bestMethod = kNoMethod;

    wchar_t directory[1000];
    UINT length = GetSystemDirectoryW(directory, ARRAYSIZE(directory));
    if (length >= ARRAYSIZE(directory))
        length = 0;
    directory[length] = L'\0';
    if (length > 0 && directory[length - 1] != L'\\')
        wcscat(directory, L"\\");

    if (HMODULE crypt32 = LoadSystemLibrary(directory, L"crypt32.dll")) {
        g_store.protectMemory = Resolve<MemoryProtectFn>(crypt32, "CryptProtectMemory");
        g_store.unprotectMemory = Resolve<MemoryProtectFn>(crypt32, "CryptUnprotectMemory");
        if (g_store.protectMemory && g_store.unprotectMemory &&
            !MemoryMethodWorks(g_store.protectMemory, g_store.unprotectMemory))
            g_store.protectMemory = g_store.unprotectMemory = nullptr;
        if (g_store.protectMemory && g_store.unprotectMemory)
            g_store.bestMethod = SK_PROTECT_MEMORY;

        g_store.protectData = Resolve<ProtectDataFn>(crypt32, "CryptProtectData");
        g_store.unprotectData = Resolve<UnprotectDataFn>(crypt32, "CryptUnprotectData");
        if (g_store.protectData && g_store.unprotectData &&
            !DataMethodWorks(g_store.protectData, g_store.unprotectData))
            g_store.protectData = nullptr, g_store.unprotectData = nullptr;
        if (g_store.bestMethod == kNoMethod && g_store.protectData && g_store.unprotectData)
            g_store.bestMethod = SK_PROTECT_DATA;
    }
    if (HMODULE advapi32 = LoadSystemLibrary(directory, L"Advapi32.dll")) {
        g_store.encryptMemory = Resolve<RtlMemoryFn>(advapi32, "SystemFunction040");
        g_store.decryptMemory = Resolve<RtlMemoryFn>(advapi32, "SystemFunction041");
        if (g_store.encryptMemory && g_store.decryptMemory &&
            !RtlMethodWorks(g_store.encryptMemory, g_store.decryptMemory))
            g_store.encryptMemory = g_store.decryptMemory = nullptr;
        if ((g_store.bestMethod == kNoMethod || g_store.bestMethod == SK_PROTECT_DATA) && g_store.encryptMemory &&
            g_store.decryptMemory)
            g_store.bestMethod = SK_ENCRYPT_MEMORY;
    }
}

// The first caller initializes; any caller that comes while that runs waits for it.
void EnsureInitialized()
{
    if (g_store.ready)
        return;
    if (InterlockedIncrement(&g_store.initCount) == 1) {
        InitializeStore();
        InterlockedExchange(&g_store.ready, 1);
        return;
    }
    while (!InterlockedCompareExchange(&g_store.ready, 0, 0))
        Sleep(0);
}

DWORD EffectiveFlags(DWORD requested)
{
    const DWORD method = requested & kMethodMask;
    const DWORD chosen =
        (method >= g_store.bestMethod && method <= SK_ENCRYPT_MEMORY) ? method : g_store.bestMethod;
    return chosen | Scope(requested);
}

SecretRecord* FindByHandle(const void* handle)
{
    for (SecretRecord* record = g_store.secrets; record; record = record->next)
        if (&record->header->totalSize == handle)
            return record;
    return nullptr;
}

SecretRecord* FindByHandleOrPlaintext(const void* pointer)
{
    for (SecretRecord* record = g_store.secrets; record; record = record->next)
        if (&record->header->totalSize == pointer || (record->plaintext && record->plaintext == pointer))
            return record;
    return nullptr;
}

void* HandleOf(const SecretRecord* record)
{
    return &record->header->totalSize;
}

void Unlink(SecretRecord* record)
{
    for (SecretRecord** link = &g_store.secrets; *link; link = &(*link)->next) {
        if (*link == record) {
            *link = record->next;
            return;
        }
    }
}

void DropPlaintext(SecretRecord* record)
{
    if (!record->plaintext)
        return;
    Wipe(record->plaintext, record->header->length);
    ReleaseBlock(PlaintextBlock(record->plaintext));
    record->plaintext = nullptr;
}

void ReleaseRecord(SecretRecord* record)
{
    DropPlaintext(record);
    ReleaseBlock(record->header);
    ReleaseBlock(record);
}

bool AttachPlaintextPage(SecretRecord* record)
{
    if (record->plaintext)
        return true;
    const DWORD padded = PaddedSize(record->header->length);
    BYTE* block = static_cast<BYTE*>(AllocateBlock(padded + sizeof(StoreState*)));
    if (!block)
        return false;
    *reinterpret_cast<StoreState**>(block) = &g_store;
    record->plaintext = block + sizeof(StoreState*);
    VirtualLock(record->plaintext, padded);
    return true;
}

// Puts the ciphertext into a new header block that replaces the old one.
bool AttachCiphertext(SecretRecord* record, const BYTE* ciphertext, DWORD size)
{
    Header* header = static_cast<Header*>(AllocateBlock(size + 16));
    if (!header)
        return false;
    header->store = &g_store;
    header->totalSize = size + kHeaderWords;
    header->length = record->header->length;
    header->flags = record->header->flags;
    memcpy(header->ciphertext, ciphertext, size);
    ReleaseBlock(record->header);
    record->header = header;
    return true;
}

bool Encrypt(SecretRecord* record)
{
    if (!record->plaintext)
        return false;
    bool success = true;
    if (record->header->totalSize == kHeaderWords) {
        const DWORD flags = record->header->flags;
        const DWORD padded = PaddedSize(record->header->length);
        success = false;
        switch (flags & kMethodMask) {
        case SK_PROTECT_MEMORY:
            success = g_store.protectMemory && g_store.protectMemory(record->plaintext, padded, Scope(flags)) &&
                      AttachCiphertext(record, record->plaintext, padded);
            break;
        case SK_ENCRYPT_MEMORY:
            success = g_store.encryptMemory && g_store.encryptMemory(record->plaintext, padded, Scope(flags)) == 0 &&
                      AttachCiphertext(record, record->plaintext, padded);
            break;
        case SK_PROTECT_DATA: {
            DATA_BLOB in = {padded, record->plaintext};
            DATA_BLOB sealed = {};
            if (g_store.protectData && g_store.protectData(&in, L"Encrypted secret", nullptr, nullptr, nullptr,
                                                           ProtectDataFlags(flags), &sealed)) {
                success = AttachCiphertext(record, sealed.pbData, sealed.cbData);
                Wipe(sealed.pbData, sealed.cbData);
                LocalFree(sealed.pbData);
            }
            break;
        }
        default:
            break;
        }
    }
    DropPlaintext(record);
    return success;
}

bool Decrypt(SecretRecord* record)
{
    if (!record->plaintext)
        return false;
    Header* header = record->header;
    const DWORD padded = PaddedSize(header->length);
    const DWORD cipherSize = header->totalSize - kHeaderWords;
    switch (header->flags & kMethodMask) {
    case SK_PROTECT_MEMORY:
        if (!g_store.unprotectMemory || cipherSize < padded)
            return false;
        memcpy(record->plaintext, header->ciphertext, padded);
        return g_store.unprotectMemory(record->plaintext, padded, Scope(header->flags)) != FALSE;
    case SK_ENCRYPT_MEMORY:
        if (!g_store.decryptMemory || cipherSize < padded)
            return false;
        memcpy(record->plaintext, header->ciphertext, padded);
        return g_store.decryptMemory(record->plaintext, padded, Scope(header->flags)) == 0;
    case SK_PROTECT_DATA: {
        DATA_BLOB sealed = {cipherSize, header->ciphertext};
        DATA_BLOB out = {};
        if (!g_store.unprotectData || !g_store.unprotectData(&sealed, nullptr, nullptr, nullptr, nullptr,
                                                             ProtectDataFlags(header->flags), &out))
            return false;
        const bool complete = out.cbData >= header->length;
        if (complete)
            memcpy(record->plaintext, out.pbData, header->length);
        Wipe(out.pbData, out.cbData);
        LocalFree(out.pbData);
        return complete;
    }
    default:
        return false;
    }
}

}  // namespace

void* SKCreateSecret(void* data, DWORD size, DWORD flags)
{
    // A size without its data would make an empty secret that claims to hold something.
    if (data == nullptr && size != 0)
        return nullptr;
    EnsureInitialized();
    StoreLock lock;
    void* result = nullptr;
    Header* header = static_cast<Header*>(AllocateBlock(sizeof(Header)));
    SecretRecord* record = static_cast<SecretRecord*>(AllocateBlock(sizeof(SecretRecord)));
    bool made = header && record;
    if (made) {
        header->store = &g_store;
        header->totalSize = kHeaderWords;
        header->length = size;
        header->flags = EffectiveFlags(flags);
        record->header = header;
        record->plaintext = nullptr;
        record->next = g_store.secrets;
        g_store.secrets = record;
        if (AttachPlaintextPage(record)) {
            if (data && size)
                memcpy(record->plaintext, data, size);
        } else {
            Unlink(record);
            ReleaseRecord(record);
            made = false;
        }
    } else {
        ReleaseBlock(header);
        ReleaseBlock(record);
    }
    if (data)
        Wipe(data, size);
    if (made) {
        if (Encrypt(record)) {
            result = HandleOf(record);
        } else {
            // A secret that could not be protected is no secret: nothing is left of it.
            Unlink(record);
            ReleaseRecord(record);
        }
    }
    return result;
}

void* SKLockSecret(void* pointer)
{
    if (!pointer)
        return nullptr;
    EnsureInitialized();
    StoreLock lock;
    SecretRecord* record = FindByHandleOrPlaintext(pointer);
    return record && Encrypt(record) ? HandleOf(record) : nullptr;
}

void* SKUnlockSecret(void* handle)
{
    if (!handle)
        return nullptr;
    EnsureInitialized();
    StoreLock lock;
    SecretRecord* record = FindByHandle(handle);
    if (!record || !AttachPlaintextPage(record))
        return nullptr;
    if (!Decrypt(record)) {
        DropPlaintext(record);
        return nullptr;
    }
    return record->plaintext;
}

BOOL SKIsSecretLocked(void* handle)
{
    if (!handle)
        return FALSE;
    EnsureInitialized();
    StoreLock lock;
    const SecretRecord* record = FindByHandle(handle);
    return !record || !record->plaintext;
}

void SKDestroySecret(void* pointer)
{
    if (!pointer)
        return;
    EnsureInitialized();
    StoreLock lock;
    if (SecretRecord* record = FindByHandleOrPlaintext(pointer)) {
        Unlink(record);
        ReleaseRecord(record);
    }
}

SecretKeeper::SecretKeeper(void* data, DWORD size, DWORD flags) : m_secret(SKCreateSecret(data, size, flags))
{
    if (!m_secret)
        throw lock_error();
}

SecretKeeper::~SecretKeeper() { Destroy(); }

void* SecretKeeper::Unlock()
{
    if (m_secret == reinterpret_cast<void*>(static_cast<uintptr_t>(kAllOnes)))
        throw secret_unlocked();
    if (!m_secret)
        throw no_secret();
    if (!SKIsSecretLocked(m_secret))
        throw secret_unlocked();
    void* plaintext = SKUnlockSecret(m_secret);
    if (!plaintext)
        throw unlock_error();
    return plaintext;
}

void SecretKeeper::Lock()
{
    if (!m_secret)
        throw no_secret();
    if (SKLockSecret(m_secret) != m_secret)
        throw lock_error();
}

void SecretKeeper::Destroy() noexcept
{
    if (m_secret && m_secret != reinterpret_cast<void*>(static_cast<uintptr_t>(kAllOnes)))
        SKDestroySecret(m_secret);
    m_secret = nullptr;
}

ScopedSecretUnlock::ScopedSecretUnlock(SecretKeeper& keeper) : m_keeper(keeper), m_plaintext(keeper.Unlock()) {}

ScopedSecretUnlock::~ScopedSecretUnlock()
{
    try {
        m_keeper.Lock();
    } catch (const std::exception&) {
        m_keeper.Destroy();
    }
}
