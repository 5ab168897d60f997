#pragma once
// Runs programs that lie beside the test program, as a person or a script would.
#include <windows.h>

#include <string>

namespace testsupport {

// Full path of a file in the test program's folder.
std::wstring BesideTestProgram(const std::wstring& fileName);

struct ProcessResult {
    DWORD exitCode = 0xFFFFFFFF;
    std::string output;  // standard output and standard error together
};

// Runs "<program beside the test> <arguments>" and waits for it (at most timeoutMs).
ProcessResult RunBeside(const std::wstring& program, const std::wstring& arguments, DWORD timeoutMs = 30000);

}  // namespace testsupport
