#pragma once
// The rules of one HTTP exchange, as pure functions: which failures are worth another attempt
// for which method, the limits on attempts, what a status and its body mean, the bound of the
// whole call and when a body is complete. No handle, no clock, no trace: the communicator asks,
// traces and acts.
#include <windows.h>
#include <wininet.h>

#include <string>

namespace exchange {

// Not a 200: this plus the HTTP status.
const DWORD kHttpStatusErrorBase = 0x20007918;

// Only a request that changes nothing (GET, HEAD) may be sent again once the server may have
// acted on it.
bool IsRepeatable(const std::wstring& verb);

// Where an attempt failed.
enum class Failure {
    Send,        // HttpSendRequestW failed with code
    StatusQuery, // the answer's status could not be read (code)
    Status,      // the server answered code, not 200
    Body,        // reading a 200's body failed with code
};

enum class Retry {
    Yes,
    No,
    // The server may have acted on a request that must not be sent twice.
    NotRepeatable,
};

// Whether a failed attempt may be made again, before the limits are counted. A send that
// failed for the certificate (12044) went nowhere and is always tried again; 12017 and 12152
// may have reached the server; every other send failure is final. Once the server answered, or
// may have, only a repeatable method is sent again, and only for 1xx and 2xx statuses or an
// answer that could not be read.
Retry AfterFailure(Failure where, DWORD code, bool repeatable);

// The limits of one call: the 11th counted failure is the last, and so is the 6th in a row
// with the same non-zero error.
class RetryBudget {
public:
    enum class Verdict { Again, TooManyAttempts, TooManySameErrors };
    // Counts a failure that could be retried.
    Verdict Count(DWORD error);
    long Attempts() const { return m_attempts; }
    long SameErrors() const { return m_sameErrors; }

private:
    long m_attempts = 0;
    long m_sameErrors = 0;
    DWORD m_previous = 0;
};

// The exchange's status for an answer other than 200. For 403, body is the error page: an
// expired client certificate (403.17, tested first) and a revoked one (403.13) have codes of
// their own.
DWORD StatusError(DWORD httpStatus);
DWORD ForbiddenError(const std::string& body);

// The time-out of each attempt from RequestTimeoutSeconds (1 to 600; anything else, or none,
// gives 30), and the bound of the whole call: twice that, since it runs on the page's thread.
const DWORD kDefaultTimeoutSeconds = 30;
const DWORD kMaxTimeoutSeconds = 600;
DWORD TimeoutSeconds(bool configured, DWORD value);
ULONGLONG CallBoundMs(DWORD timeoutSeconds);

// The length a Content-Length field gives, read as HTTP defines it (RFC 9112 §6.3): digits,
// leading zeros allowed, a list of equal values taken as one; a value too large for 64 bits
// counts as the largest. false: the field is no length, and the answer's framing cannot be
// trusted.
bool ParseContentLength(const std::wstring& text, ULONGLONG& length);
// A body that ended before its Content-Length (the connection reset or closed early), or whose
// Content-Length is no length, is no answer. contentLength: the header's text, empty when there
// was none; it does not count for HEAD (no body follows it) or a chunked body. A read that
// failed because the connection went is the same fault, reported alike; other read errors keep
// their code.
const DWORD kCutOffError = ERROR_INTERNET_CONNECTION_RESET;
bool IsCutOff(const std::wstring& verb, const std::wstring& contentLength, bool chunked, ULONGLONG received);
DWORD BodyReadError(DWORD readError);
// A send whose answer was reset: some WinINets pass on the socket's own code (10054) there.
DWORD SendError(DWORD sendError);

}  // namespace exchange
