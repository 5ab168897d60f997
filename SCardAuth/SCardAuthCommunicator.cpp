#include "SCardAuthCommunicator.h"

#include <cwchar>
#include <new>
#include <vector>

#include "KeyvoraCtl.h"
#include "RegistryKey.h"
#include "SCardAuthCert.h"
#include "Trace.h"
#include "Win32Error.h"

namespace {

// Every request carries the card's certificate, and a connection that carried it must not serve
// a request after the card's session ended: WinINet pools connections for the whole process and
// END_BROWSER_SESSION leaves the pool alone. So no request keeps its connection: no keep-alive
// flag (with it WinINet asks for keep-alive whatever the headers say), and "Connection: close",
// which obliges the server to close the connection once it answered.
const wchar_t kRequestHeaders[] = L"Content-Type: application/x-www-form-urlencoded\r\nConnection: close\r\n";
const DWORD_PTR kContext = 0x29111999;
const DWORD kRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE;
const DWORD kReadPiece = 4096;
const DWORD kRetryPauseMs = 100;
const int kMaxAttempts = 10;     // the 11th failed attempt is the last
const int kMaxSameErrors = 5;    // the 6th consecutive same error is the last
const size_t kMaxPinChars = 65537;
const DWORD kPinSecretFlags = 0x10000;
const wchar_t kBlanks[] = L" \f\n\r\t\v";

// Each attempt's connect, send and receive time-out, unless the administrator set another.
const DWORD kDefaultTimeoutSeconds = 30;
const DWORD kMaxTimeoutSeconds = 600;

const char kReadFromUrl[] = "SCardAuthCommunicator::ReadHttpDataFromURL";
const char kParse[] = "SCardAuthCommunicator::ParseURLW";
const char kReadData[] = "SCardAuthCommunicator::ReadHttpData";
const char kSend[] = "SCardAuthCommunicator::SendHttpRequest";
const char kReadBody[] = "SCardAuthCommunicator::ReadHttpResponseBody";

// RequestTimeoutSeconds under HKLM\SOFTWARE\Tessam\Orvane: 1 to 600, anything else (or
// nothing) means the default.
DWORD RequestTimeoutSeconds()
{
    DWORD seconds = 0;
    try {
        RefPtr<tsmb::RegistryKey> key(new tsmb::RegistryKey(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tessam\\Orvane",
                                                             KEY_QUERY_VALUE | tsmb::GetRegistryViewFlag()));
        key->QueryDwordValue(L"RequestTimeoutSeconds", seconds);
    } catch (const std::exception&) {
        seconds = 0;
    }
    if (seconds >= 1 && seconds <= kMaxTimeoutSeconds) {
        Trace("SCardAuth:%s: request time-out: %lu s (RequestTimeoutSeconds)", kReadData, seconds);
        return seconds;
    }
    Trace("SCardAuth:%s: request time-out: %lu s (default)", kReadData, kDefaultTimeoutSeconds);
    return kDefaultTimeoutSeconds;
}

void SetTimeouts(HINTERNET handle, DWORD seconds)
{
    DWORD milliseconds = seconds * 1000;
    for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT})
        if (!InternetSetOptionW(handle, option, &milliseconds, sizeof(milliseconds)))
            Trace("SCardAuth:%s:InternetSetOption: failed for time-out option %lu with last error: %ld", kReadData, option,
                  GetLastError());
}

// The port text as a stream reads a signed long: blanks skipped, an optional sign, the digits.
// False when no number is there or it is not a port (1 to 65535).
bool ReadPort(const std::wstring& text, DWORD& port)
{
    size_t i = 0;
    while (i < text.size() && wcschr(kBlanks, text[i]) && text[i] != L'\0')
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-'))
        negative = text[i++] == L'-';
    unsigned long long value = 0;
    size_t digits = 0;
    for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i, ++digits) {
        value = value * 10 + static_cast<unsigned>(text[i] - L'0');
        if (value > 65535)
            return false;
    }
    if (digits == 0 || negative || value == 0)
        return false;
    port = static_cast<DWORD>(value);
    return true;
}

// The control's PIN (wide, up to its NUL) in the system ANSI code page with one NUL appended;
// the caller wipes it.
std::vector<char> AnsiPin(const wchar_t* pin)
{
    const size_t chars = wcsnlen(pin, kMaxPinChars);
    const int bytes =
        chars ? WideCharToMultiByte(CP_ACP, 0, pin, static_cast<int>(chars), nullptr, 0, nullptr, nullptr) : 0;
    std::vector<char> ansi(static_cast<size_t>(bytes) + 1, '\0');
    if (bytes > 0)
        WideCharToMultiByte(CP_ACP, 0, pin, static_cast<int>(chars), ansi.data(), bytes, nullptr, nullptr);
    return ansi;
}

// Closes the handles made so far and ends the browser session (its TLS state included).
void AbandonSession(HINTERNET connect, HINTERNET open)
{
    if (connect)
        InternetCloseHandle(connect);
    InternetCloseHandle(open);
    InternetSetOptionW(nullptr, INTERNET_OPTION_END_BROWSER_SESSION, nullptr, 0);
}

}  // namespace

SCardAuthCommunicator::SCardAuthCommunicator(const SCardAuthReader& reader, const wchar_t* pin, CKeyvoraCtl* ctl,
                                             bool submitCertBeforeSend)
    : m_card(reader), m_ctl(ctl), m_submitCertBeforeSend(submitCertBeforeSend)
{
    if (pin == nullptr)
        return;
    m_pinPresent = true;
    std::vector<char> ansi = AnsiPin(pin);
    // The keeper takes the bytes and zeroes them, also when it fails.
    try {
        m_pinKeeper.reset(new SecretKeeper(ansi.data(), static_cast<DWORD>(ansi.size()), kPinSecretFlags));
    } catch (...) {
        SecureZeroMemory(ansi.data(), ansi.size());
        throw;
    }
    SecureZeroMemory(ansi.data(), ansi.size());
}

SCardAuthCommunicator::~SCardAuthCommunicator() = default;

DWORD SCardAuthCommunicator::ReadHttpDataFromURL(const std::wstring& url, const std::wstring& defaultPage,
                                                 const std::string& body, const std::wstring& verb, std::string& result)
{
    Trace("SCardAuth:%s: executing...", kReadFromUrl);
    DWORD status = 0;
    result.clear();
    try {
        std::wstring server, page;
        DWORD port = 0;
        bool secure = false;
        ParseURLW(url, server, page, port, secure);
        // With the site lock on, the origin the connection will have must be listed: the
        // parse above is the one the connection uses, whatever else the text seems to say.
        const SiteLock& lock = m_ctl->AllowedSites();
        SiteOrigin origin;
        if (lock.IsOn() && !(MakeSiteOrigin(secure, server, port, origin) && lock.Allows(origin))) {
            m_refusedOrigin = origin.host.empty() ? std::wstring(secure ? L"https://" : L"http://") + server : origin.Text();
            Trace("SCardAuth:%s: site lock: AllowedSites does not list %S => nothing sent (E_ACCESSDENIED)", kReadFromUrl,
                  m_refusedOrigin.c_str());
            throw tsmb::Win32Error(static_cast<DWORD>(E_ACCESSDENIED));
        }
        if (page.empty())
            page = defaultPage;
        result = ReadHttpData(server, page, port, secure, body, verb);
        HandOff();
        Trace("SCardAuth:%s: succeeded", kReadFromUrl);
        return 0;
    } catch (const tsmb::Win32Error& e) {
        Trace("SCardAuth:%s: failed with exception: %s", kReadFromUrl, e.what());
        // A platform call that failed without a code (a card provider returning FALSE with no
        // last error) is still a failure: no empty success, no hand-off.
        status = e.GetErrorCode() != 0 ? e.GetErrorCode() : ERROR_INTERNAL_ERROR;
    } catch (const std::bad_alloc& e) {
        Trace("SCardAuth:%s: failed with exception: %s", kReadFromUrl, e.what());
        status = ERROR_NOT_ENOUGH_MEMORY;
    } catch (const std::exception& e) {
        Trace("SCardAuth:%s: failed with exception: %s", kReadFromUrl, e.what());
        status = ERROR_INTERNAL_ERROR;
    }
    result.clear();
    Trace("SCardAuth:%s: failed with status: %ld", kReadFromUrl, status);
    return status;
}

void SCardAuthCommunicator::ParseURLW(const std::wstring& url, std::wstring& server, std::wstring& page, DWORD& port,
                                      bool& secure)
{
    Trace("SCardAuth:%s: executing: urlToParse: %S", kParse, url.c_str());
    server.clear();
    page.clear();
    port = INTERNET_DEFAULT_HTTP_PORT;
    secure = false;

    const size_t first = url.find_first_not_of(kBlanks);
    const std::wstring text = first == std::wstring::npos ? L"" : url.substr(first, url.find_last_not_of(kBlanks) - first + 1);

    size_t host = 0;
    const size_t scheme = text.find(L"://");
    if (scheme != std::wstring::npos) {
        secure = scheme > 0 && (text[scheme - 1] == L's' || text[scheme - 1] == L'S');
        host = scheme + 3;
    }
    size_t hostEnd = std::wstring::npos;
    if (host + 1 < text.size() && text[host] == L'[') {
        const size_t close = text.find(L']', host + 1);
        if (close != std::wstring::npos)
            hostEnd = close + 1;
    }
    if (hostEnd == std::wstring::npos) {
        hostEnd = text.find_first_of(L":/", host);
        if (hostEnd == std::wstring::npos)
            hostEnd = text.size();
    }
    server = text.substr(host, hostEnd - host);

    if (hostEnd < text.size() && text[hostEnd] == L':') {
        size_t portEnd = text.find(L'/', hostEnd + 1);
        if (portEnd == std::wstring::npos)
            portEnd = text.size();
        const std::wstring portText = text.substr(hostEnd + 1, portEnd - hostEnd - 1);
        // An empty port is the scheme's; anything else must be a port, or the URL is invalid
        // (never a connection to its low 16 bits, nor to port 80 over TLS).
        if (portText.empty()) {
            port = secure ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT;
        } else if (!ReadPort(portText, port)) {
            Trace("SCardAuth:%s: invalid port: \"%S\" => ERROR_INTERNET_INVALID_URL", kParse, portText.c_str());
            throw tsmb::Win32Error(ERROR_INTERNET_INVALID_URL);
        }
        hostEnd = portEnd;
    } else {
        port = secure ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT;
    }
    if (hostEnd < text.size() && text[hostEnd] == L'/')
        page = text.substr(hostEnd + 1);
    Trace("SCardAuth:%s: results: server: %S page: %S port: %ld secure: %s", kParse, server.c_str(), page.c_str(),
          static_cast<long>(port), secure ? "yes" : "no");
}

std::string SCardAuthCommunicator::ReadHttpData(const std::wstring& server, const std::wstring& page, DWORD port,
                                                bool secure, const std::string& body, const std::wstring& verb)
{
    Trace("SCardAuth:%s: executing...", kReadData);
    std::string output;
    wchar_t agent[MAX_PATH + 1] = {};
    if (!GetModuleFileNameW(nullptr, agent, MAX_PATH))
        agent[0] = L'\0';

    // From here until the call ends, the card's removal ends the process's WinINet session.
    const SCardAuthExchangeScope exchange(kReadData);
    SCardAuthCardSession::Process().Authenticate(m_card);

    // The call runs on the page's thread: each attempt is bounded by the time-outs, and the
    // whole call by twice the time-out (a server that drips a byte at a time never trips a
    // receive time-out), so no server freezes the kiosk's page for longer than that.
    const DWORD timeoutSeconds = RequestTimeoutSeconds();
    m_deadline = GetTickCount64() + 2ULL * timeoutSeconds * 1000;

    HINTERNET open = InternetOpenW(agent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (!open) {
        const DWORD code = GetLastError();
        Trace("SCardAuth:%s:InternetOpen: failed with last error: %ld", kReadData, code);
        throw tsmb::Win32Error(code);
    }
    SetTimeouts(open, timeoutSeconds);
    HINTERNET connect = InternetConnectW(open, server.c_str(), static_cast<INTERNET_PORT>(port), nullptr, nullptr,
                                         INTERNET_SERVICE_HTTP, 0, kContext);
    if (!connect) {
        const DWORD code = GetLastError();
        AbandonSession(nullptr, open);
        Trace("SCardAuth:%s:InternetConnect: failed with last error: %ld", kReadData, code);
        throw tsmb::Win32Error(code);
    }
    // WinINet follows a redirect on its own, certificate and body included, before the control
    // sees where it leads: with the site lock on it follows none.
    const bool locked = m_ctl->AllowedSites().IsOn();
    HINTERNET request =
        HttpOpenRequestW(connect, verb.c_str(), page.c_str(), nullptr, nullptr, nullptr,
                         kRequestFlags | (secure ? INTERNET_FLAG_SECURE : 0) | (locked ? INTERNET_FLAG_NO_AUTO_REDIRECT : 0),
                         kContext);
    if (!request) {
        const DWORD code = GetLastError();
        AbandonSession(connect, open);
        Trace("SCardAuth:%s:HttpOpenRequest: failed with last error: %ld", kReadData, code);
        throw tsmb::Win32Error(code);
    }
    // The request takes its time-outs from the session on Windows; set them on it as well,
    // for the WinINet implementations that do not pass them on.
    SetTimeouts(request, timeoutSeconds);
    const auto closeAll = [&] {
        Trace("SCardAuth:%s: going to call InternetCloseHandle for hIRequest, hIConnect and hIOpen", kReadData);
        InternetCloseHandle(request);
        InternetCloseHandle(connect);
        InternetCloseHandle(open);
    };

    // Only a request that changes nothing may be sent again once the server may have acted on
    // it: a POST answered 201 or 202, or cut off after it was sent, is not repeated.
    const bool repeatable = verb == L"GET" || verb == L"HEAD";
    bool retry = true;
    DWORD error = 0, previousError = 0;
    int sameErrors = 0, attempts = 0;
    try {
        for (;;) {
            bool countFailure = true;
            if (!SendHttpRequest(request, retry, body, error)) {
                if (retry && !repeatable &&
                    (error == ERROR_INTERNET_OPERATION_CANCELLED || error == ERROR_HTTP_INVALID_SERVER_RESPONSE)) {
                    Trace("SCardAuth:%s: the server may have acted on the %S request => not sent again", kReadData,
                          verb.c_str());
                    retry = false;
                }
                Trace("SCardAuth:%s:SendHttpRequest: failed (=> retry: %s) with error: %ld", kReadData,
                      retry ? "yes" : "no", error);
                countFailure = retry;
            } else {
                DWORD status = 0, size = sizeof(status);
                if (!HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr)) {
                    // A failure that leaves no code must not end as an empty success.
                    error = GetLastError();
                    if (error == 0)
                        error = ERROR_INTERNAL_ERROR;
                    Trace("SCardAuth:%s:HttpQueryInfo: failed with last error: %ld", kReadData, error);
                    retry = true;
                } else if (status == HTTP_STATUS_OK) {
                    Trace("SCardAuth:%s:SendHttpRequest succeeded (HTTP status OK (200))", kReadData);
                    DWORD readError = 0;
                    if (ReadHttpResponseBody(request, output, readError)) {
                        Trace("SCardAuth:%s:ReadHttpResponseBody: succeeded", kReadData);
                        error = 0;
                        break;
                    }
                    error = readError;
                    Trace("SCardAuth:%s:ReadHttpResponseBody: failed with last error: %ld", kReadData, error);
                    retry = true;
                } else if (status < 300) {
                    Trace("SCardAuth:%s:HttpQueryInfo: retrieved HTTP status code: %ld", kReadData, status);
                    error = kHttpStatusErrorBase + status;
                    retry = repeatable;
                    if (!repeatable) {
                        Trace("SCardAuth:%s: the server answered the %S request => not sent again", kReadData,
                              verb.c_str());
                        countFailure = false;
                    }
                } else {
                    Trace("SCardAuth:%s:HttpQueryInfo: retrieved HTTP status code: %ld", kReadData, status);
                    Trace("SCardAuth:%s:HttpQueryInfo: retrieved HTTP status code: %ld => unrecoverable HTTP error => no "
                          "retry",
                          kReadData, status);
                    retry = false;
                    error = kHttpStatusErrorBase + status;
                    if (locked && status < 400)
                        Trace("SCardAuth:%s: site lock: redirects are not followed", kReadData);
                    if (status == HTTP_STATUS_FORBIDDEN) {
                        std::string errorBody;
                        DWORD readError = 0;
                        if (ReadHttpResponseBody(request, errorBody, readError)) {
                            Trace("SCardAuth:%s:ReadHttpResponseBody: succeeded", kReadData);
                            if (errorBody.find("403.17") != std::string::npos) {
                                Trace("SCardAuth:%s: HTTP error response body with error status 403.17 => Client "
                                      "certificate has expired or is not yet valid",
                                      kReadData);
                                error = static_cast<DWORD>(SEC_E_SMARTCARD_CERT_EXPIRED);
                            } else if (errorBody.find("403.13") != std::string::npos) {
                                Trace("SCardAuth:%s: HTTP error response body with error status 403.13 => Client "
                                      "certificate revoked",
                                      kReadData);
                                error = static_cast<DWORD>(SEC_E_SMARTCARD_CERT_REVOKED);
                            }
                        } else {
                            Trace("SCardAuth:%s:ReadHttpResponseBody: failed with last error: %ld", kReadData, readError);
                        }
                    }
                    countFailure = false;
                }
            }
            if (countFailure) {
                ++attempts;
                if (attempts > kMaxAttempts) {
                    Trace("SCardAuth:%s:SendHttpRequest: failed: too many retries (%ld) => stop retrying", kReadData,
                          static_cast<long>(attempts));
                    retry = false;
                } else if (error == previousError && error != 0) {
                    if (++sameErrors == kMaxSameErrors) {
                        Trace("SCardAuth:%s:SendHttpRequest: failed: too many retries (%ld) with error: %ld => stop "
                              "retrying",
                              kReadData, static_cast<long>(sameErrors), error);
                        retry = false;
                    }
                } else {
                    previousError = error;
                    sameErrors = 0;
                }
            } else {
                Trace("SCardAuth:%s:SendHttpRequest: failed (=> no retry) with error: %ld", kReadData, error);
            }
            Sleep(kRetryPauseMs);
            if (!retry)
                break;
            if (GetTickCount64() >= m_deadline) {
                Trace("SCardAuth:%s: the call's time (%lu s) is spent => no further attempt", kReadData,
                      2 * timeoutSeconds);
                if (error == 0)
                    error = ERROR_INTERNET_TIMEOUT;
                break;
            }
        }
    } catch (...) {
        closeAll();
        throw;
    }
    closeAll();
    if (error != 0) {
        Trace("SCardAuth:%s:SendHttpRequest: failed with error: %ld", kReadData, error);
        throw tsmb::Win32Error(error);
    }
    Trace("SCardAuth:%s: succeeded: httpData size: %ld", kReadData, static_cast<long>(output.size()));
    return output;
}

void SCardAuthCommunicator::HandOff()
{
    // The shell disconnects when the recorded reader loses its card: a request whose card was
    // pulled or swapped meanwhile (it may have retried for a while) names no reader.
    if (!m_ctl->IsActiveCard(m_card) || !SCardAuthCardSession::IsPresent(m_card)) {
        Trace("SCardAuth:%s: the card in reader \"%S\" is not the active card any more => authentication reader not set",
              kReadFromUrl, m_card.name.c_str());
        return;
    }
    Trace("SCardAuth:%s: setting authentication reader in HKCU volatile registry to: \"%S\"", kReadFromUrl,
          m_card.name.c_str());
    m_ctl->SetAuthenticationReaderInVolatileRegistry(m_card.name);
    // A card pulled between the check and the write may have been seen by the shell before the
    // write: the value would then name an empty reader for the next user.
    if (!SCardAuthCardSession::IsPresent(m_card)) {
        Trace("SCardAuth:%s: the card in reader \"%S\" left while the authentication reader was written => clear it",
              kReadFromUrl, m_card.name.c_str());
        m_ctl->ClearAuthenticationReaderInVolatileRegistry(m_card.name);
    }
}

void SCardAuthCommunicator::SubmitCertificate(HINTERNET request)
{
    // Checks that the card is still the call's, and records it as the session's, before anything
    // reaches it.
    SCardAuthCert certificate(m_card);
    if (!m_pinPresent) {
        certificate.SubmitSCardCertToWinINet(request, nullptr);
        return;
    }
    ScopedSecretUnlock unlocked(*m_pinKeeper);
    certificate.SubmitSCardCertToWinINet(request, static_cast<const char*>(unlocked.Plaintext()));
    unlocked.Lock();
}

bool SCardAuthCommunicator::SendHttpRequest(HINTERNET request, bool& retry, const std::string& body, DWORD& error)
{
    Trace("SCardAuth:%s: executing...", kSend);
    error = 0;
    if (m_submitCertBeforeSend)
        SubmitCertificate(request);
    // A length of (DWORD)-1 for the zero-terminated header: with 0 the platform drops it.
    if (HttpSendRequestW(request, kRequestHeaders, static_cast<DWORD>(-1), const_cast<char*>(body.data()),
                         static_cast<DWORD>(body.size()))) {
        Trace("SCardAuth:%s:HttpSendRequest: succeeded", kSend);
        return true;
    }
    error = GetLastError();
    switch (error) {
    case ERROR_INTERNET_OPERATION_CANCELLED:
    case ERROR_HTTP_INVALID_SERVER_RESPONSE:
        retry = true;
        break;
    case ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED:
        Trace("SCardAuth:%s:HttpSendRequest: failed with ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED => extract certificate "
              "from smart card and retry...",
              kSend);
        SubmitCertificate(request);
        retry = true;
        break;
    default:
        retry = false;
        break;
    }
    Trace("SCardAuth:%s:HttpSendRequest: failed with last error: %ld", kSend, error);
    return false;
}

bool SCardAuthCommunicator::ReadHttpResponseBody(HINTERNET request, std::string& body, DWORD& error)
{
    Trace("SCardAuth:%s: executing...", kReadBody);
    body.clear();
    error = 0;
    unsigned long total = 0;
    std::vector<char> piece(kReadPiece + 1);
    for (;;) {
        if (m_deadline != 0 && GetTickCount64() >= m_deadline) {
            Trace("SCardAuth:%s: the call's time is spent => stop reading the body", kReadBody);
            error = ERROR_INTERNET_TIMEOUT;
            body.clear();
            return false;
        }
        // Only what has arrived: a read of a whole piece would wait for a dripping server as long
        // as it drips, past the call's bound.
        DWORD available = 0;
        if (!InternetQueryDataAvailable(request, &available, 0, 0)) {
            error = GetLastError();
            Trace("SCardAuth:%s:InternetQueryDataAvailable: failed with last error: %ld", kReadBody, error);
            body.clear();
            return false;
        }
        DWORD read = 0;
        if (!InternetReadFile(request, piece.data(), available > 0 && available < kReadPiece ? available : kReadPiece,
                              &read)) {
            error = GetLastError();
            Trace("SCardAuth:%s:InternetReadFile: failed with last error: %ld", kReadBody, error);
            body.clear();
            return false;
        }
        Trace("SCardAuth:%s:InternetReadFile: (partial) read succeeded: number of bytes read: %ld", kReadBody, read);
        if (read == 0)
            break;
        // Every byte counts, NUL bytes included: a body is data, not text.
        body.append(piece.data(), read);
        total += read;
    }
    Trace("SCardAuth:%s:InternetReadFile: succeeded: total number of bytes read: %ld", kReadBody, total);
    return true;
}
