#pragma once
// Conversion between the system ANSI code page and UTF-16, and the count a smart-card reader
// state carries.
#include <windows.h>

#include <string>
#include <vector>

namespace tsmb {

class Utils {
public:
    // Up to the first NUL of the converted text.
    static void ANSIToUnicode(const std::string& in, std::wstring& out);
    static void UnicodeToANSI(const std::wstring& in, std::string& out);
    // Every character, NULs included: bodies are data, not text. (An answer's body goes to the
    // page's string in one conversion of the control's own.)
    static std::string UnicodeToANSIWhole(const std::wstring& in);
    // A secret's text up to its NUL (at most maxChars or maxBytes of it) with one NUL appended;
    // the caller wipes the result.
    static std::vector<char> UnicodeToANSIZ(const wchar_t* in, size_t maxChars);
    static std::vector<wchar_t> ANSIToUnicodeZ(const char* in, size_t maxBytes);
};

// The high 16 bits of a reader's state: its card insertion/removal counter (a card swapped within
// one notification shows there), or the reader count of the plug-and-play pseudo-reader.
inline DWORD ReaderStateCount(DWORD state) { return state >> 16; }

}  // namespace tsmb
