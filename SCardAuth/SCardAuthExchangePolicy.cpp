#include "SCardAuthExchangePolicy.h"

namespace exchange {

namespace {

const long kMaxAttempts = 10;   // the 11th counted failure is the last
const long kMaxSameErrors = 5;  // the 6th in a row with the same error is the last

}  // namespace

bool IsRepeatable(const std::wstring& verb) { return verb == L"GET" || verb == L"HEAD"; }

Retry AfterFailure(Failure where, DWORD code, bool repeatable)
{
    const Retry onceSent = repeatable ? Retry::Yes : Retry::NotRepeatable;
    switch (where) {
    case Failure::Send:
        if (code == ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED)
            return Retry::Yes;
        if (code == ERROR_INTERNET_OPERATION_CANCELLED || code == ERROR_HTTP_INVALID_SERVER_RESPONSE)
            return onceSent;
        return Retry::No;
    case Failure::Status:
        return code < 300 ? onceSent : Retry::No;
    case Failure::StatusQuery:
    case Failure::Body:
        return onceSent;
    }
    return Retry::No;
}

RetryBudget::Verdict RetryBudget::Count(DWORD error)
{
    if (++m_attempts > kMaxAttempts)
        return Verdict::TooManyAttempts;
    if (error == m_previous && error != 0)
        return ++m_sameErrors == kMaxSameErrors ? Verdict::TooManySameErrors : Verdict::Again;
    m_previous = error;
    m_sameErrors = 0;
    return Verdict::Again;
}

DWORD StatusError(DWORD httpStatus) { return kHttpStatusErrorBase + httpStatus; }

DWORD ForbiddenError(const std::string& body)
{
    if (body.find("403.17") != std::string::npos)
        return static_cast<DWORD>(SEC_E_SMARTCARD_CERT_EXPIRED);
    if (body.find("403.13") != std::string::npos)
        return static_cast<DWORD>(SEC_E_SMARTCARD_CERT_REVOKED);
    return StatusError(HTTP_STATUS_FORBIDDEN);
}

DWORD TimeoutSeconds(bool configured, DWORD value)
{
    return configured && value >= 1 && value <= kMaxTimeoutSeconds ? value : kDefaultTimeoutSeconds;
}

ULONGLONG CallBoundMs(DWORD timeoutSeconds) { return 2ULL * timeoutSeconds * 1000; }

bool IsCutOff(const std::wstring& verb, const std::wstring& contentLength, bool chunked, ULONGLONG received)
{
    if (verb == L"HEAD" || chunked || contentLength.empty() ||
        contentLength.find_first_not_of(L"0123456789") != std::wstring::npos || contentLength.size() > 19)
        return false;
    return received < std::stoull(contentLength);
}

DWORD BodyReadError(DWORD readError)
{
    switch (readError) {
    case WSAECONNRESET:
    case ERROR_INTERNET_CONNECTION_ABORTED:
    case ERROR_INTERNET_CONNECTION_RESET:
        return kCutOffError;
    default:
        return readError;
    }
}

DWORD SendError(DWORD sendError) { return sendError == WSAECONNRESET ? kCutOffError : sendError; }

}  // namespace exchange
