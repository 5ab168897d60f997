#pragma once
// Names that Windows itself treats without letter case (image names, "vantor:" commands, the
// shell named in the registry) compare by its ordinal rule: each character upper-cased by the
// system's table, no linguistic folding, as the file system compares file names. Header-only,
// so that a program which needs nothing else of the foundation links nothing for it.
#include <windows.h>

#include <cwchar>
#include <string>

namespace tsmb {

inline bool EqualsIgnoringCase(const wchar_t* text, const wchar_t* expected)
{
    return CompareStringOrdinal(text, -1, expected, -1, TRUE) == CSTR_EQUAL;
}

inline bool StartsWithIgnoringCase(const wchar_t* text, const wchar_t* prefix)
{
    const size_t length = wcslen(prefix);
    return wcsnlen(text, length) == length &&
           CompareStringOrdinal(text, static_cast<int>(length), prefix, static_cast<int>(length), TRUE) == CSTR_EQUAL;
}

// Not FindStringOrdinal: that needs Windows 7; CompareStringOrdinal is there from Vista on, as
// is everything else the process lookup uses.
inline bool ContainsIgnoringCase(const std::wstring& text, const wchar_t* part)
{
    const size_t length = wcslen(part);
    for (size_t at = 0; at + length <= text.size(); ++at)
        if (CompareStringOrdinal(text.c_str() + at, static_cast<int>(length), part, static_cast<int>(length), TRUE) ==
            CSTR_EQUAL)
            return true;
    return false;
}

}  // namespace tsmb
