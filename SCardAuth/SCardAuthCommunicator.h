#pragma once
// One HTTP(S) exchange on the page's behalf, authenticated by the certificate of the card in
// the active reader with the page's PIN: WinINet session, connection and request, the retry
// policy, and the status of the whole exchange as one unsigned code.
#include <windows.h>
#include <wininet.h>

#include <memory>
#include <string>

#include "SCardAuthState.h"
#include "SecretStore.h"

class CKeyvoraCtl;

// Not a 200: this plus the HTTP status.
const DWORD kHttpStatusErrorBase = 0x20007918;

class SCardAuthCommunicator {
public:
    // reader: the active reader (and its card) when the request began. pin: the page's PIN, or
    // nullptr for none. ctl: the control (its TLS flag and the hand-off).
    SCardAuthCommunicator(const SCardAuthReader& reader, const wchar_t* pin, CKeyvoraCtl* ctl, bool submitCertBeforeSend);
    virtual ~SCardAuthCommunicator();
    SCardAuthCommunicator(const SCardAuthCommunicator&) = delete;
    SCardAuthCommunicator& operator=(const SCardAuthCommunicator&) = delete;

    // 0 or the exchange's failure code; never throws for failures of the exchange.
    virtual DWORD ReadHttpDataFromURL(const std::wstring& url, const std::wstring& defaultPage, const std::string& body,
                                      const std::wstring& verb, std::string& result);
    // Throws tsmb::Win32Error(ERROR_INTERNET_INVALID_URL) for a port that is not 1 to 65535.
    void ParseURLW(const std::wstring& url, std::wstring& server, std::wstring& page, DWORD& port, bool& secure);
    // Throws tsmb::Win32Error with the exchange's failure code.
    virtual std::string ReadHttpData(const std::wstring& server, const std::wstring& page, DWORD port, bool secure,
                                     const std::string& body, const std::wstring& verb);
    bool SendHttpRequest(HINTERNET request, bool& retry, const std::string& body, DWORD& error);
    bool ReadHttpResponseBody(HINTERNET request, std::string& body, DWORD& error);
    // The server the site lock refused (nothing was sent to it); empty when none was.
    const std::wstring& RefusedOrigin() const { return m_refusedOrigin; }

private:
    void SubmitCertificate(HINTERNET request);
    // Records the call's reader for the shell, if its card is still there before and after.
    void HandOff();

    // The card the call began with: the only one it authenticates with and records.
    SCardAuthReader m_card;
    // GetTickCount64 after which no attempt starts and no piece of a body is read (0: none).
    ULONGLONG m_deadline = 0;
    std::unique_ptr<SecretKeeper> m_pinKeeper;
    bool m_pinPresent = false;
    CKeyvoraCtl* m_ctl;
    bool m_submitCertBeforeSend;
    std::wstring m_refusedOrigin;
};
