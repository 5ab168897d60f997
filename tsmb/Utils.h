#pragma once
// Conversion between the system ANSI code page and UTF-16.
#include <string>

namespace tsmb {

class Utils {
public:
    static void ANSIToUnicode(const std::string& in, std::wstring& out);
    static void UnicodeToANSI(const std::wstring& in, std::string& out);
};

}  // namespace tsmb
