#pragma once
// Owners of the card's handles, of the foundation's one family (tsmb::UniqueResource): the
// smart-card context, the CryptoAPI provider and key, the certificate context and the CNG key.
// Each is released once, by its owner, on every way out; a failed release is traced and changes
// nothing else.
#include <windows.h>
#include <wincrypt.h>
#include <winscard.h>
#include <ncrypt.h>

#include "UniqueHandle.h"

struct CardContextTraits {
    using Type = SCARDCONTEXT;
    static BOOL Close(SCARDCONTEXT context);
};
struct CryptProviderTraits {
    using Type = HCRYPTPROV;
    static BOOL Close(HCRYPTPROV provider);
};
struct CryptKeyTraits {
    using Type = HCRYPTKEY;
    static BOOL Close(HCRYPTKEY key);
};
struct CertContextTraits {
    using Type = PCCERT_CONTEXT;
    static BOOL Close(PCCERT_CONTEXT context);
};
// Freed through the process's CNG functions (SCardAuthKeyStorage), which are looked up at run
// time; an owner only ever holds a handle those functions gave.
struct NCryptHandleTraits {
    using Type = NCRYPT_HANDLE;
    static BOOL Close(NCRYPT_HANDLE handle);
};

using CardContext = tsmb::UniqueResource<CardContextTraits>;
using CryptProvider = tsmb::UniqueResource<CryptProviderTraits>;
using CryptKey = tsmb::UniqueResource<CryptKeyTraits>;
using CertContext = tsmb::UniqueResource<CertContextTraits>;
using NCryptHandle = tsmb::UniqueResource<NCryptHandleTraits>;
