#include "SCardAuthCert.h"

#include <vector>

#include "RegistryKey.h"
#include "SCardAuthKeyStorage.h"
#include "Trace.h"
#include "Utils.h"
#include "Win32Error.h"

namespace {

const wchar_t kKeyStorageProvider[] = L"Microsoft Smart Card Key Storage Provider";
const wchar_t kBaseSmartCardCsp[] = L"Microsoft Base Smart Card Crypto Provider";
const wchar_t kPinProperty[] = L"SmartCardPin";
const size_t kMaxPinBytes = 65537;

const char kSubmit[] = "SCardAuthCert::SubmitSCardCertToWinINet";

[[noreturn]] void ThrowSCard(const char* function, const char* call, LONG result)
{
    Trace("SCardAuth:%s:%s: failed with SCard error: 0x%08X", function, call, static_cast<DWORD>(result));
    throw tsmb::Win32Error(static_cast<DWORD>(result));
}

[[noreturn]] void ThrowLastError(const char* function, const char* call)
{
    const DWORD code = GetLastError();
    Trace("SCardAuth:%s:%s: failed with last error: %ld", function, call, code);
    throw tsmb::Win32Error(code);
}

// Gives back a block the smart-card subsystem allocated; a failure is only traced.
void FreeSCardMemory(SCARDCONTEXT context, const void* block)
{
    const LONG freed = SCardFreeMemory(context, block);
    if (freed != SCARD_S_SUCCESS)
        Trace("SCardAuth:%s:SCardFreeMemory: failed with SCard error: 0x%08X", kSubmit, static_cast<DWORD>(freed));
}

}  // namespace


SCardAuthCert::SCardAuthCert(const std::wstring& readerName) : m_readerName(readerName) {}

SCardAuthCert::SCardAuthCert(const SCardAuthReader& card, std::function<bool()> isStillTheCallsCard)
    : m_readerName(card.name),
      m_cardExpected(true),
      m_expectedCounter(card.counter),
      m_isStillTheCallsCard(std::move(isStillTheCallsCard))
{
}

SCardAuthCert::~SCardAuthCert() = default;

void SCardAuthCert::SubmitSCardCertToWinINet(HINTERNET request, const char* pin)
{
    try {
        CreateSCardContext();
        Trace("SCardAuth:%s: executing for reader: \"%S\"...", kSubmit, m_readerName.c_str());
        const SCARD_READERSTATEW state = ReadExpectedCardState();
        // The record of the process's session follows the card that is actually presented.
        if (m_cardExpected)
            SCardAuthCardSession::Process().Authenticate(SCardAuthReader{m_readerName, m_expectedCounter});
        if (!(state.dwEventState & SCARD_STATE_PRESENT)) {
            Trace("SCardAuth:%s: no card present in reader: \"%S\" => return", kSubmit, m_readerName.c_str());
            DestroySCardContext();
            return;
        }

        LPWSTR cards = nullptr;
        DWORD length = SCARD_AUTOALLOCATE;
        LONG result = SCardListCardsW(m_hSCardContext, state.rgbAtr, nullptr, 0, reinterpret_cast<LPWSTR>(&cards), &length);
        if (result != SCARD_S_SUCCESS)
            ThrowSCard(kSubmit, "SCardListCards", result);
        m_cardName = cards ? cards : L"";
        Trace("SCardAuth:%s: retrieved smart card name: \"%S\"", kSubmit, m_cardName.c_str());
        FreeSCardMemory(m_hSCardContext, cards);

        LPWSTR csp = nullptr;
        length = SCARD_AUTOALLOCATE;
        result = SCardGetCardTypeProviderNameW(m_hSCardContext, m_cardName.c_str(), SCARD_PROVIDER_CSP,
                                               reinterpret_cast<LPWSTR>(&csp), &length);
        if (result != SCARD_S_SUCCESS)
            ThrowSCard(kSubmit, "SCardGetCardTypeProviderName", result);
        m_cspName = csp ? csp : L"";
        Trace("SCardAuth:%s: retrieved smart card CSP name: \"%S\"", kSubmit, m_cspName.c_str());
        FreeSCardMemory(m_hSCardContext, csp);

        m_containerName = L"\\\\.\\" + m_readerName + L"\\";
        AcquireCryptContext();
        // The provider took whatever card the reader held when it was asked: the PIN goes in
        // only if that is still the call's card.
        ReadExpectedCardState();
        SubmitPin(pin);
        RetrieveCertExchangeKey();
        AttachCertificate(request);
    } catch (const std::exception& e) {
        Trace("SCardAuth:%s: failed with exception: %s", kSubmit, e.what());
        ReleaseAll();
        throw;
    }
    ReleaseAll();
}

SCARD_READERSTATEW SCardAuthCert::ReadExpectedCardState()
{
    SCARD_READERSTATEW state = {};
    state.szReader = m_readerName.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    const LONG result = SCardGetStatusChangeW(m_hSCardContext, 0, &state, 1);
    if (result != SCARD_S_SUCCESS)
        ThrowSCard(kSubmit, "SCardGetStatusChange", result);
    if (m_cardExpected &&
        (!SCardAuthCardSession::IsSameCard(SCardAuthReader{m_readerName, m_expectedCounter}, state.dwEventState) ||
         (m_isStillTheCallsCard && !m_isStillTheCallsCard()))) {
        Trace("SCardAuth:%s: the card in reader \"%S\" is not the card the request began with => nothing submitted "
              "(SCARD_W_REMOVED_CARD)",
              kSubmit, m_readerName.c_str());
        throw tsmb::Win32Error(static_cast<DWORD>(SCARD_W_REMOVED_CARD));
    }
    return state;
}

bool SCardAuthCert::UsesKeyStorageProvider() const
{
    return !tsmb::IsWindows5Workstation() && m_cspName == kBaseSmartCardCsp;
}

void SCardAuthCert::SubmitPin(const char* pin)
{
    if (pin == nullptr) {
        Trace("SCardAuth:%s: PIN not available => PIN not submitted to CSP", kSubmit);
        return;
    }
    if (UsesKeyStorageProvider()) {
        Trace("SCardAuth:%s: Vista/Win7 and Microsoft Base Smart Card Crypto Provider => use CNG and Microsoft Smart Card "
              "Key Storage Provider",
              kSubmit);
        if (!SCardAuthKeyStorage::Process().IsLinked()) {
            Trace("SCardAuth:%s: failed to explicitly link required CNG NCrypt functions => PIN not submitted to CSP",
                  kSubmit);
            return;
        }
        SubmitPinThroughNCrypt(pin);
        return;
    }
    if (!CryptSetProvParam(m_hCryptProv, PP_KEYEXCHANGE_PIN, reinterpret_cast<const BYTE*>(pin), 0))
        ThrowLastError(kSubmit, "CryptSetProvParam");
    Trace("SCardAuth:%s:CryptSetProvParam: succeeded to submit PIN for exchange key (PP_KEYEXCHANGE_PIN)", kSubmit);
}

void SCardAuthCert::SubmitPinThroughNCrypt(const char* pin)
{
    try {
        SCardAuthKeyStorage::Process().OpenProvider();
        OpenNCryptExchangeKey();
        ReadExpectedCardState();  // the key is the card's the reader held when it was opened
        if (strnlen(pin, kMaxPinBytes) == 0) {
            Trace("SCardAuth:%s: empty PIN => nothing to do (do not submit PIN through NCryptSetProperty)", kSubmit);
            return;
        }
        std::vector<wchar_t> wide = tsmb::Utils::ANSIToUnicodeZ(pin, kMaxPinBytes);
        const SECURITY_STATUS status =
            SCardAuthKeyStorage::Process().SetProperty(m_hNCryptExchangeKey, kPinProperty, reinterpret_cast<BYTE*>(wide.data()),
                                                       static_cast<DWORD>(wide.size() * sizeof(wchar_t)));
        SecureZeroMemory(wide.data(), wide.size() * sizeof(wchar_t));
        if (status != ERROR_SUCCESS) {
            Trace("SCardAuth:%s:NCryptSetProperty: failed with security status: %ld", kSubmit, static_cast<long>(status));
            throw tsmb::Win32Error(static_cast<DWORD>(status));
        }
        Trace("SCardAuth:%s:NCryptSetProperty: succeeded to submit PIN for exchange key (AT_KEYEXCHANGE)", kSubmit);
    } catch (const std::exception& e) {
        Trace("SCardAuth:%s: failed with exception: %s", kSubmit, e.what());
        throw;
    }
}

void SCardAuthCert::AttachCertificate(HINTERNET request)
{
    DWORD length = 0;
    if (!CryptGetKeyParam(m_hCertExchangeKey, KP_CERTIFICATE, nullptr, &length, 0) && GetLastError() != ERROR_MORE_DATA)
        ThrowLastError(kSubmit, "CryptGetKeyParam");
    if (length == 0) {
        Trace("SCardAuth:%s:CryptGetKeyParam: failed to retrieve certificate (empty)", kSubmit);
        throw tsmb::Win32Error(ERROR_INTERNAL_ERROR);
    }
    std::vector<BYTE> certificate(length, 0);
    if (!CryptGetKeyParam(m_hCertExchangeKey, KP_CERTIFICATE, certificate.data(), &length, 0))
        ThrowLastError(kSubmit, "CryptGetKeyParam");
    Trace("SCardAuth:%s: succeeded to retrieve certificate...", kSubmit);

    PCCERT_CONTEXT context = CertCreateCertificateContext(X509_ASN_ENCODING, certificate.data(), length);
    if (!context)
        ThrowLastError(kSubmit, "CertCreateCertificateContext");
    CRYPT_KEY_PROV_INFO info = {};
    info.pwszContainerName = const_cast<wchar_t*>(m_containerName.c_str());
    info.dwKeySpec = AT_KEYEXCHANGE;
    if (UsesKeyStorageProvider()) {
        Trace("SCardAuth:%s: Vista/Win7 and Microsoft Base Smart Card Crypto Provider => specify Microsoft Smart Card Key "
              "Storage Provider to CERT_KEY_PROV_INFO structure",
              kSubmit);
        info.pwszProvName = const_cast<wchar_t*>(kKeyStorageProvider);
        info.dwProvType = 0;
    } else {
        info.pwszProvName = const_cast<wchar_t*>(m_cspName.c_str());
        info.dwProvType = PROV_RSA_FULL;
    }
    if (!CertSetCertificateContextProperty(context, CERT_KEY_PROV_INFO_PROP_ID, 0, &info)) {
        const DWORD code = GetLastError();
        CertFreeCertificateContext(context);
        Trace("SCardAuth:%s:CertSetCertificateContextProperty: failed with last error: %ld", kSubmit, code);
        throw tsmb::Win32Error(code);
    }
    if (!InternetSetOptionW(request, INTERNET_OPTION_CLIENT_CERT_CONTEXT, const_cast<CERT_CONTEXT*>(context),
                            sizeof(CERT_CONTEXT))) {
        const DWORD code = GetLastError();
        CertFreeCertificateContext(context);
        Trace("SCardAuth:%s:InternetSetOption: failed with last error: %ld", kSubmit, code);
        throw tsmb::Win32Error(code);
    }
    CertFreeCertificateContext(context);
}

void SCardAuthCert::ReleaseAll()
{
    DestroyCertExchangeKey();
    ReleaseCryptContext();
    DestroySCardContext();
    if (SCardAuthKeyStorage::Process().IsLinked())
        CloseNCryptExchangeKey();
}

void SCardAuthCert::CreateSCardContext()
{
    static const char kName[] = "SCardAuthCert::CreateSCardContext";
    Trace("SCardAuth:%s: executing...", kName);
    const LONG result = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &m_hSCardContext);
    if (result != SCARD_S_SUCCESS) {
        m_hSCardContext = 0;
        ThrowSCard(kName, "SCardEstablishContext", result);
    }
}

void SCardAuthCert::DestroySCardContext()
{
    static const char kName[] = "SCardAuthCert::DestroySCardContext";
    if (m_hSCardContext == 0)
        return;
    Trace("SCardAuth:%s: executing...", kName);
    const LONG result = SCardReleaseContext(m_hSCardContext);
    if (result != SCARD_S_SUCCESS)
        Trace("SCardAuth:%s:SCardReleaseContext: failed with SCard error: 0x%08X => ignore", kName,
              static_cast<DWORD>(result));
    m_hSCardContext = 0;
}

void SCardAuthCert::AcquireCryptContext()
{
    static const char kName[] = "SCardAuthCert::AcquireCryptContext";
    Trace("SCardAuth:%s: executing for CSP: \"%S\" and container: \"%S\"...", kName, m_cspName.c_str(),
          m_containerName.c_str());
    if (!CryptAcquireContextW(&m_hCryptProv, m_containerName.c_str(), m_cspName.c_str(), PROV_RSA_FULL, 0)) {
        m_hCryptProv = 0;
        ThrowLastError(kName, "CryptAcquireContext");
    }
}

void SCardAuthCert::ReleaseCryptContext()
{
    static const char kName[] = "SCardAuthCert::ReleaseCryptContext";
    if (m_hCryptProv == 0)
        return;
    Trace("SCardAuth:%s: executing...", kName);
    if (!CryptReleaseContext(m_hCryptProv, 0))
        Trace("SCardAuth:%s:CryptReleaseContext: failed with last error: %ld", kName, GetLastError());
    m_hCryptProv = 0;
}

void SCardAuthCert::RetrieveCertExchangeKey()
{
    static const char kName[] = "SCardAuthCert::RetrieveCertExchangeKey";
    if (!CryptGetUserKey(m_hCryptProv, AT_KEYEXCHANGE, &m_hCertExchangeKey)) {
        m_hCertExchangeKey = 0;
        ThrowLastError(kName, "CryptGetUserKey");
    }
}

void SCardAuthCert::DestroyCertExchangeKey()
{
    static const char kName[] = "SCardAuthCert::DestroyCertExchangeKey";
    if (m_hCertExchangeKey == 0)
        return;
    if (!CryptDestroyKey(m_hCertExchangeKey))
        Trace("SCardAuth:%s:CryptDestroyKey: failed with last error: %ld", kName, GetLastError());
    m_hCertExchangeKey = 0;
}

void SCardAuthCert::OpenNCryptExchangeKey()
{
    static const char kName[] = "SCardAuthCert::OpenNCryptExchangeKey";
    Trace("SCardAuth:%s: executing...", kName);
    if (!SCardAuthKeyStorage::Process().IsLinked()) {
        Trace("SCardAuth:%s: failed to explicitly link required CNG NCrypt functions => NCryptOpenKey not called", kName);
        return;
    }
    const SECURITY_STATUS status = SCardAuthKeyStorage::Process().OpenKey(&m_hNCryptExchangeKey, m_containerName.c_str());
    if (status != ERROR_SUCCESS) {
        m_hNCryptExchangeKey = 0;
        Trace("SCardAuth:%s:NCryptOpenKey: failed with security status: %ld for key/container name: \"%S\"", kName,
              static_cast<long>(status), m_containerName.c_str());
        throw tsmb::Win32Error(static_cast<DWORD>(status));
    }
    Trace("SCardAuth:%s:NCryptOpenKey: succeeded for key/container name: \"%S\"", kName, m_containerName.c_str());
}

void SCardAuthCert::CloseNCryptExchangeKey()
{
    static const char kName[] = "SCardAuthCert::CloseNCryptExchangeKey";
    Trace("SCardAuth:%s: executing...", kName);
    if (!SCardAuthKeyStorage::Process().IsLinked()) {
        Trace("SCardAuth:%s: failed to explicitly link required CNG NCrypt functions => NCryptFreeObject not called", kName);
        return;
    }
    if (m_hNCryptExchangeKey == 0)
        return;
    const SECURITY_STATUS status = SCardAuthKeyStorage::Process().FreeObject(m_hNCryptExchangeKey);
    if (status != ERROR_SUCCESS)
        Trace("SCardAuth:%s:NCryptFreeObject: failed with security status: %ld", kName, static_cast<long>(status));
    m_hNCryptExchangeKey = 0;
}

bool SCardAuthCert::IsNCryptLinked() { return SCardAuthKeyStorage::Process().IsLinked(); }
