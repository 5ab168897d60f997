#include "TraceCapture.h"

#include "Trace.h"
#include "Utils.h"
#include "Win32Error.h"

#include <gtest/gtest.h>

using testsupport::ImportHook;
using testsupport::TraceCapture;
using tsmb::Utils;

namespace {
int g_conversions = 0;
int WINAPI CountingMultiByteToWideChar(UINT cp, DWORD flags, LPCCH in, int inLength, LPWSTR out, int outLength)
{
    ++g_conversions;
    static auto real = testsupport::RealExport<decltype(&MultiByteToWideChar)>(L"kernel32.dll", "MultiByteToWideChar");
    return real(cp, flags, in, inLength, out, outLength);
}
int WINAPI FailMultiByteToWideChar(UINT, DWORD, LPCCH, int, LPWSTR, int) { SetLastError(ERROR_NO_UNICODE_TRANSLATION); return 0; }
int WINAPI FailWideCharToMultiByte(UINT, DWORD, LPCWCH, int, LPSTR, int, LPCCH, LPBOOL) { SetLastError(ERROR_INVALID_PARAMETER); return 0; }
}  // namespace

// Every character of the system code page survives the way there and back.
TEST(Utils, RoundTripsTheWholeAnsiCodePage)
{
    std::string ansi;
    for (int c = 0x20; c <= 0xFF; ++c)
        ansi.push_back(static_cast<char>(c));
    // Keep only single bytes that the code page maps and maps back (lead bytes of a DBCS page
    // and holes would not round-trip on their own).
    std::string mapped;
    for (char c : ansi) {
        wchar_t w = 0;
        char back = 0;
        BOOL defaulted = FALSE;
        if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, &c, 1, &w, 1) == 1 &&
            WideCharToMultiByte(CP_ACP, 0, &w, 1, &back, 1, nullptr, &defaulted) == 1 && !defaulted && back == c)
            mapped.push_back(c);
    }
    ASSERT_GT(mapped.size(), 0x5Fu) << "the code page should map more than ASCII; ACP " << GetACP();

    std::wstring wide;
    Utils::ANSIToUnicode(mapped, wide);
    ASSERT_EQ(wide.size(), mapped.size());
    for (size_t i = 0; i < mapped.size(); ++i) {
        wchar_t expected = 0;
        MultiByteToWideChar(CP_ACP, 0, &mapped[i], 1, &expected, 1);
        EXPECT_EQ(wide[i], expected) << "byte " << static_cast<int>(static_cast<unsigned char>(mapped[i]));
    }
    std::string back;
    Utils::UnicodeToANSI(wide, back);
    EXPECT_EQ(back, mapped);
}

TEST(Utils, EmptyInput_GivesEmptyOutputWithoutCallingThePlatform)
{
    g_conversions = 0;
    std::wstring wide = L"old";
    std::string narrow = "old";
    {
        ImportHook hook(nullptr, "MultiByteToWideChar", &CountingMultiByteToWideChar);
        Utils::ANSIToUnicode("", wide);
        Utils::ANSIToUnicode("pin", wide);
    }
    Utils::UnicodeToANSI(L"", narrow);
    EXPECT_EQ(g_conversions, 2);  // both from the non-empty call
    EXPECT_EQ(wide, L"pin");
    EXPECT_EQ(narrow, "");
}

TEST(Utils, CharacterWithoutAnsiForm_IsReplacedByTheDefault)
{
    std::string out;
    Utils::UnicodeToANSI(L"a\x4E2D" L"b", out);  // a CJK ideograph has no form in a Latin code page
    if (GetACP() == 1252) {
        EXPECT_EQ(out, "a?b");
    } else {
        EXPECT_EQ(out.front(), 'a');
    }
}

TEST(Utils, PlatformFailure_IsTracedAndThrown)
{
    testsupport::ComponentTrace component(L"SCardAuth");
    TraceCapture capture;
    std::wstring wide;
    std::string narrow;
    DWORD first = 0, second = 0;
    {
        ImportHook a(nullptr, "MultiByteToWideChar", &FailMultiByteToWideChar);
        ImportHook w(nullptr, "WideCharToMultiByte", &FailWideCharToMultiByte);
        try { Utils::ANSIToUnicode("x", wide); } catch (const tsmb::Win32Error& e) { first = e.GetErrorCode(); }
        try { Utils::UnicodeToANSI(L"x", narrow); } catch (const tsmb::Win32Error& e) { second = e.GetErrorCode(); }
    }
    EXPECT_EQ(first, 1113u);
    EXPECT_EQ(second, 87u);
    EXPECT_EQ(capture.Lines(), (std::vector<std::string>{
                                   "SCardAuthtsmb::Utils::ANSIToUnicode:MultiByteToWideChar: failed with last error: 1113",
                                   "SCardAuthtsmb::Utils::UnicodeToANSI:WideCharToMultiByte: failed with last error: 87",
                               }));
}
