#pragma once
// Collects every trace message by hooking OutputDebugStringA, where each message arrives
// exactly once. One capture at a time; it hooks the test program and any modules given.
#include "ImportHook.h"

#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace testsupport {

class TraceCapture {
public:
    explicit TraceCapture(std::initializer_list<HMODULE> modules = {nullptr});
    ~TraceCapture();
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    std::vector<std::string> Lines() const;
    bool Contains(const std::string& line) const;
    size_t Count(const std::string& line) const;
    // Lines that start with prefix, in order.
    std::vector<std::string> LinesStartingWith(const std::string& prefix) const;
    // Waits until line has been seen, or timeoutMs has passed.
    bool WaitFor(const std::string& line, DWORD timeoutMs) const;
    // Waits until a line for which match is true has been seen, or timeoutMs has passed.
    bool WaitForMatch(const std::function<bool(const std::string&)>& match, DWORD timeoutMs) const;
    void Clear();

private:
    std::vector<std::unique_ptr<ImportHook>> m_hooks;
};

// Tracing on, and the foundation's and the monitoring framework's lines opening with the given
// component's name ("SCardAuth", "SCardAmbrel") while this lives; the name before comes back.
class ComponentTrace {
public:
    explicit ComponentTrace(const wchar_t* prefix);
    ~ComponentTrace();

private:
    std::wstring m_previous;
};

}  // namespace testsupport
