#include "TraceCapture.h"

#include <algorithm>
#include <mutex>

#include "Trace.h"

namespace testsupport {
namespace {

std::mutex g_mutex;
std::vector<std::string> g_lines;
HANDLE g_newLine = nullptr;  // pulsed through a manual-reset event on each message
bool g_active = false;

void WINAPI CapturingOutputDebugStringA(LPCSTR message)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_lines.emplace_back(message ? message : "");
    SetEvent(g_newLine);
}

}  // namespace

TraceCapture::TraceCapture(std::initializer_list<HMODULE> modules)
{
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (g_active)
            throw std::logic_error("only one TraceCapture at a time");
        g_active = true;
        g_lines.clear();
        if (g_newLine == nullptr)
            g_newLine = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    for (HMODULE module : modules)
        m_hooks.push_back(std::make_unique<ImportHook>(module, "OutputDebugStringA", &CapturingOutputDebugStringA));
}

TraceCapture::~TraceCapture()
{
    while (!m_hooks.empty())
        m_hooks.pop_back();
    std::lock_guard<std::mutex> lock(g_mutex);
    g_active = false;
}

std::vector<std::string> TraceCapture::Lines() const
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_lines;
}

bool TraceCapture::Contains(const std::string& line) const { return Count(line) > 0; }

size_t TraceCapture::Count(const std::string& line) const
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return static_cast<size_t>(std::count(g_lines.begin(), g_lines.end(), line));
}

std::vector<std::string> TraceCapture::LinesStartingWith(const std::string& prefix) const
{
    std::vector<std::string> result;
    for (const std::string& line : Lines())
        if (line.compare(0, prefix.size(), prefix) == 0)
            result.push_back(line);
    return result;
}

bool TraceCapture::WaitFor(const std::string& line, DWORD timeoutMs) const
{
    return WaitForMatch([&line](const std::string& seen) { return seen == line; }, timeoutMs);
}

bool TraceCapture::WaitForMatch(const std::function<bool(const std::string&)>& match, DWORD timeoutMs) const
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            if (std::any_of(g_lines.begin(), g_lines.end(), match))
                return true;
            ResetEvent(g_newLine);
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            return false;
        WaitForSingleObject(g_newLine, static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, 50)));
    }
}

void TraceCapture::Clear()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_lines.clear();
}

ComponentTrace::ComponentTrace(const wchar_t* prefix) : m_previous(tsmb::GetComponentPrefix())
{
    tsmb::EnableTracing();
    tsmb::SetComponentPrefix(prefix);
}

ComponentTrace::~ComponentTrace() { tsmb::SetComponentPrefix(m_previous.c_str()); }

}  // namespace testsupport
