#pragma once
// CNG's smart-card key storage provider, shared by the whole process: its four functions
// (looked up in ncrypt.dll at run time, since systems before CNG have none), its provider handle
// (opened by the first submission that needs it, closed when the last control goes), the count
// of live controls and the lock over all of it.
#include <windows.h>
#include <wincrypt.h>
#include <ncrypt.h>

#include "CardHandles.h"
#include "CriticalSection.h"

class SCardAuthKeyStorage {
public:
    static SCardAuthKeyStorage& Process();

    // A control is made: the first one on a system with CNG links the functions (once for the
    // process; tried again by the next control when ncrypt.dll was missing).
    void Acquire(bool link);
    // A control goes: the last one closes the provider (the next submission opens it again).
    void Release();
    bool IsLinked();

    // The provider, opened when not yet; throws tsmb::Win32Error with its status.
    NCRYPT_PROV_HANDLE OpenProvider();
    SECURITY_STATUS OpenKey(NCRYPT_KEY_HANDLE* key, const wchar_t* name);
    SECURITY_STATUS SetProperty(NCRYPT_KEY_HANDLE key, const wchar_t* property, BYTE* data, DWORD size);
    SECURITY_STATUS FreeObject(NCRYPT_HANDLE object);

private:
    SCardAuthKeyStorage() = default;
    void Link();
    void CloseProvider();

    tsmb::CriticalSection m_lock;
    long m_controls = 0;
    HMODULE m_library = nullptr;  // never freed: the pointers below stay valid for the process
    bool m_linked = false;
    decltype(&NCryptOpenStorageProvider) m_openStorageProvider = nullptr;
    decltype(&NCryptOpenKey) m_openKey = nullptr;
    decltype(&NCryptSetProperty) m_setProperty = nullptr;
    decltype(&NCryptFreeObject) m_freeObject = nullptr;
    // Freed through m_freeObject (NCryptHandle's release), under the lock.
    NCryptHandle m_provider;
};
