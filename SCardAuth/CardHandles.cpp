#include "CardHandles.h"

#include "SCardAuthKeyStorage.h"
#include "Trace.h"

BOOL CardContextTraits::Close(SCARDCONTEXT context)
{
    const LONG result = SCardReleaseContext(context);
    if (result == SCARD_S_SUCCESS)
        return TRUE;
    Trace("SCardAuth:%s:SCardReleaseContext: failed with SCard error: 0x%08X => ignore", "CardContext::Close",
          static_cast<DWORD>(result));
    SetLastError(static_cast<DWORD>(result));
    return FALSE;
}

BOOL CryptProviderTraits::Close(HCRYPTPROV provider)
{
    if (CryptReleaseContext(provider, 0))
        return TRUE;
    Trace("SCardAuth:%s:CryptReleaseContext: failed with last error: %ld", "CryptProvider::Close", GetLastError());
    return FALSE;
}

BOOL CryptKeyTraits::Close(HCRYPTKEY key)
{
    if (CryptDestroyKey(key))
        return TRUE;
    Trace("SCardAuth:%s:CryptDestroyKey: failed with last error: %ld", "CryptKey::Close", GetLastError());
    return FALSE;
}

BOOL CertContextTraits::Close(PCCERT_CONTEXT context) { return CertFreeCertificateContext(context); }

BOOL NCryptHandleTraits::Close(NCRYPT_HANDLE handle)
{
    const SECURITY_STATUS status = SCardAuthKeyStorage::Process().FreeObject(handle);
    if (status == ERROR_SUCCESS)
        return TRUE;
    Trace("SCardAuth:%s:NCryptFreeObject: failed with security status: %ld", "NCryptHandle::Close",
          static_cast<long>(status));
    SetLastError(static_cast<DWORD>(status));
    return FALSE;
}
