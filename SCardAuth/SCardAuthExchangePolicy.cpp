#include "SCardAuthExchangePolicy.h"

#include <climits>

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

namespace {

// One value of the list: 1*DIGIT between optional blanks.
bool ParseLengthValue(const std::wstring& text, size_t begin, size_t end, ULONGLONG& value)
{
    while (begin < end && (text[begin] == L' ' || text[begin] == L'\t'))
        ++begin;
    while (end > begin && (text[end - 1] == L' ' || text[end - 1] == L'\t'))
        --end;
    if (begin == end)
        return false;
    value = 0;
    for (size_t i = begin; i < end; ++i) {
        if (text[i] < L'0' || text[i] > L'9')
            return false;
        const ULONGLONG digit = static_cast<ULONGLONG>(text[i] - L'0');
        value = value > (ULLONG_MAX - digit) / 10 ? ULLONG_MAX : value * 10 + digit;
    }
    return true;
}

}  // namespace

bool ParseContentLength(const std::wstring& text, ULONGLONG& length)
{
    bool first = true;
    for (size_t begin = 0;;) {
        const size_t comma = text.find(L',', begin);
        const size_t end = comma == std::wstring::npos ? text.size() : comma;
        ULONGLONG value = 0;
        if (!ParseLengthValue(text, begin, end, value) || (!first && value != length))
            return false;
        length = value;
        first = false;
        if (comma == std::wstring::npos)
            return true;
        begin = comma + 1;
    }
}

bool IsCutOff(const std::wstring& verb, const std::wstring& contentLength, bool chunked, ULONGLONG received)
{
    if (verb == L"HEAD" || chunked || contentLength.empty())
        return false;
    ULONGLONG length = 0;
    return !ParseContentLength(contentLength, length) || received < length;
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
