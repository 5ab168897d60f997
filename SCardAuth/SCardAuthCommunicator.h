#pragma once
// One HTTP(S) exchange on the page's behalf, authenticated by the certificate of the card in
// the active reader with the page's PIN: WinINet session, connection and request, the attempts
// the policy allows within the call's bound, and the status of the whole exchange as one code.
#include <windows.h>
#include <wininet.h>

#include <memory>
#include <string>

#include "SCardAuthCardSession.h"
#include "SCardAuthExchangePolicy.h"
#include "SCardAuthExchangeHost.h"
#include "SecretStore.h"

class SCardAuthBoundedRequest;
class SCardAuthCert;

// Not a 200: this plus the HTTP status.
const DWORD kHttpStatusErrorBase = exchange::kHttpStatusErrorBase;

// RequestTimeoutSeconds under HKLM\SOFTWARE\Tessam\Orvane, as the control reads it when it is
// made (the next page takes a changed setting); never throws.
RequestTimeoutSetting ReadRequestTimeoutSetting();

class SCardAuthCommunicator {
public:
    // card: the active card when the request began. pin: the page's PIN, or nullptr for none or
    // one the card holds already. pinGeneration: which of the page's PINs it is (0: none).
    // certificate: what the control keeps of that card. host: the control that runs the call.
    SCardAuthCommunicator(const SCardAuthActiveCard& card, const wchar_t* pin, ULONG pinGeneration,
                          std::shared_ptr<SCardAuthCert> certificate, SCardAuthExchangeHost* host,
                          bool submitCertBeforeSend);
    virtual ~SCardAuthCommunicator();
    SCardAuthCommunicator(const SCardAuthCommunicator&) = delete;
    SCardAuthCommunicator& operator=(const SCardAuthCommunicator&) = delete;

    // 0 or the exchange's failure code; never throws for failures of the exchange.
    virtual DWORD ReadHttpDataFromURL(const std::wstring& url, const std::wstring& defaultPage, const std::string& body,
                                      const std::wstring& verb, std::string& result);
    // Throws tsmb::Win32Error with the exchange's failure code.
    virtual std::string ReadHttpData(const std::wstring& server, const std::wstring& page, DWORD port, bool secure,
                                     const std::string& body, const std::wstring& verb);
    // One send of the request (the certificate first, and again when the server asks for it).
    bool SendHttpRequest(SCardAuthBoundedRequest& request, const std::string& body, DWORD& error);
    // The whole body, or false with the error (a body cut off before its Content-Length too).
    bool ReadHttpResponseBody(SCardAuthBoundedRequest& request, const std::wstring& verb, std::string& body,
                              DWORD& error);
    // The server the site lock refused (nothing was sent to it); empty when none was.
    const std::wstring& RefusedOrigin() const { return m_refusedOrigin; }

private:
    // How one attempt ended: with the whole answer, or with an error and what may follow.
    struct Attempt {
        bool answered = false;
        DWORD error = 0;
        exchange::Retry retry = exchange::Retry::No;
    };

    DWORD Exchange(const std::wstring& server, const std::wstring& page, DWORD port, bool secure,
                   const std::string& body, const std::wstring& verb, std::string& output);
    DWORD RunAttempts(SCardAuthBoundedRequest& request, const std::string& body, const std::wstring& verb,
                      DWORD timeoutSeconds, std::string& output);
    Attempt AttemptOnce(SCardAuthBoundedRequest& request, const std::string& body, const std::wstring& verb,
                        std::string& output);
    Attempt ReadAnswer(SCardAuthBoundedRequest& request, DWORD status, const std::wstring& verb, std::string& output);
    // code: the failed call's error, or the HTTP status of an answer other than 200.
    Attempt AfterFailure(exchange::Failure where, DWORD code, const std::wstring& verb);
    bool CountFailure(exchange::RetryBudget& budget, DWORD error);
    void SubmitCertificate(HINTERNET request);
    // Whether the call's card is still the control's active card and in its reader.
    bool IsStillTheCallsCard() const;
    // Records the call's reader for the shell; false when its card left meanwhile (then the
    // value names it no more).
    bool HandOff();

    // The card the call began with: the only one it authenticates with, records, and answers
    // for.
    SCardAuthActiveCard m_card;
    std::unique_ptr<SecretKeeper> m_pinKeeper;
    bool m_pinPresent = false;
    ULONG m_pinGeneration;
    // The card's certificate, PIN state and the context its checks use; held for the call even
    // when the control drops it (the card left meanwhile: the checks then fail).
    std::shared_ptr<SCardAuthCert> m_certificate;
    SCardAuthExchangeHost* m_host;
    bool m_submitCertBeforeSend;
    bool m_locked = false;  // the site lock is on: no redirect is followed
    std::wstring m_refusedOrigin;
};
