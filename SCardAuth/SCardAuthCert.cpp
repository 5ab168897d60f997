#include "SCardAuthCert.h"

#include <algorithm>
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
const size_t kCertificateBuffer = 4096;

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

// The first text of a list the service writes into the caller's buffer: one call when it fits
// (a card type's and a provider's names do), else a second with the length it asked for. call
// takes the buffer and its length in characters.
template <class Call>
std::wstring FirstServiceText(const char* name, Call call)
{
    std::vector<wchar_t> text(256, L'\0');
    DWORD length = static_cast<DWORD>(text.size());
    LONG result = call(text.data(), &length);
    if (result == SCARD_E_INSUFFICIENT_BUFFER) {
        text.assign(length, L'\0');
        result = call(text.data(), &length);
    }
    if (result != SCARD_S_SUCCESS)
        ThrowSCard(kSubmit, name, result);
    return std::wstring(text.data(), wcsnlen(text.data(), std::min<size_t>(length, text.size())));
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

SCardAuthCert::~SCardAuthCert()
{
    if (m_cardContext || m_cryptProvider)
        Trace("SCardAuth:%s: releasing what the card in reader \"%S\" gave (its provider's context, the service's "
              "context)",
              "SCardAuthCert::~SCardAuthCert", m_readerName.c_str());
}

void SCardAuthCert::SubmitSCardCertToWinINet(HINTERNET request, const char* pin, ULONG pinGeneration)
{
    try {
        if (!m_cardContext)
            CreateSCardContext();
        Trace("SCardAuth:%s: executing for reader: \"%S\"...", kSubmit, m_readerName.c_str());
        // Before anything reaches the card, at every attempt.
        const SCARD_READERSTATEW state = ReadExpectedCardState();
        // The record of the process's session follows the card that is actually presented.
        if (m_cardExpected)
            SCardAuthCardSession::Process().Authenticate(SCardAuthReader{m_readerName, m_expectedCounter});
        if (!(state.dwEventState & SCARD_STATE_PRESENT)) {
            Trace("SCardAuth:%s: no card present in reader: \"%S\" => return", kSubmit, m_readerName.c_str());
            return;
        }
        // A card that holds an earlier PIN of the page, which has none now, keeps nothing of it.
        if (m_pinHeld && pinGeneration == 0)
            ForgetProvider();
        if (m_cryptProvider)
            Trace("SCardAuth:%s: the provider's context of this card is held already => not acquired again", kSubmit);
        else
            AcquireProvider(state);
        SubmitPin(pin, pinGeneration);
        if (!m_certificate)
            ReadCertificate();
        AttachCertificate(request);
    } catch (const std::exception& e) {
        Trace("SCardAuth:%s: failed with exception: %s", kSubmit, e.what());
        ForgetProvider();
        throw;
    }
}

void SCardAuthCert::AcquireProvider(const SCARD_READERSTATEW& state)
{
    if (m_cspName.empty())
        RetrieveCardAndCspNames(state);
    m_containerName = L"\\\\.\\" + m_readerName + L"\\";
    AcquireCryptContext();
    // The provider took whatever card the reader held when it was asked: the PIN goes in only
    // if that is still the call's card.
    ReadExpectedCardState();
}

void SCardAuthCert::ForgetProvider()
{
    m_certificate.Close();
    m_certExchangeKey.Close();
    m_cryptProvider.Close();
    m_nCryptExchangeKey.Close();
    m_pinHeld = false;
    m_pinGeneration = 0;
}

bool SCardAuthCert::HoldsPin(ULONG pinGeneration) const
{
    return pinGeneration != 0 && m_pinHeld && m_pinGeneration == pinGeneration && m_cryptProvider;
}

bool SCardAuthCert::IsStillInItsReader()
{
    try {
        const SCARD_READERSTATEW state = ReadReaderState("SCardAuthCert::IsStillInItsReader");
        return SCardAuthCardSession::IsSameCard(SCardAuthReader{m_readerName, m_expectedCounter}, state.dwEventState);
    } catch (const std::exception&) {
        return false;  // traced where it failed
    }
}

SCARD_READERSTATEW SCardAuthCert::ReadReaderState(const char* function)
{
    if (!m_cardContext)
        CreateSCardContext();
    SCARD_READERSTATEW state = {};
    state.szReader = m_readerName.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    const LONG result = SCardGetStatusChangeW(m_cardContext.Get(), 0, &state, 1);
    if (result != SCARD_S_SUCCESS)
        ThrowSCard(function, "SCardGetStatusChange", result);
    return state;
}

void SCardAuthCert::RetrieveCardAndCspNames(const SCARD_READERSTATEW& state)
{
    const SCARDCONTEXT context = m_cardContext.Get();
    m_cardName = FirstServiceText("SCardListCards", [&](wchar_t* text, DWORD* length) {
        return SCardListCardsW(context, state.rgbAtr, nullptr, 0, text, length);
    });
    Trace("SCardAuth:%s: retrieved smart card name: \"%S\"", kSubmit, m_cardName.c_str());
    m_cspName = FirstServiceText("SCardGetCardTypeProviderName", [&](wchar_t* text, DWORD* length) {
        return SCardGetCardTypeProviderNameW(context, m_cardName.c_str(), SCARD_PROVIDER_CSP, text, length);
    });
    Trace("SCardAuth:%s: retrieved smart card CSP name: \"%S\"", kSubmit, m_cspName.c_str());
}

SCARD_READERSTATEW SCardAuthCert::ReadExpectedCardState()
{
    const SCARD_READERSTATEW state = ReadReaderState(kSubmit);
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

void SCardAuthCert::SubmitPin(const char* pin, ULONG pinGeneration)
{
    if (HoldsPin(pinGeneration)) {
        Trace("SCardAuth:%s: the card holds this PIN already (handed to it with this provider's context) => not "
              "submitted again",
              kSubmit);
        return;
    }
    // The page's PIN came without its text because the card held it: a context that no longer
    // holds it must not serve the page's request without it.
    if (pin == nullptr && pinGeneration != 0) {
        Trace("SCardAuth:%s: the card does not hold the page's PIN any more => nothing submitted", kSubmit);
        throw tsmb::Win32Error(static_cast<DWORD>(SCARD_W_CARD_NOT_AUTHENTICATED));
    }
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
    } else {
        if (!CryptSetProvParam(m_cryptProvider.Get(), PP_KEYEXCHANGE_PIN, reinterpret_cast<const BYTE*>(pin), 0))
            ThrowLastError(kSubmit, "CryptSetProvParam");
        Trace("SCardAuth:%s:CryptSetProvParam: succeeded to submit PIN for exchange key (PP_KEYEXCHANGE_PIN)", kSubmit);
    }
    m_pinHeld = pinGeneration != 0;
    m_pinGeneration = pinGeneration;
}

void SCardAuthCert::SubmitPinThroughNCrypt(const char* pin)
{
    try {
        if (!m_nCryptExchangeKey) {
            SCardAuthKeyStorage::Process().OpenProvider();
            OpenNCryptExchangeKey();
            ReadExpectedCardState();  // the key is the card's the reader held when it was opened
        }
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

void SCardAuthCert::ReadCertificate()
{
    RetrieveCertExchangeKey();
    // One read into a buffer that holds a card's certificate; a longer one is read again whole.
    std::vector<BYTE> certificate(kCertificateBuffer, 0);
    DWORD length = static_cast<DWORD>(certificate.size());
    if (!CryptGetKeyParam(m_certExchangeKey.Get(), KP_CERTIFICATE, certificate.data(), &length, 0)) {
        if (GetLastError() != ERROR_MORE_DATA)
            ThrowLastError(kSubmit, "CryptGetKeyParam");
        certificate.assign(length, 0);
        if (!CryptGetKeyParam(m_certExchangeKey.Get(), KP_CERTIFICATE, certificate.data(), &length, 0))
            ThrowLastError(kSubmit, "CryptGetKeyParam");
    }
    if (length == 0) {
        Trace("SCardAuth:%s:CryptGetKeyParam: failed to retrieve certificate (empty)", kSubmit);
        throw tsmb::Win32Error(ERROR_INTERNAL_ERROR);
    }
    Trace("SCardAuth:%s: succeeded to retrieve certificate...", kSubmit);

    CertContext context(CertCreateCertificateContext(X509_ASN_ENCODING, certificate.data(), length));
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
    // The context keeps its own copy of the record.
    if (!CertSetCertificateContextProperty(context.Get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info))
        ThrowLastError(kSubmit, "CertSetCertificateContextProperty");
    m_certificate = std::move(context);
}

void SCardAuthCert::AttachCertificate(HINTERNET request)
{
    // WinINet keeps its own reference to the context.
    if (!InternetSetOptionW(request, INTERNET_OPTION_CLIENT_CERT_CONTEXT, const_cast<CERT_CONTEXT*>(m_certificate.Get()),
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
