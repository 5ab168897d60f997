#pragma once
// The client certificate of the card in one reader, attached to one WinINet request, with the
// page's PIN handed to the card's key provider first (through its CSP, or through the CNG
// smart-card key storage provider where the generic base smart-card CSP serves the card).
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
    explicit SCardAuthCert(const std::wstring& readerName);
    // For a request: the card must still be this one (reader and insertion/removal counter)
    // when its state is read, and isStillTheCallsCard (the control's view: the same card in the
    // same watch) must say so, or nothing is submitted and SCARD_W_REMOVED_CARD is thrown: a
    // retry never hands the page's PIN to the next person's card. Once it is, it becomes the
    // card of the process's WinINet session.
    SCardAuthCert(const SCardAuthReader& card, std::function<bool()> isStillTheCallsCard);
    virtual ~SCardAuthCert() = default;
    SCardAuthCert(const SCardAuthCert&) = delete;
    SCardAuthCert& operator=(const SCardAuthCert&) = delete;

    // pin: NUL-terminated, system ANSI code page, or nullptr. Throws tsmb::Win32Error with the
    // failing call's status; returns without effect when the reader holds no card (unless a
    // card is expected). The handles it takes are released when the object goes (one
    // submission each).
    void SubmitSCardCertToWinINet(HINTERNET request, const char* pin);

    // Whether the process's CNG functions are there (SCardAuthKeyStorage).
    static bool IsNCryptLinked();

private:
    void CreateSCardContext();
    void AcquireCryptContext();
    // The reader's state now; throws SCARD_W_REMOVED_CARD when a card was expected and the
    // reader holds another one, or none.
    SCARD_READERSTATEW ReadExpectedCardState();
    // The card type of the card's ATR and the provider registered for it.
    void RetrieveCardAndCspNames(const SCARD_READERSTATEW& state);
    void RetrieveCertExchangeKey();
    void OpenNCryptExchangeKey();
    void SubmitPin(const char* pin);
    void SubmitPinThroughNCrypt(const char* pin);
    void AttachCertificate(HINTERNET request);
    bool UsesKeyStorageProvider() const;

    std::wstring m_readerName;
    bool m_cardExpected = false;
    DWORD m_expectedCounter = 0;
    std::function<bool()> m_isStillTheCallsCard;
    std::wstring m_cardName;
    std::wstring m_cspName;
    std::wstring m_containerName;
    // Released in the reverse order: the key, its provider, the card context, the CNG key.
    NCryptHandle m_nCryptExchangeKey;
    CardContext m_cardContext;
    CryptProvider m_cryptProvider;
    CryptKey m_certExchangeKey;
};
