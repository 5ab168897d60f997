#include "Utils.h"

#include "Trace.h"
#include "Win32Error.h"

#include <cstring>
#include <cwchar>
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

std::string Utils::UnicodeToANSIWhole(const std::wstring& in)
{
    if (in.empty())
        return std::string();
    const int inLength = static_cast<int>(in.size());
    const int needed = WideCharToMultiByte(CP_ACP, 0, in.data(), inLength, nullptr, 0, nullptr, nullptr);
    if (needed == 0) {
        const DWORD code = GetLastError();
        Trace("%S%s:WideCharToMultiByte: failed with last error: %ld", GetComponentPrefix(),
              "tsmb::Utils::UnicodeToANSIWhole", code);
        throw Win32Error(code);
    }
    std::string out(static_cast<size_t>(needed), '\0');
    WideCharToMultiByte(CP_ACP, 0, in.data(), inLength, &out[0], needed, nullptr, nullptr);
    return out;
}

std::vector<char> Utils::UnicodeToANSIZ(const wchar_t* in, size_t maxChars)
{
    const size_t chars = wcsnlen(in, maxChars);
    const int bytes = chars ? WideCharToMultiByte(CP_ACP, 0, in, static_cast<int>(chars), nullptr, 0, nullptr, nullptr) : 0;
    std::vector<char> out(static_cast<size_t>(bytes) + 1, '\0');
    if (bytes > 0)
        WideCharToMultiByte(CP_ACP, 0, in, static_cast<int>(chars), out.data(), bytes, nullptr, nullptr);
    return out;
}

std::vector<wchar_t> Utils::ANSIToUnicodeZ(const char* in, size_t maxBytes)
{
    const size_t bytes = strnlen(in, maxBytes);
    const int chars = bytes ? MultiByteToWideChar(CP_ACP, 0, in, static_cast<int>(bytes), nullptr, 0) : 0;
    std::vector<wchar_t> out(static_cast<size_t>(chars) + 1, L'\0');
    if (chars > 0)
        MultiByteToWideChar(CP_ACP, 0, in, static_cast<int>(bytes), out.data(), chars);
    return out;
}

}  // namespace tsmb
