#pragma once
// The request of one exchange, held to the bound of the whole call. WinINet's time-outs bound
// each wait for the network, but not a server that drips its handshake or headers one byte at
// a time (each byte beats the receive time-out), and a blocked synchronous call is not always
// ended by closing its handle. So the session runs in WinINet's asynchronous mode: every call
// that may wait returns at once, and the page's thread waits for its completion until the
// call's deadline, then closes the request and goes on. WinINet may still finish what it was
// doing after that: everything it writes to lives in a record it owns until it reports the
// handle closed.
// Threads: the object and every member belong to the page thread, except StatusCallback, which
// WinINet calls on threads of its own. The record is shared between the two: the page thread
// waits on its event and reads its results; the callback fills them, signals, and, at
// INTERNET_STATUS_HANDLE_CLOSING, drops the process map's reference, which may be the last one
// (the record's destructor, and with it the card session's RequestLetGo, then runs on WinINet's
// thread).
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <memory>
#include <string>

#include "InternetHandle.h"

class SCardAuthBoundedRequest {
public:
    // The status callback of every session an exchange opens (with INTERNET_FLAG_ASYNC).
    static void CALLBACK StatusCallback(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID info, DWORD length);

    // Takes the request (opened in such a session) and the call's deadline, a GetTickCount64
    // value. Throws tsmb::Win32Error when the request cannot be tied to its record.
    SCardAuthBoundedRequest(InternetHandle request, ULONGLONG deadline);
    ~SCardAuthBoundedRequest();
    SCardAuthBoundedRequest(const SCardAuthBoundedRequest&) = delete;
    SCardAuthBoundedRequest& operator=(const SCardAuthBoundedRequest&) = delete;

    // The calls that may wait. Each gives FALSE with the last error when it fails, and with
    // ERROR_INTERNET_TIMEOUT once the call's time is spent (the request is closed then).
    BOOL Send(const wchar_t* headers, const std::string& body);
    BOOL QueryDataAvailable(DWORD& available);
    // The most one read takes: as much as has arrived, up to this (WinINet's buffer and what the
    // socket holds in one call, rather than a call per 4 KiB).
    static const DWORD kMaxRead = 65536;
    // Reads up to size bytes (at most kMaxRead) and appends them to data.
    BOOL Read(DWORD size, std::string& data, DWORD& read);

    // For the calls that never wait (options, the status, the certificate): nullptr once the
    // call's time is spent.
    HINTERNET Handle() const { return m_request.Get(); }
    // What is left of the call's time, in milliseconds (0 once spent).
    DWORD TimeLeftMs() const
    {
        const ULONGLONG now = GetTickCount64();
        return m_expired || now >= m_deadline ? 0 : static_cast<DWORD>(std::min<ULONGLONG>(m_deadline - now, MAXDWORD));
    }
    // The deadline has passed (whether or not a call was waiting then).
    bool TimeSpent() const { return TimeLeftMs() == 0; }

    struct Record;

private:
    // started: what the call that may wait returned. resultIsError: whether its completion
    // reports the call's error (not so for InternetQueryDataAvailable).
    BOOL Complete(BOOL started, bool resultIsError = true);

    InternetHandle m_request;
    std::shared_ptr<Record> m_record;
    ULONGLONG m_deadline;
    bool m_expired = false;
};
