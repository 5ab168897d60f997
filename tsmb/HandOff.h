#pragma once
// The one fact the control and the shell share: which reader held the card with which the user
// last authenticated, in the value AuthenticationReader of the user's volatile key
// HKCU\SOFTWARE\Tessam\Orvane\SCardAuth. The control writes it after a successful request; the
// shell reads it at each card removal and, once it acted, overwrites it with "cleared => none".
// The text "cleared => none", an empty value, a missing key or value, or a name that matches no
// reader all mean that there is no authentication reader. The last writer wins.
#include <windows.h>

#include <string>

#include "RegistryKey.h"

namespace tsmb {

class HandOffKey {
public:
    static const wchar_t kParentKey[];  // SOFTWARE\Tessam\Orvane: the deployment makes it
    static const wchar_t kSubkey[];     // SCardAuth: the control creates it, volatile
    static const wchar_t kKey[];        // SOFTWARE\Tessam\Orvane\SCardAuth
    static const wchar_t kValue[];      // AuthenticationReader
    static const wchar_t kCleared[];    // cleared => none

    // Opens the key under HKEY_CURRENT_USER for access (the view flag added); throws Win32Error.
    explicit HandOffKey(REGSAM access);

    // The value's text; throws Win32Error (also for a value that is not REG_SZ).
    std::wstring Read();
    // Writes a reader name or kCleared; throws Win32Error (ERROR_BAD_ARGUMENTS for no text).
    void Write(const std::wstring& text);
    // Empties the value if it names reader, and says whether it did; throws Win32Error.
    bool EmptyIfItNames(const std::wstring& reader);

private:
    RegistryKey m_key;
};

}  // namespace tsmb
