#include "Utils.h"

#include "Trace.h"
#include "Win32Error.h"

#include <vector>

namespace tsmb {

void Utils::ANSIToUnicode(const std::string& in, std::wstring& out)
{
    static const char* const kName = "tsmb::Utils::ANSIToUnicode";
    if (in.empty()) {
        out.clear();
        return;
    }
    const int inLength = static_cast<int>(in.size());
    const int needed = MultiByteToWideChar(CP_ACP, 0, in.data(), inLength, nullptr, 0);
    if (needed == 0) {
        const DWORD code = GetLastError();
        Trace("%S%s:MultiByteToWideChar: failed with last error: %ld", GetComponentPrefix(), kName, code);
        throw Win32Error(code);
    }
    std::vector<wchar_t> buffer(static_cast<size_t>(needed) + 1, L'\0');
    if (MultiByteToWideChar(CP_ACP, 0, in.data(), inLength, buffer.data(), needed) == 0) {
        const DWORD code = GetLastError();
        Trace("%S%s:MultiByteToWideChar: failed with last error: %ld", GetComponentPrefix(), kName, code);
        throw Win32Error(code);
    }
    buffer[needed] = L'\0';
    out.assign(buffer.data());
}

void Utils::UnicodeToANSI(const std::wstring& in, std::string& out)
{
    static const char* const kName = "tsmb::Utils::UnicodeToANSI";
    if (in.empty()) {
        out.clear();
        return;
    }
    const int inLength = static_cast<int>(in.size());
    const int needed = WideCharToMultiByte(CP_ACP, 0, in.data(), inLength, nullptr, 0, nullptr, nullptr);
    if (needed == 0) {
        const DWORD code = GetLastError();
        Trace("%S%s:WideCharToMultiByte: failed with last error: %ld", GetComponentPrefix(), kName, code);
        throw Win32Error(code);
    }
    std::vector<char> buffer(static_cast<size_t>(needed) + 1, '\0');
    if (WideCharToMultiByte(CP_ACP, 0, in.data(), inLength, buffer.data(), needed, nullptr, nullptr) == 0) {
        const DWORD code = GetLastError();
        Trace("%S%s:WideCharToMultiByte: failed with last error: %ld", GetComponentPrefix(), kName, code);
        throw Win32Error(code);
    }
    buffer[needed] = '\0';
    out.assign(buffer.data());
}

}  // namespace tsmb
