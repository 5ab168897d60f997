// The exchange's rules, without a server: which failures are tried again for which method,
// the limits of one call, what a status and its body mean, the time-out and the call's bound,
// and when a body is cut off.
#include <windows.h>
#include <wininet.h>

#include <gtest/gtest.h>

#include <vector>

#include "ImportHook.h"
#include "ExchangeEvent.h"
#include "InternetHandle.h"
#include "SCardAuthExchangePolicy.h"

using exchange::Failure;
using exchange::Retry;

namespace {

struct RetryRow {
    Failure where;
    DWORD code;
    const wchar_t* verb;
    Retry expected;
};

TEST(ExchangePolicy, WhichFailuresAreTriedAgainForWhichMethod)
{
    const RetryRow rows[] = {
        // Nothing went out: the certificate is asked for, whatever the method.
        {Failure::Send, ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED, L"GET", Retry::Yes},
        {Failure::Send, ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED, L"POST", Retry::Yes},
        // Cut off after going out: the server may have acted.
        {Failure::Send, ERROR_INTERNET_OPERATION_CANCELLED, L"GET", Retry::Yes},
        {Failure::Send, ERROR_INTERNET_OPERATION_CANCELLED, L"POST", Retry::NotRepeatable},
        {Failure::Send, ERROR_HTTP_INVALID_SERVER_RESPONSE, L"HEAD", Retry::Yes},
        {Failure::Send, ERROR_HTTP_INVALID_SERVER_RESPONSE, L"DELETE", Retry::NotRepeatable},
        {Failure::Send, ERROR_INTERNET_CANNOT_CONNECT, L"GET", Retry::No},
        {Failure::Send, ERROR_INTERNET_TIMEOUT, L"GET", Retry::No},
        // The server answered, or may have.
        {Failure::StatusQuery, ERROR_HTTP_HEADER_NOT_FOUND, L"GET", Retry::Yes},
        {Failure::StatusQuery, ERROR_HTTP_HEADER_NOT_FOUND, L"POST", Retry::NotRepeatable},
        {Failure::Body, ERROR_INTERNET_CONNECTION_RESET, L"GET", Retry::Yes},
        {Failure::Body, ERROR_INTERNET_CONNECTION_RESET, L"PUT", Retry::NotRepeatable},
        {Failure::Status, 100, L"HEAD", Retry::Yes},
        {Failure::Status, 204, L"GET", Retry::Yes},
        {Failure::Status, 299, L"GET", Retry::Yes},
        {Failure::Status, 201, L"PUT", Retry::NotRepeatable},
        {Failure::Status, 202, L"POST", Retry::NotRepeatable},
        {Failure::Status, 300, L"GET", Retry::No},
        {Failure::Status, 302, L"GET", Retry::No},
        {Failure::Status, 404, L"POST", Retry::No},
        // Method names are compared as sent: "get" is not GET.
        {Failure::Status, 204, L"get", Retry::NotRepeatable},
    };
    for (const RetryRow& row : rows) {
        SCOPED_TRACE(testing::Message() << static_cast<int>(row.where) << " " << row.code << " " << row.verb);
        EXPECT_EQ(row.expected, exchange::AfterFailure(row.where, row.code, exchange::IsRepeatable(row.verb)));
    }
}

using Verdict = exchange::RetryBudget::Verdict;

struct BudgetRow {
    const char* name;
    std::vector<DWORD> errors;
    Verdict last;  // every earlier failure is Again
};

TEST(ExchangePolicy, TheEleventhFailureOrTheSixthSameErrorIsTheLast)
{
    const DWORD a = 12002, b = 12031;
    const BudgetRow rows[] = {
        {"six same", {a, a, a, a, a, a}, Verdict::TooManySameErrors},
        {"eleven alternating", {a, b, a, b, a, b, a, b, a, b, a}, Verdict::TooManyAttempts},
        {"eleven without a code", std::vector<DWORD>(11, 0), Verdict::TooManyAttempts},
        {"a change starts the count again", {a, a, a, a, b, b, b, b, b, b}, Verdict::TooManySameErrors},
        {"ten different are still tried", {a, b, a, b, a, b, a, b, a, b}, Verdict::Again},
    };
    for (const BudgetRow& row : rows) {
        SCOPED_TRACE(row.name);
        exchange::RetryBudget budget;
        for (size_t i = 0; i + 1 < row.errors.size(); ++i)
            ASSERT_EQ(Verdict::Again, budget.Count(row.errors[i])) << "failure " << i + 1;
        EXPECT_EQ(row.last, budget.Count(row.errors.back()));
    }
}

TEST(ExchangePolicy, StatusesAndForbiddenBodies)
{
    EXPECT_EQ(0x20007AACu, exchange::StatusError(404));
    EXPECT_EQ(0x200079E4u, exchange::StatusError(204));
    const std::pair<const char*, DWORD> bodies[] = {
        {"HTTP Error 403.17 - Forbidden", static_cast<DWORD>(SEC_E_SMARTCARD_CERT_EXPIRED)},
        {"HTTP Error 403.13 - Forbidden", static_cast<DWORD>(SEC_E_SMARTCARD_CERT_REVOKED)},
        {"403.13 and 403.17", static_cast<DWORD>(SEC_E_SMARTCARD_CERT_EXPIRED)},
        {"denied", 0x20007918u + 403},
        {"", 0x20007918u + 403},
    };
    for (const auto& body : bodies)
        EXPECT_EQ(body.second, exchange::ForbiddenError(body.first)) << body.first;
}

TEST(ExchangePolicy, TimeOutAndTheCallsBound)
{
    const std::pair<std::pair<bool, DWORD>, DWORD> rows[] = {
        {{false, 0}, 30}, {{true, 0}, 30}, {{true, 1}, 1}, {{true, 2}, 2},
        {{true, 600}, 600}, {{true, 601}, 30}, {{true, 0xFFFFFFFF}, 30},
    };
    for (const auto& row : rows)
        EXPECT_EQ(row.second, exchange::TimeoutSeconds(row.first.first, row.first.second)) << row.first.second;
    EXPECT_EQ(4000u, exchange::CallBoundMs(2));
    EXPECT_EQ(1200000u, exchange::CallBoundMs(600));
}

TEST(ExchangePolicy, ABodyShorterThanItsContentLengthIsCutOff)
{
    struct Row {
        const wchar_t* verb;
        const wchar_t* length;
        bool chunked;
        ULONGLONG received;
        bool cutOff;
    } rows[] = {
        {L"GET", L"100000", false, 10, true},   {L"POST", L"11", false, 10, true},
        {L"GET", L"10", false, 10, false},      {L"GET", L"", false, 0, false},
        {L"HEAD", L"100", false, 0, false},     {L"GET", L"100", true, 10, false},
        // Read as HTTP defines the field: leading zeros, blanks, a list of equal values; no
        // length at all (letters, unequal values) means the framing cannot be trusted.
        {L"GET", L"0000000000000000000100000", false, 10, true},
        {L"GET", L"0010", false, 10, false},    {L"GET", L" 10 ", false, 10, false},
        {L"GET", L"10, 10", false, 10, false},  {L"GET", L"10, 11", false, 11, true},
        {L"GET", L"12ab", false, 100, true},    {L"GET", L"-1", false, 10, true},
        {L"GET", L"99999999999999999999999", false, 1000, true},
    };
    for (const Row& row : rows)
        EXPECT_EQ(row.cutOff, exchange::IsCutOff(row.verb, row.length, row.chunked, row.received))
            << row.verb << " " << row.length << " " << row.received;
    EXPECT_EQ(static_cast<DWORD>(ERROR_INTERNET_CONNECTION_RESET), exchange::BodyReadError(WSAECONNRESET));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INTERNET_CONNECTION_RESET), exchange::BodyReadError(ERROR_INTERNET_CONNECTION_ABORTED));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INTERNET_TIMEOUT), exchange::BodyReadError(ERROR_INTERNET_TIMEOUT));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INTERNET_CONNECTION_RESET), exchange::SendError(WSAECONNRESET));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INTERNET_CANNOT_CONNECT), exchange::SendError(ERROR_INTERNET_CANNOT_CONNECT));
}

TEST(ExchangePolicy, TheCardEventOfAFinishedRequest)
{
    const std::pair<ULONG, LONG> rows[] = {
        {static_cast<ULONG>(SEC_E_SMARTCARD_CERT_EXPIRED), SCardAuthEventDefaultCertOnCardExpired},
        {static_cast<ULONG>(SEC_E_SMARTCARD_CERT_REVOKED), SCardAuthEventDefaultCertOnCardRevoked},
        {static_cast<ULONG>(SCARD_W_WRONG_CHV), SCardAuthEventInvalidPIN},
        {static_cast<ULONG>(SCARD_W_CHV_BLOCKED), SCardAuthEventSmartCardBlocked},
        {static_cast<ULONG>(SCARD_W_REMOVED_CARD), SCardAuthEventUnknownFailure},
        {0x20007AACu, SCardAuthEventUnknownFailure},
        {ERROR_INTERNET_CONNECTION_RESET, SCardAuthEventUnknownFailure},
    };
    for (const auto& row : rows) {
        const ExchangeEvent event = ExchangeEventFor(row.first);
        EXPECT_TRUE(event.posted) << row.first;
        EXPECT_EQ(row.second, event.type) << row.first;
    }
    EXPECT_FALSE(ExchangeEventFor(0).posted);
}

std::vector<HINTERNET> g_closed;
BOOL WINAPI RecordingInternetCloseHandle(HINTERNET handle)
{
    g_closed.push_back(handle);
    return TRUE;
}

// Apart from the test, so that the hook is in place before any of these calls is compiled in.
__attribute__((noinline)) void MoveHandlesAround()
{
    HINTERNET first = reinterpret_cast<HINTERNET>(0x11), second = reinterpret_cast<HINTERNET>(0x22);
    InternetHandle a(first);
    InternetHandle b(std::move(a));
    EXPECT_FALSE(a);
    InternetHandle c(second);
    c = std::move(b);  // second is closed here, first moves on
    InternetHandle& alias = c;
    c = std::move(alias);  // to itself: nothing happens
    InternetHandle none;
    none.Close();
    EXPECT_EQ(std::vector<HINTERNET>{second}, g_closed);
}

TEST(InternetHandleOwner, EachHandleIsClosedOnceWhereverItMoved)
{
    g_closed.clear();
    {
        testsupport::ImportHook hook(nullptr, "InternetCloseHandle", &RecordingInternetCloseHandle);
        MoveHandlesAround();
    }
    EXPECT_EQ((std::vector<HINTERNET>{reinterpret_cast<HINTERNET>(0x22), reinterpret_cast<HINTERNET>(0x11)}), g_closed);
}

}  // namespace
