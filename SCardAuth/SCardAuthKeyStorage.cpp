#include "SCardAuthKeyStorage.h"

#include "Trace.h"
#include "Win32Error.h"

namespace {

const wchar_t kKeyStorageProvider[] = L"Microsoft Smart Card Key Storage Provider";

template <class F>
F Bind(FARPROC function)
{
    return reinterpret_cast<F>(reinterpret_cast<void*>(function));
}

}  // namespace

SCardAuthKeyStorage& SCardAuthKeyStorage::Process()
{
    // Never destroyed: a monitor or request may outlive static destruction at process exit.
    static SCardAuthKeyStorage* storage = new SCardAuthKeyStorage();
    return *storage;
}

void SCardAuthKeyStorage::Acquire(bool link)
{
    tsmb::CriticalSectionLock lock(m_lock);
    ++m_controls;
    if (link && !m_linked)
        Link();
}

void SCardAuthKeyStorage::Release()
{
    tsmb::CriticalSectionLock lock(m_lock);
    if (--m_controls == 0 && m_linked)
        CloseProvider();
}

bool SCardAuthKeyStorage::IsLinked()
{
    tsmb::CriticalSectionLock lock(m_lock);
    return m_linked;
}

void SCardAuthKeyStorage::Link()
{
    static const char kName[] = "SCardAuthCert::ExplicitlyLinkNCryptFn";
    Trace("SCardAuth:%s: executing...", kName);
    if (!m_library) {
        m_library = LoadLibraryW(L"ncrypt.dll");
        if (!m_library) {
            const DWORD code = GetLastError();
            Trace("SCardAuth:%s:LoadLibrary: failed with last error: %ld", "SCardAuthCert::GetNCryptLib", code);
            Trace("SCardAuth:%s: failed with exception: %s", kName, tsmb::Win32Error(code).what());
            return;
        }
    }
    const char* const names[] = {"NCryptOpenStorageProvider", "NCryptOpenKey", "NCryptSetProperty", "NCryptFreeObject"};
    FARPROC functions[4] = {};
    for (int i = 0; i < 4; ++i) {
        functions[i] = GetProcAddress(m_library, names[i]);
        if (!functions[i]) {
            const DWORD code = GetLastError();
            Trace("SCardAuth:%s:GetProcAddress: failed for procedure: %s with last error: %ld",
                  "SCardAuthCert::GetNCryptProcAddress", names[i], code);
            Trace("SCardAuth:%s: failed with exception: %s", kName, tsmb::Win32Error(code).what());
            return;
        }
    }
    m_openStorageProvider = Bind<decltype(m_openStorageProvider)>(functions[0]);
    m_openKey = Bind<decltype(m_openKey)>(functions[1]);
    m_setProperty = Bind<decltype(m_setProperty)>(functions[2]);
    m_freeObject = Bind<decltype(m_freeObject)>(functions[3]);
    m_linked = true;
}

NCRYPT_PROV_HANDLE SCardAuthKeyStorage::OpenProvider()
{
    static const char kName[] = "SCardAuthCert::OpenNCryptStorageProvider";
    Trace("SCardAuth:%s: executing...", kName);
    tsmb::CriticalSectionLock lock(m_lock);
    if (!m_linked) {
        Trace("SCardAuth:%s: failed to explicitly link required CNG NCrypt functions => NCryptOpenStorageProvider not "
              "called",
              kName);
        return 0;
    }
    if (m_provider) {
        Trace("SCardAuth:%s:NCryptOpenStorageProvider: already called previously (with success) for key storage provider: "
              "\"%S\"",
              kName, kKeyStorageProvider);
        return m_provider.Get();
    }
    NCRYPT_PROV_HANDLE provider = 0;
    const SECURITY_STATUS status = m_openStorageProvider(&provider, kKeyStorageProvider, 0);
    if (status != ERROR_SUCCESS) {
        Trace("SCardAuth:%s:NCryptOpenStorageProvider: failed with security status: %ld", kName, static_cast<long>(status));
        throw tsmb::Win32Error(static_cast<DWORD>(status));
    }
    m_provider = NCryptHandle(provider);
    Trace("SCardAuth:%s:NCryptOpenStorageProvider: succeeded for key storage provider: \"%S\"", kName,
          kKeyStorageProvider);
    return m_provider.Get();
}

SECURITY_STATUS SCardAuthKeyStorage::OpenKey(NCRYPT_KEY_HANDLE* key, const wchar_t* name)
{
    // Under the lock: the last control going must not close the provider under the key's open.
    tsmb::CriticalSectionLock lock(m_lock);
    return m_openKey(m_provider.Get(), key, name, AT_KEYEXCHANGE, 0);
}

SECURITY_STATUS SCardAuthKeyStorage::SetProperty(NCRYPT_KEY_HANDLE key, const wchar_t* property, BYTE* data, DWORD size)
{
    return m_setProperty(key, property, data, size, 0);
}

SECURITY_STATUS SCardAuthKeyStorage::FreeObject(NCRYPT_HANDLE object) { return m_freeObject(object); }

void SCardAuthKeyStorage::CloseProvider()
{
    static const char kName[] = "SCardAuthCert::CloseNCryptStorageProvider";
    Trace("SCardAuth:%s: executing...", kName);
    m_provider.Close();
}
