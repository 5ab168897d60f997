#pragma once
// The client certificate of the card in one reader, attached to WinINet requests, with the
// page's PIN handed to the card's key provider first (through its CSP, or through the CNG
// smart-card key storage provider where the generic base smart-card CSP serves the card).
// Every call into the card's provider or the smart-card service may be a round trip to the
// card, so what the card gives is asked once per card and kept for that card only: a context of
// the service for the status queries, the card's type and provider, the provider's context (and
// CNG key), the PIN the card holds, and the certificate with its key-provider record. The
// control keeps one object for its active card and drops it once that card is not its active
// card any more; the checks that the card is still the call's are made at every use.
// Threads: the page thread only.
#include <windows.h>
#include <wincrypt.h>
#include <wininet.h>
#include <winscard.h>
#include <ncrypt.h>

#include <functional>
#include <string>

#include "CardHandles.h"
#include "SCardAuthCardSession.h"

class SCardAuthCert {
public:
    // For one submission to whatever card the reader holds (no card: nothing attached).
    explicit SCardAuthCert(const std::wstring& readerName);
    // For the card in its reader (reader and insertion/removal counter): at every use the card
    // must still be this one when its state is read, and isStillTheCallsCard (the control's
    // view: the same card in the same watch) must say so, or nothing is submitted and
    // SCARD_W_REMOVED_CARD is thrown: a retry never hands the page's PIN to the next person's
    // card. Once it is, it becomes the card of the process's WinINet session.
    SCardAuthCert(const SCardAuthReader& card, std::function<bool()> isStillTheCallsCard);
    // Releases the card's handles (the key, the provider's context, the CNG key, the service's
    // context); the shared CNG provider stays open.
    virtual ~SCardAuthCert();
    SCardAuthCert(const SCardAuthCert&) = delete;
    SCardAuthCert& operator=(const SCardAuthCert&) = delete;

    // pin: NUL-terminated, system ANSI code page, or nullptr. pinGeneration: which of the
    // page's PINs it is (0: none), so that the card is handed each PIN once; a PIN the card
    // already holds may come as nullptr. Throws tsmb::Win32Error with the failing call's
    // status (and forgets what the provider gave, so that the next submission asks again);
    // returns without effect when the reader holds no card (unless a card is expected).
    void SubmitSCardCertToWinINet(HINTERNET request, const char* pin, ULONG pinGeneration = 0);
    // Whether the card holds the PIN of that generation (handed over with this object's
    // provider context, which still holds it).
    bool HoldsPin(ULONG pinGeneration) const;
    // Whether the card is still in its reader, asked of the service now, on the context kept
    // for it; false when the service cannot tell.
    bool IsStillInItsReader();
    // Whether the process's CNG functions are there (SCardAuthKeyStorage).
    static bool IsNCryptLinked();

private:
    void CreateSCardContext();
    // The provider's context of the card, and the check that it holds the call's card.
    void AcquireProvider(const SCARD_READERSTATEW& state);
    void AcquireCryptContext();
    // What the provider gave goes: the next submission acquires, hands the PIN and reads the
    // certificate again.
    void ForgetProvider();
    // The reader's state now, on the context kept for the card (made when missing); throws
    // tsmb::Win32Error with the service's code, traced under function's name.
    SCARD_READERSTATEW ReadReaderState(const char* function);
    // The reader's state now; throws SCARD_W_REMOVED_CARD when a card was expected and the
    // reader holds another one, or none.
    SCARD_READERSTATEW ReadExpectedCardState();
    // The card type of the card's ATR and the provider registered for it.
    void RetrieveCardAndCspNames(const SCARD_READERSTATEW& state);
    void RetrieveCertExchangeKey();
    void OpenNCryptExchangeKey();
    void SubmitPin(const char* pin, ULONG pinGeneration);
    void SubmitPinThroughNCrypt(const char* pin);
    // The certificate of the card's exchange key, with its key-provider record.
    void ReadCertificate();
    void AttachCertificate(HINTERNET request);
    bool UsesKeyStorageProvider() const;

    std::wstring m_readerName;
    bool m_cardExpected = false;
    DWORD m_expectedCounter = 0;
    std::function<bool()> m_isStillTheCallsCard;
    std::wstring m_cardName;
    std::wstring m_cspName;
    std::wstring m_containerName;
    // The PIN of that generation went to the card through the provider's context below.
    bool m_pinHeld = false;
    ULONG m_pinGeneration = 0;
    // Released in the reverse order: the certificate, the key, its provider, the card context,
    // the CNG key.
    NCryptHandle m_nCryptExchangeKey;
    CardContext m_cardContext;
    CryptProvider m_cryptProvider;
    CryptKey m_certExchangeKey;
    CertContext m_certificate;
};
