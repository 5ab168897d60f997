#include "SCardAuthCommunicator.h"

#include <algorithm>
#include <cwctype>
#include <new>
#include <vector>

#include "RegistryKey.h"
#include "SCardAuthBoundedRequest.h"
#include "SCardAuthCert.h"
#include "SCardAuthUrl.h"
#include "Trace.h"
#include "Utils.h"
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
const DWORD kRetryPauseMs = 100;
const size_t kMaxPinChars = 65537;

const char kReadFromUrl[] = "SCardAuthCommunicator::ReadHttpDataFromURL";
const char kReadData[] = "SCardAuthCommunicator::ReadHttpData";
const char kSend[] = "SCardAuthCommunicator::SendHttpRequest";
const char kReadBody[] = "SCardAuthCommunicator::ReadHttpResponseBody";

// The time-out of each attempt, from the setting the control read when it was made.
DWORD RequestTimeoutSeconds(const RequestTimeoutSetting& setting)
{
    const DWORD seconds = exchange::TimeoutSeconds(setting.configured, setting.value);
    if (setting.configured && seconds == setting.value)
        Trace("SCardAuth:%s: request time-out: %lu s (RequestTimeoutSeconds)", kReadData, seconds);
    else
        Trace("SCardAuth:%s: request time-out: %lu s (default)", kReadData, seconds);
    return seconds;
}

void SetTimeouts(HINTERNET handle, DWORD seconds)
{
    DWORD milliseconds = seconds * 1000;
    for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT})
        if (!InternetSetOptionW(handle, option, &milliseconds, sizeof(milliseconds)))
            Trace("SCardAuth:%s:InternetSetOption: failed for time-out option %lu with last error: %ld", kReadData, option,
                  GetLastError());
}

// A failed open: the error of the call that failed, after the handles made so far are closed
// and the browser session (its TLS state included) is ended.
[[noreturn]] void Abandon(const char* call, DWORD error, InternetHandle& connect, InternetHandle& open)
{
    connect.Close();
    open.Close();
    Trace("SCardAuth:%s:%s: failed with last error: %ld", kReadData, call, error);
    SCardAuthCardSession::Process().EndNow(kReadData, "a request could not be opened");
    throw tsmb::Win32Error(error);
}

InternetHandle OpenSession(DWORD timeoutSeconds)
{
    wchar_t agent[MAX_PATH + 1] = {};
    if (!GetModuleFileNameW(nullptr, agent, MAX_PATH))
        agent[0] = L'\0';
    // Asynchronous, so that the page's thread can give up on a call at the deadline.
    InternetHandle open(InternetOpenW(agent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, INTERNET_FLAG_ASYNC));
    if (!open) {
        const DWORD code = GetLastError();
        Trace("SCardAuth:%s:InternetOpen: failed with last error: %ld", kReadData, code);
        throw tsmb::Win32Error(code);
    }
    if (InternetSetStatusCallbackW(open.Get(), &SCardAuthBoundedRequest::StatusCallback) ==
        INTERNET_INVALID_STATUS_CALLBACK) {
        const DWORD code = GetLastError();
        Trace("SCardAuth:%s:InternetSetStatusCallback: failed with last error: %ld", kReadData, code);
        throw tsmb::Win32Error(code);
    }
    SetTimeouts(open.Get(), timeoutSeconds);
    return open;
}

InternetHandle Connect(InternetHandle& open, const std::wstring& server, DWORD port)
{
    InternetHandle connect(InternetConnectW(open.Get(), server.c_str(), static_cast<INTERNET_PORT>(port), nullptr,
                                            nullptr, INTERNET_SERVICE_HTTP, 0, kContext));
    if (!connect)
        Abandon("InternetConnect", GetLastError(), connect, open);
    return connect;
}

// WinINet follows a redirect on its own, certificate and body included, before the control
// sees where it leads: under the site lock it follows none.
InternetHandle OpenRequest(InternetHandle& open, InternetHandle& connect, const std::wstring& verb,
                           const std::wstring& page, bool secure, bool locked, DWORD timeoutSeconds)
{
    const DWORD flags =
        kRequestFlags | (secure ? INTERNET_FLAG_SECURE : 0) | (locked ? INTERNET_FLAG_NO_AUTO_REDIRECT : 0);
    InternetHandle request(
        HttpOpenRequestW(connect.Get(), verb.c_str(), page.c_str(), nullptr, nullptr, nullptr, flags, kContext));
    if (!request)
        Abandon("HttpOpenRequest", GetLastError(), connect, open);
    // The request takes its time-outs from the session on Windows; set them on it as well,
    // for the WinINet implementations that do not pass them on.
    SetTimeouts(request.Get(), timeoutSeconds);
    return request;
}

// Traces before the handles close, on every path out of the exchange (declared after them).
struct ClosingTrace {
    ~ClosingTrace()
    {
        Trace("SCardAuth:%s: going to call InternetCloseHandle for hIRequest, hIConnect and hIOpen", kReadData);
    }
};

// A header of the answer as text, however long; empty when the server sent none.
std::wstring QueryHeader(SCardAuthBoundedRequest& request, DWORD query)
{
    std::vector<wchar_t> text(64);
    for (int tries = 0; request.Handle() && tries < 2; ++tries) {
        DWORD size = static_cast<DWORD>((text.size() - 1) * sizeof(wchar_t));
        if (HttpQueryInfoW(request.Handle(), query, text.data(), &size, nullptr))
            return std::wstring(text.data(), size / sizeof(wchar_t));
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            break;
        text.assign(size / sizeof(wchar_t) + 2, L'\0');
    }
    return std::wstring();
}

// WinINet keeps a connection for later when the answer does not say that it closes, whatever
// the request asked: a server that ignores the request's "Connection: close" may see the next
// request, another card's, on the connection that carried this card's certificate.
void WarnUnlessClosing(SCardAuthBoundedRequest& request)
{
    std::wstring connection = QueryHeader(request, HTTP_QUERY_CONNECTION);
    for (wchar_t& c : connection)
        c = static_cast<wchar_t>(towlower(c));
    if (connection.find(L"close") != std::wstring::npos)
        return;
    Trace("SCardAuth:%s: the server did not answer \"Connection: close\" (\"%S\") => WinINet may send a later request "
          "on this connection: the server must close it after a request that asks so",
          kReadData, connection.c_str());
}

// A body whose length is announced gets its memory at once: one block, rather than a new one and
// a copy at every doubling. Up to a bound: a length no body has yet is not taken on trust, and
// what cannot be had now is had, or not, as the body comes.
void ReserveAnnounced(const std::wstring& contentLength, std::string& body)
{
    const ULONGLONG kMostReserved = 64ull << 20;
    ULONGLONG length = 0;
    if (!exchange::ParseContentLength(contentLength, length) || length == 0)
        return;
    try {
        body.reserve(static_cast<size_t>(std::min(length, kMostReserved)));
    } catch (const std::exception&) {
    }
}

}  // namespace

RequestTimeoutSetting ReadRequestTimeoutSetting()
{
    RequestTimeoutSetting setting;
    try {
        RefPtr<tsmb::RegistryKey> key(new tsmb::RegistryKey(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tessam\\Orvane",
                                                             KEY_QUERY_VALUE | tsmb::GetRegistryViewFlag()));
        key->QueryDwordValue(L"RequestTimeoutSeconds", setting.value);
        setting.configured = true;
    } catch (const std::exception&) {
        setting = RequestTimeoutSetting();
    }
    return setting;
}

SCardAuthCommunicator::SCardAuthCommunicator(const SCardAuthActiveCard& card, const wchar_t* pin, ULONG pinGeneration,
                                             std::shared_ptr<SCardAuthCert> certificate, SCardAuthExchangeHost* host,
                                             bool submitCertBeforeSend)
    : m_card(card),
      m_pinGeneration(pinGeneration),
      m_certificate(std::move(certificate)),
      m_host(host),
      m_submitCertBeforeSend(submitCertBeforeSend)
{
    if (pin == nullptr)
        return;
    m_pinPresent = true;
    std::vector<char> ansi = tsmb::Utils::UnicodeToANSIZ(pin, kMaxPinChars);
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
        const SiteLock& lock = m_host->GetSiteLock();
        m_locked = lock.IsOn();
        SiteOrigin origin;
        if (m_locked && !(MakeSiteOrigin(secure, server, port, origin) && lock.Allows(origin))) {
            m_refusedOrigin = origin.host.empty() ? std::wstring(secure ? L"https://" : L"http://") + server : origin.Text();
            Trace("SCardAuth:%s: site lock: AllowedSites does not list %S => nothing sent (E_ACCESSDENIED)", kReadFromUrl,
                  m_refusedOrigin.c_str());
            throw tsmb::Win32Error(static_cast<DWORD>(E_ACCESSDENIED));
        }
        if (page.empty())
            page = defaultPage;
        result = ReadHttpData(server, page, port, secure, body, verb);
        // The answer was bought with the call's card: once that card is not the active one any
        // more (pulled, swapped, or not watched meanwhile), the page may be the next person's.
        if (!IsStillTheCallsCard() || !HandOff()) {
            Trace("SCardAuth:%s: the card in reader \"%S\" is not the active card any more => the answer is not handed "
                  "to the page (SCARD_W_REMOVED_CARD)",
                  kReadFromUrl, m_card.card.name.c_str());
            throw tsmb::Win32Error(static_cast<DWORD>(SCARD_W_REMOVED_CARD));
        }
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

bool SCardAuthCommunicator::IsStillTheCallsCard() const
{
    return m_host->IsActiveCard(m_card) && m_certificate->IsStillInItsReader();
}

bool SCardAuthCommunicator::HandOff()
{
    // Written when it names another reader, or none (the shell acted, another card came, or it
    // was never written): the value the shell reads ends naming the call's reader either way.
    if (m_host->AuthenticationReaderNames(m_card.card.name)) {
        Trace("SCardAuth:%s: the authentication reader names \"%S\" already => not written again", kReadFromUrl,
              m_card.card.name.c_str());
    } else {
        Trace("SCardAuth:%s: setting authentication reader in HKCU volatile registry to: \"%S\"", kReadFromUrl,
              m_card.card.name.c_str());
        m_host->SetAuthenticationReaderInVolatileRegistry(m_card.card.name);
    }
    // A card pulled between the check and the write may have been seen by the shell before the
    // write: the value would then name an empty reader for the next user.
    if (IsStillTheCallsCard())
        return true;
    Trace("SCardAuth:%s: the card in reader \"%S\" left while the authentication reader was written => clear it",
          kReadFromUrl, m_card.card.name.c_str());
    m_host->ClearAuthenticationReaderInVolatileRegistry(m_card.card.name);
    return false;
}

std::string SCardAuthCommunicator::ReadHttpData(const std::wstring& server, const std::wstring& page, DWORD port,
                                                bool secure, const std::string& body, const std::wstring& verb)
{
    Trace("SCardAuth:%s: executing...", kReadData);
    // From here until the call ends, the card's removal ends the process's WinINet session.
    const SCardAuthExchangeScope exchangeInProgress(kReadData);
    SCardAuthCardSession::Process().Authenticate(m_card.card);
    std::string output;
    const DWORD error = Exchange(server, page, port, secure, body, verb, output);
    if (error != 0) {
        Trace("SCardAuth:%s:SendHttpRequest: failed with error: %ld", kReadData, error);
        throw tsmb::Win32Error(error);
    }
    Trace("SCardAuth:%s: succeeded: httpData size: %ld", kReadData, static_cast<long>(output.size()));
    return output;
}

DWORD SCardAuthCommunicator::Exchange(const std::wstring& server, const std::wstring& page, DWORD port, bool secure,
                                      const std::string& body, const std::wstring& verb, std::string& output)
{
    // The call runs on the page's thread: each attempt is bounded by the time-outs, and the
    // whole call, every phase of it, by twice the time-out.
    const DWORD timeoutSeconds = RequestTimeoutSeconds(m_host->RequestTimeout());
    const ULONGLONG deadline = GetTickCount64() + exchange::CallBoundMs(timeoutSeconds);
    // Declared in this order, they close in the reverse one: request, connection, session.
    InternetHandle open = OpenSession(timeoutSeconds);
    InternetHandle connect = Connect(open, server, port);
    SCardAuthBoundedRequest request(OpenRequest(open, connect, verb, page, secure, m_locked, timeoutSeconds), deadline);
    const ClosingTrace closing;
    return RunAttempts(request, body, verb, timeoutSeconds, output);
}

DWORD SCardAuthCommunicator::RunAttempts(SCardAuthBoundedRequest& request, const std::string& body,
                                         const std::wstring& verb, DWORD timeoutSeconds, std::string& output)
{
    exchange::RetryBudget budget;
    for (;;) {
        const Attempt attempt = AttemptOnce(request, body, verb, output);
        if (attempt.answered)
            return 0;
        const bool again = attempt.retry == exchange::Retry::Yes && CountFailure(budget, attempt.error);
        if (attempt.retry != exchange::Retry::Yes)
            Trace("SCardAuth:%s:SendHttpRequest: failed (=> no retry) with error: %ld", kReadData, attempt.error);
        if (!again)
            return attempt.error;
        // The pause comes only before another attempt, and never past the call's bound.
        Sleep(std::min(kRetryPauseMs, request.TimeLeftMs()));
        if (request.TimeSpent()) {
            Trace("SCardAuth:%s: the call's time (%lu s) is spent => no further attempt", kReadData, 2 * timeoutSeconds);
            return attempt.error != 0 ? attempt.error : ERROR_INTERNET_TIMEOUT;
        }
    }
}

bool SCardAuthCommunicator::CountFailure(exchange::RetryBudget& budget, DWORD error)
{
    switch (budget.Count(error)) {
    case exchange::RetryBudget::Verdict::TooManyAttempts:
        Trace("SCardAuth:%s:SendHttpRequest: failed: too many retries (%ld) => stop retrying", kReadData,
              budget.Attempts());
        return false;
    case exchange::RetryBudget::Verdict::TooManySameErrors:
        Trace("SCardAuth:%s:SendHttpRequest: failed: too many retries (%ld) with error: %ld => stop retrying", kReadData,
              budget.SameErrors(), error);
        return false;
    case exchange::RetryBudget::Verdict::Again:
        break;
    }
    return true;
}

SCardAuthCommunicator::Attempt SCardAuthCommunicator::AfterFailure(exchange::Failure where, DWORD code,
                                                                   const std::wstring& verb)
{
    Attempt attempt;
    attempt.error = where == exchange::Failure::Status ? exchange::StatusError(code) : code;
    attempt.retry = exchange::AfterFailure(where, code, exchange::IsRepeatable(verb));
    if (attempt.retry == exchange::Retry::NotRepeatable) {
        if (where == exchange::Failure::Status)
            Trace("SCardAuth:%s: the server answered the %S request => not sent again", kReadData, verb.c_str());
        else
            Trace("SCardAuth:%s: the server may have acted on the %S request => not sent again", kReadData,
                  verb.c_str());
    }
    return attempt;
}

SCardAuthCommunicator::Attempt SCardAuthCommunicator::AttemptOnce(SCardAuthBoundedRequest& request,
                                                                  const std::string& body, const std::wstring& verb,
                                                                  std::string& output)
{
    DWORD error = 0;
    if (!SendHttpRequest(request, body, error)) {
        const Attempt attempt = AfterFailure(exchange::Failure::Send, error, verb);
        Trace("SCardAuth:%s:SendHttpRequest: failed (=> retry: %s) with error: %ld", kReadData,
              attempt.retry == exchange::Retry::Yes ? "yes" : "no", error);
        return attempt;
    }
    DWORD status = 0, size = sizeof(status);
    if (!HttpQueryInfoW(request.Handle(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr)) {
        // A failure that leaves no code must not end as an empty success.
        error = GetLastError() != 0 ? GetLastError() : ERROR_INTERNAL_ERROR;
        Trace("SCardAuth:%s:HttpQueryInfo: failed with last error: %ld", kReadData, error);
        return AfterFailure(exchange::Failure::StatusQuery, error, verb);
    }
    return ReadAnswer(request, status, verb, output);
}

SCardAuthCommunicator::Attempt SCardAuthCommunicator::ReadAnswer(SCardAuthBoundedRequest& request, DWORD status,
                                                                 const std::wstring& verb, std::string& output)
{
    DWORD error = 0;
    if (status == HTTP_STATUS_OK) {
        Trace("SCardAuth:%s:SendHttpRequest succeeded (HTTP status OK (200))", kReadData);
        if (ReadHttpResponseBody(request, verb, output, error)) {
            Trace("SCardAuth:%s:ReadHttpResponseBody: succeeded", kReadData);
            WarnUnlessClosing(request);
            Attempt answered;
            answered.answered = true;
            return answered;
        }
        Trace("SCardAuth:%s:ReadHttpResponseBody: failed with last error: %ld", kReadData, error);
        return AfterFailure(exchange::Failure::Body, error, verb);
    }
    Trace("SCardAuth:%s:HttpQueryInfo: retrieved HTTP status code: %ld", kReadData, status);
    if (status < 300)
        return AfterFailure(exchange::Failure::Status, status, verb);
    Trace("SCardAuth:%s:HttpQueryInfo: retrieved HTTP status code: %ld => unrecoverable HTTP error => no retry", kReadData,
          status);
    if (m_locked && status < 400)
        Trace("SCardAuth:%s: site lock: redirects are not followed", kReadData);
    Attempt failed = AfterFailure(exchange::Failure::Status, status, verb);
    if (status != HTTP_STATUS_FORBIDDEN)
        return failed;
    std::string errorBody;
    if (!ReadHttpResponseBody(request, verb, errorBody, error)) {
        Trace("SCardAuth:%s:ReadHttpResponseBody: failed with last error: %ld", kReadData, error);
        return failed;
    }
    Trace("SCardAuth:%s:ReadHttpResponseBody: succeeded", kReadData);
    failed.error = exchange::ForbiddenError(errorBody);
    if (failed.error == static_cast<DWORD>(SEC_E_SMARTCARD_CERT_EXPIRED))
        Trace("SCardAuth:%s: HTTP error response body with error status 403.17 => Client certificate has expired or is "
              "not yet valid",
              kReadData);
    else if (failed.error == static_cast<DWORD>(SEC_E_SMARTCARD_CERT_REVOKED))
        Trace("SCardAuth:%s: HTTP error response body with error status 403.13 => Client certificate revoked", kReadData);
    return failed;
}

void SCardAuthCommunicator::SubmitCertificate(HINTERNET request)
{
    // Checks that the card is still the call's, and records it as the session's, before anything
    // reaches it.
    if (!m_pinPresent) {
        m_certificate->SubmitSCardCertToWinINet(request, nullptr, m_pinGeneration);
        return;
    }
    ScopedSecretUnlock unlocked(*m_pinKeeper);
    m_certificate->SubmitSCardCertToWinINet(request, static_cast<const char*>(unlocked.Plaintext()), m_pinGeneration);
}

bool SCardAuthCommunicator::SendHttpRequest(SCardAuthBoundedRequest& request, const std::string& body, DWORD& error)
{
    Trace("SCardAuth:%s: executing...", kSend);
    error = 0;
    if (m_submitCertBeforeSend && request.Handle())
        SubmitCertificate(request.Handle());
    if (request.Send(kRequestHeaders, body)) {
        Trace("SCardAuth:%s:HttpSendRequest: succeeded", kSend);
        return true;
    }
    error = exchange::SendError(GetLastError());
    if (error == ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED) {
        Trace("SCardAuth:%s:HttpSendRequest: failed with ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED => extract certificate "
              "from smart card and retry...",
              kSend);
        if (request.Handle())
            SubmitCertificate(request.Handle());
    }
    Trace("SCardAuth:%s:HttpSendRequest: failed with last error: %ld", kSend, error);
    return false;
}

bool SCardAuthCommunicator::ReadHttpResponseBody(SCardAuthBoundedRequest& request, const std::wstring& verb,
                                                 std::string& body, DWORD& error)
{
    Trace("SCardAuth:%s: executing...", kReadBody);
    body.clear();
    error = 0;
    ULONGLONG total = 0;
    const std::wstring length = QueryHeader(request, HTTP_QUERY_CONTENT_LENGTH);
    if (verb != L"HEAD")  // its length is the one a GET would have, and no body follows
        ReserveAnnounced(length, body);
    for (;;) {
        // A body that keeps coming ends with the call's time as well.
        if (request.TimeSpent()) {
            Trace("SCardAuth:%s: the call's time is spent => stop reading the body", kReadBody);
            error = ERROR_INTERNET_TIMEOUT;
            body.clear();
            return false;
        }
        // Only what has arrived: a read of a whole piece would wait for a dripping server as long
        // as it drips.
        DWORD available = 0, read = 0;
        if (!request.QueryDataAvailable(available)) {
            error = GetLastError();
            Trace("SCardAuth:%s:InternetQueryDataAvailable: failed with last error: %ld", kReadBody, error);
        } else if (!request.Read(available > 0 && available < SCardAuthBoundedRequest::kMaxRead ? available
                                                                                 : SCardAuthBoundedRequest::kMaxRead,
                                 body, read)) {
            error = GetLastError();
            Trace("SCardAuth:%s:InternetReadFile: failed with last error: %ld", kReadBody, error);
        }
        if (error != 0) {
            error = exchange::BodyReadError(error);
            body.clear();
            return false;
        }
        // Every byte counts, NUL bytes included: a body is data, not text.
        Trace("SCardAuth:%s:InternetReadFile: (partial) read succeeded: number of bytes read: %ld", kReadBody, read);
        if (read == 0)
            break;
        total += read;
    }
    Trace("SCardAuth:%s:InternetReadFile: succeeded: total number of bytes read: %ld", kReadBody,
          static_cast<long>(total));
    if (exchange::IsCutOff(verb, length, !QueryHeader(request, HTTP_QUERY_TRANSFER_ENCODING).empty(), total)) {
        Trace("SCardAuth:%s: the body ended after %lu of the \"%S\" bytes its Content-Length announced => cut off",
              kReadBody, static_cast<unsigned long>(total), length.c_str());
        error = exchange::kCutOffError;
        body.clear();
        return false;
    }
    return true;
}
