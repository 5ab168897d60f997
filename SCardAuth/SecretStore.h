#pragma once
// Protected store for small secrets (the PIN): kept encrypted with a key the system holds,
// revealed only between unlock and lock, in a page locked into physical memory; every
// plaintext copy, and the caller's input, is overwritten with zeros before release.
#include <windows.h>

#include <exception>

// Bits 16..19 of a secret's flags: the protection method.
const DWORD SK_PROTECT_MEMORY = 0x10000;  // CryptProtectMemory
const DWORD SK_ENCRYPT_MEMORY = 0x20000;  // RtlEncryptMemory (SystemFunction040)
const DWORD SK_PROTECT_DATA = 0x30000;    // CryptProtectData
// Bits 0..15: the scope.
const DWORD SK_SAME_PROCESS = 0;
const DWORD SK_CROSS_PROCESS = 1;
const DWORD SK_SAME_LOGON = 2;
// The PIN's: protected memory, for this process only.
const DWORD kPinSecretFlags = SK_PROTECT_MEMORY | SK_SAME_PROCESS;

extern const char SK_VERSION[];

// Takes over size bytes of data (which are then zeroed, also on failure); returns the handle
// of the new, locked secret or nullptr.
void* SKCreateSecret(void* data, DWORD size, DWORD flags);
// pointer: handle or plaintext address. Returns the handle when the secret is locked by the
// call, nullptr otherwise (also when it was locked already).
void* SKLockSecret(void* pointer);
// The plaintext (as long as the data given at creation), or nullptr.
void* SKUnlockSecret(void* handle);
// True when the secret has no plaintext copy; false for a null pointer; true for a handle the
// store does not know. Pointers are recognised by identity: the store reads none it did not make.
BOOL SKIsSecretLocked(void* handle);
// pointer: handle or plaintext address. Wipes and releases the whole secret.
void SKDestroySecret(void* pointer);

// Owner of one secret's handle.
class SecretKeeper {
public:
    class lock_error : public std::exception {};
    class no_secret : public std::exception {};
    class secret_unlocked : public std::exception {};
    class unlock_error : public std::exception {};

    // Throws lock_error when the secret cannot be made.
    SecretKeeper(void* data, DWORD size, DWORD flags);
    ~SecretKeeper();
    SecretKeeper(const SecretKeeper&) = delete;
    SecretKeeper& operator=(const SecretKeeper&) = delete;

    void* Unlock();
    void Lock();
    // Wipes and releases the secret now; the keeper then holds none (Unlock throws no_secret).
    void Destroy() noexcept;

private:
    void* m_secret;
};

// Holds a secret unlocked for a scope and locks it again on every way out: the end of the
// scope, a return, an exception. A secret that cannot be locked again is destroyed (wiped and
// released) rather than left in plain memory.
class ScopedSecretUnlock {
public:
    explicit ScopedSecretUnlock(SecretKeeper& keeper);
    ~ScopedSecretUnlock();
    ScopedSecretUnlock(const ScopedSecretUnlock&) = delete;
    ScopedSecretUnlock& operator=(const ScopedSecretUnlock&) = delete;

    void* Plaintext() const { return m_plaintext; }

private:
    SecretKeeper& m_keeper;
    void* m_plaintext;
};
