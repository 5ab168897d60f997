#include "TraceCapture.h"

#include "Trace.h"
#include "Win32Error.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <fstream>
#include <sstream>

using testsupport::ImportHook;
using testsupport::TraceCapture;

namespace {

class TraceTest : public ::testing::Test {
protected:
    testsupport::ComponentTrace m_component{L"SCardAuth"};
};

// Redirects the C runtime's standard output to a file while alive; returns what was written.
class StdoutCapture {
public:
    StdoutCapture()
    {
        fflush(stdout);
        wchar_t dir[MAX_PATH];
        GetTempPathW(MAX_PATH, dir);
        GetTempFileNameW(dir, L"trc", 0, m_path);
        m_saved = _dup(_fileno(stdout));
        int fd = _wopen(m_path, _O_WRONLY | _O_TRUNC | _O_BINARY);
        _dup2(fd, _fileno(stdout));
        _close(fd);
    }
    std::string Finish()
    {
        fflush(stdout);
        _dup2(m_saved, _fileno(stdout));
        _close(m_saved);
        std::ifstream in(m_path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        in.close();
        DeleteFileW(m_path);
        return text.str();
    }

private:
    wchar_t m_path[MAX_PATH];
    int m_saved;
};

void WINAPI ClobberingOutputDebugStringA(LPCSTR) { SetLastError(999); }

}  // namespace

TEST_F(TraceTest, Line_GoesToDebuggerBareAndToStdoutBracketed)
{
    TraceCapture capture;
    StdoutCapture out;
    Trace("%S%s:Call: failed with last error: %ld", tsmb::GetComponentPrefix(), "tsmb::Thread::Init", 8L);
    Trace("%S:%s: executing...", tsmb::GetComponentPrefix(), "scardm::SCardMonitoringThread::Execute");
    const std::string written = out.Finish();
    EXPECT_EQ(capture.Lines(), (std::vector<std::string>{
                                   "SCardAuthtsmb::Thread::Init:Call: failed with last error: 8",
                                   "SCardAuth:scardm::SCardMonitoringThread::Execute: executing...",
                               }));
    EXPECT_EQ(written,
              "\n[SCardAuthtsmb::Thread::Init:Call: failed with last error: 8]"
              "\n[SCardAuth:scardm::SCardMonitoringThread::Execute: executing...]");
}

TEST_F(TraceTest, Conversions_WideNarrowSignedAndHex)
{
    TraceCapture capture;
    Trace("%S|%s|%ld|0x%08X", L"wide", "narrow", static_cast<long>(0x8010002E), 0x8010002Eu);
    EXPECT_EQ(capture.Lines(), (std::vector<std::string>{"wide|narrow|-2146435026|0x8010002E"}));
}

TEST_F(TraceTest, MessageLongerThanBuffer_IsCutAndStillEmitted)
{
    const std::string longText(20000, 'x');
    TraceCapture capture;
    StdoutCapture out;
    Trace("%s", longText.c_str());
    const std::string written = out.Finish();
    const std::string cut(tsmb::TRACE_BUFFER_SIZE - 1, 'x');
    EXPECT_EQ(capture.Lines(), std::vector<std::string>{cut});
    EXPECT_EQ(written, "\n[" + cut + "]");
}

TEST_F(TraceTest, LastError_IsLeftAsFound)
{
    // The capture's hook is replaced by one that changes the last error behind the trace.
    ImportHook clobber(nullptr, "OutputDebugStringA", &ClobberingOutputDebugStringA);
    SetLastError(1234);
    Trace("some line %ld", 1L);
    EXPECT_EQ(GetLastError(), 1234u);
}

TEST(Win32Error, What_IsSignedDecimalOfTheCode)
{
    struct Case { DWORD code; const char* text; };
    const Case cases[] = {
        {5, "Win32 error: 5"},
        {0x8010002E, "Win32 error: -2146435026"},
        {ERROR_TSMB_ERROR_INVALID_REGISTRY_VALUE_TYPE, "Win32 error: 536880914"},
        {ERROR_TSMB_ERROR_INVALID_REGISTRY_VALUE_SIZE, "Win32 error: 536880913"},
        {0, "Win32 error: 0"},
    };
    for (const Case& c : cases) {
        tsmb::Win32Error error(c.code);
        EXPECT_STREQ(error.what(), c.text);
        EXPECT_EQ(error.GetErrorCode(), c.code);
    }
}

TEST(Win32Error, What_IsBuiltOnceAndCopied)
{
    tsmb::Win32Error error(1460);
    const char* first = error.what();
    EXPECT_EQ(error.what(), first);
    tsmb::Win32Error copy(error);
    EXPECT_EQ(copy.GetErrorCode(), 1460u);
    EXPECT_STREQ(copy.what(), "Win32 error: 1460");
    try {
        throw tsmb::Win32Error(87);
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "Win32 error: 87");
    }
}
