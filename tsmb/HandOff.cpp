#include "HandOff.h"

#include "Win32Error.h"

namespace tsmb {

const wchar_t HandOffKey::kParentKey[] = L"SOFTWARE\\Tessam\\Orvane";
const wchar_t HandOffKey::kSubkey[] = L"SCardAuth";
const wchar_t HandOffKey::kKey[] = L"SOFTWARE\\Tessam\\Orvane\\SCardAuth";
const wchar_t HandOffKey::kValue[] = L"AuthenticationReader";
const wchar_t HandOffKey::kCleared[] = L"cleared => none";

HandOffKey::HandOffKey(REGSAM access) : m_key(HKEY_CURRENT_USER, kKey, access) {}

std::wstring HandOffKey::Read()
{
    std::wstring text;
    m_key.QueryStringValue(kValue, text);
    return text;
}

void HandOffKey::Write(const std::wstring& text) { m_key.SetStringValue(kValue, text); }

bool HandOffKey::EmptyIfItNames(const std::wstring& reader)
{
    if (Read() != reader)
        return false;
    // Empty names no reader for the shell, and stays a REG_SZ as the shell expects.
    m_key.SetStringValue(kValue, std::wstring(), true);
    return true;
}

}  // namespace tsmb
