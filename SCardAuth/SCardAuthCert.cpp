#include "SCardAuthCert.h"

#include <vector>

#include "RegistryKey.h"
#include "SCardMonitoringThread.h"
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
void FreeSCardMemory(scardm::SCardMemory& block)
{
    if (!block.Close())
        Trace("SCardAuth:%s:SCardFreeMemory: failed with SCard error: 0x%08X", kSubmit, GetLastError());
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
            return;
        }

        RetrieveCardAndCspNames(state);
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
        throw;
    }
}

void SCardAuthCert::RetrieveCardAndCspNames(const SCARD_READERSTATEW& state)
{
    scardm::SCardMemory cards;
    DWORD length = SCARD_AUTOALLOCATE;
    LONG result = SCardListCardsW(m_cardContext.Get(), state.rgbAtr, nullptr, 0,
                                  scardm::AutoAllocated(cards, m_cardContext.Get()), &length);
    if (result != SCARD_S_SUCCESS) {
        cards.Release();
        ThrowSCard(kSubmit, "SCardListCards", result);
    }
    m_cardName = cards.Get().block ? static_cast<const wchar_t*>(cards.Get().block) : L"";
    Trace("SCardAuth:%s: retrieved smart card name: \"%S\"", kSubmit, m_cardName.c_str());
    FreeSCardMemory(cards);

    scardm::SCardMemory csp;
    length = SCARD_AUTOALLOCATE;
    result = SCardGetCardTypeProviderNameW(m_cardContext.Get(), m_cardName.c_str(), SCARD_PROVIDER_CSP,
                                           scardm::AutoAllocated(csp, m_cardContext.Get()), &length);
    if (result != SCARD_S_SUCCESS) {
        csp.Release();
        ThrowSCard(kSubmit, "SCardGetCardTypeProviderName", result);
    }
    m_cspName = csp.Get().block ? static_cast<const wchar_t*>(csp.Get().block) : L"";
    Trace("SCardAuth:%s: retrieved smart card CSP name: \"%S\"", kSubmit, m_cspName.c_str());
    FreeSCardMemory(csp);
}

SCARD_READERSTATEW SCardAuthCert::ReadExpectedCardState()
{
    SCARD_READERSTATEW state = {};
    state.szReader = m_readerName.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    const LONG result = SCardGetStatusChangeW(m_cardContext.Get(), 0, &state, 1);
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
    if (!CryptSetProvParam(m_cryptProvider.Get(), PP_KEYEXCHANGE_PIN, reinterpret_cast<const BYTE*>(pin), 0))
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
            SCardAuthKeyStorage::Process().SetProperty(m_nCryptExchangeKey.Get(), kPinProperty, reinterpret_cast<BYTE*>(wide.data()),
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
    if (!CryptGetKeyParam(m_certExchangeKey.Get(), KP_CERTIFICATE, nullptr, &length, 0) && GetLastError() != ERROR_MORE_DATA)
        ThrowLastError(kSubmit, "CryptGetKeyParam");
    if (length == 0) {
        Trace("SCardAuth:%s:CryptGetKeyParam: failed to retrieve certificate (empty)", kSubmit);
        throw tsmb::Win32Error(ERROR_INTERNAL_ERROR);
    }
    std::vector<BYTE> certificate(length, 0);
    if (!CryptGetKeyParam(m_certExchangeKey.Get(), KP_CERTIFICATE, certificate.data(), &length, 0))
        ThrowLastError(kSubmit, "CryptGetKeyParam");
    Trace("SCardAuth:%s: succeeded to retrieve certificate...", kSubmit);

    const CertContext context(CertCreateCertificateContext(X509_ASN_ENCODING, certificate.data(), length));
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
    if (!CertSetCertificateContextProperty(context.Get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info))
        ThrowLastError(kSubmit, "CertSetCertificateContextProperty");
    // WinINet keeps its own reference to the context.
    if (!InternetSetOptionW(request, INTERNET_OPTION_CLIENT_CERT_CONTEXT, const_cast<CERT_CONTEXT*>(context.Get()),
                            sizeof(CERT_CONTEXT)))
        ThrowLastError(kSubmit, "InternetSetOption");
}

void SCardAuthCert::CreateSCardContext()
{
    static const char kName[] = "SCardAuthCert::CreateSCardContext";
    Trace("SCardAuth:%s: executing...", kName);
    const LONG result = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, m_cardContext.Put());
    if (result != SCARD_S_SUCCESS) {
        m_cardContext.Release();
        ThrowSCard(kName, "SCardEstablishContext", result);
    }
}

void SCardAuthCert::AcquireCryptContext()
{
    static const char kName[] = "SCardAuthCert::AcquireCryptContext";
    Trace("SCardAuth:%s: executing for CSP: \"%S\" and container: \"%S\"...", kName, m_cspName.c_str(),
          m_containerName.c_str());
    if (!CryptAcquireContextW(m_cryptProvider.Put(), m_containerName.c_str(), m_cspName.c_str(), PROV_RSA_FULL, 0)) {
        m_cryptProvider.Release();
        ThrowLastError(kName, "CryptAcquireContext");
    }
}

void SCardAuthCert::RetrieveCertExchangeKey()
{
    static const char kName[] = "SCardAuthCert::RetrieveCertExchangeKey";
    if (!CryptGetUserKey(m_cryptProvider.Get(), AT_KEYEXCHANGE, m_certExchangeKey.Put())) {
        m_certExchangeKey.Release();
        ThrowLastError(kName, "CryptGetUserKey");
    }
}

void SCardAuthCert::OpenNCryptExchangeKey()
{
    static const char kName[] = "SCardAuthCert::OpenNCryptExchangeKey";
    Trace("SCardAuth:%s: executing...", kName);
    if (!SCardAuthKeyStorage::Process().IsLinked()) {
        Trace("SCardAuth:%s: failed to explicitly link required CNG NCrypt functions => NCryptOpenKey not called", kName);
        return;
    }
    NCRYPT_KEY_HANDLE key = 0;
    const SECURITY_STATUS status = SCardAuthKeyStorage::Process().OpenKey(&key, m_containerName.c_str());
    if (status == ERROR_SUCCESS)
        m_nCryptExchangeKey = NCryptHandle(key);
    if (status != ERROR_SUCCESS) {
        Trace("SCardAuth:%s:NCryptOpenKey: failed with security status: %ld for key/container name: \"%S\"", kName,
              static_cast<long>(status), m_containerName.c_str());
        throw tsmb::Win32Error(static_cast<DWORD>(status));
    }
    Trace("SCardAuth:%s:NCryptOpenKey: succeeded for key/container name: \"%S\"", kName, m_containerName.c_str());
}

bool SCardAuthCert::IsNCryptLinked() { return SCardAuthKeyStorage::Process().IsLinked(); }
