#include "SCardAuthBoundedRequest.h"

#include <map>
#include <vector>

#include "CriticalSection.h"
#include "SCardAuthCardSession.h"
#include "Trace.h"
#include "UniqueHandle.h"
#include "Win32Error.h"

namespace {

const DWORD kPiece = SCardAuthBoundedRequest::kMaxRead;

}  // namespace

// What WinINet may write to after the exchange gave up on a call: its result, the headers and
// body it sends, the buffers it fills. Made on the page thread; written by WinINet's callback
// threads while the page thread waits on completed; its last reference goes on whichever thread
// drops it last (often WinINet's, at HANDLE_CLOSING).
struct SCardAuthBoundedRequest::Record {
    Record()
        : completed(CreateEventW(nullptr, FALSE, FALSE, nullptr)), piece(kPiece),
          sessionMark(SCardAuthCardSession::Process().RequestOut())
    {
    }
    ~Record() { SCardAuthCardSession::Process().RequestLetGo(sessionMark); }
    Record(const Record&) = delete;
    Record& operator=(const Record&) = delete;

    const tsmb::UniqueHandle completed;
    DWORD error = 0;
    std::wstring headers;
    std::string body;
    std::vector<char> piece;
    DWORD read = 0;
    DWORD available = 0;
    const ULONG sessionMark;
};

namespace {

// The records of requests WinINet has not reported closed, by the context value each request
// carries (never reused: a handle value is, before WinINet is done with the old request).
class Records {
public:
    static Records& Process()
    {
        static Records* records = new Records();  // never destroyed: callbacks may come late
        return *records;
    }
    DWORD_PTR Add(const std::shared_ptr<SCardAuthBoundedRequest::Record>& record)
    {
        tsmb::CriticalSectionLock lock(m_lock);
        const DWORD_PTR context = ++m_last;
        m_records[context] = record;
        return context;
    }
    std::shared_ptr<SCardAuthBoundedRequest::Record> Find(DWORD_PTR context, bool remove)
    {
        tsmb::CriticalSectionLock lock(m_lock);
        const auto found = m_records.find(context);
        if (found == m_records.end())
            return nullptr;
        std::shared_ptr<SCardAuthBoundedRequest::Record> record = found->second;
        if (remove)
            m_records.erase(found);
        return record;
    }

private:
    tsmb::CriticalSection m_lock;
    // Far from the fixed context values of sessions and connections.
    DWORD_PTR m_last = 0x40000000;
    std::map<DWORD_PTR, std::shared_ptr<SCardAuthBoundedRequest::Record>> m_records;
};

}  // namespace

void CALLBACK SCardAuthBoundedRequest::StatusCallback(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD)
{
    if (status != INTERNET_STATUS_REQUEST_COMPLETE && status != INTERNET_STATUS_HANDLE_CLOSING)
        return;
    // Closing is the last word on a request: its record may go once nobody else holds it.
    const std::shared_ptr<Record> record = Records::Process().Find(context, status == INTERNET_STATUS_HANDLE_CLOSING);
    if (!record || status != INTERNET_STATUS_REQUEST_COMPLETE)
        return;
    record->error = info ? static_cast<INTERNET_ASYNC_RESULT*>(info)->dwError : ERROR_INTERNAL_ERROR;
    SetEvent(record->completed.Get());
}

SCardAuthBoundedRequest::SCardAuthBoundedRequest(InternetHandle request, ULONGLONG deadline)
    : m_request(std::move(request)), m_record(std::make_shared<Record>()), m_deadline(deadline)
{
    if (!m_record->completed)
        throw tsmb::Win32Error(GetLastError());
    DWORD_PTR context = Records::Process().Add(m_record);
    if (!InternetSetOptionW(m_request.Get(), INTERNET_OPTION_CONTEXT_VALUE, &context, sizeof(context))) {
        const DWORD code = GetLastError();
        Records::Process().Find(context, true);
        Trace("SCardAuth:%s:InternetSetOption: failed for INTERNET_OPTION_CONTEXT_VALUE with last error: %ld",
              "SCardAuthCommunicator::ReadHttpData", code);
        throw tsmb::Win32Error(code);
    }
}

// WinINet reports the request closed when it is done with it, and then lets its record go.
SCardAuthBoundedRequest::~SCardAuthBoundedRequest() = default;

BOOL SCardAuthBoundedRequest::Complete(BOOL started, bool resultIsError)
{
    if (started)
        return TRUE;
    if (GetLastError() != ERROR_IO_PENDING)
        return FALSE;
    const ULONGLONG now = GetTickCount64();
    const DWORD wait = m_deadline > now ? static_cast<DWORD>(m_deadline - now) : 0;
    if (WaitForSingleObject(m_record->completed.Get(), wait) == WAIT_OBJECT_0) {
        if (!resultIsError)
            return TRUE;
        SetLastError(m_record->error);
        return m_record->error == ERROR_SUCCESS;
    }
    // Closing the request ends what WinINet still does for it, or at least frees the page:
    // what it does afterwards goes to the record, not to the exchange.
    Trace("SCardAuth:%s: the call's time is spent => request closed while WinINet still waits for the server",
          "SCardAuthCommunicator::ReadHttpData");
    m_expired = true;
    m_request.Close();
    SetLastError(ERROR_INTERNET_TIMEOUT);
    return FALSE;
}

BOOL SCardAuthBoundedRequest::Send(const wchar_t* headers, const std::string& body)
{
    if (m_expired) {
        SetLastError(ERROR_INTERNET_TIMEOUT);
        return FALSE;
    }
    m_record->headers = headers;
    m_record->body = body;
    ResetEvent(m_record->completed.Get());
    // A length of (DWORD)-1 for the zero-terminated headers: with 0 the platform drops them.
    return Complete(HttpSendRequestW(m_request.Get(), m_record->headers.c_str(), static_cast<DWORD>(-1),
                                     const_cast<char*>(m_record->body.data()), static_cast<DWORD>(m_record->body.size())));
}

BOOL SCardAuthBoundedRequest::QueryDataAvailable(DWORD& available)
{
    // Waits until data has come (then asked again, WinINet answers at once) or the body ended.
    for (;;) {
        if (m_expired) {
            SetLastError(ERROR_INTERNET_TIMEOUT);
            return FALSE;
        }
        ResetEvent(m_record->completed.Get());
        m_record->available = 0;
        if (InternetQueryDataAvailable(m_request.Get(), &m_record->available, 0, 0)) {
            available = m_record->available;
            return TRUE;
        }
        // Its completion carries the count of bytes that came where others carry an error:
        // only asking again tells.
        if (!Complete(FALSE, false))
            return FALSE;
    }
}

BOOL SCardAuthBoundedRequest::Read(DWORD size, std::string& data, DWORD& read)
{
    read = 0;
    if (m_expired) {
        SetLastError(ERROR_INTERNET_TIMEOUT);
        return FALSE;
    }
    ResetEvent(m_record->completed.Get());
    m_record->read = 0;
    if (!Complete(InternetReadFile(m_request.Get(), m_record->piece.data(), size < kPiece ? size : kPiece,
                                   &m_record->read)))
        return FALSE;
    read = m_record->read;
    data.append(m_record->piece.data(), read);
    return TRUE;
}
