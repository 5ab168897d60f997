#pragma once
// An open registry key. Opens and creates add the registry-view flag, so the 32-bit view is
// used on 64-bit Windows, unless an open asks for the program's own view (View::Own).
#include "RefCount.h"
#include "SecurityAttributes.h"
#include "UniqueHandle.h"

#include <string>
#include <vector>

namespace tsmb {

class RegistryKey : public Object {
public:
    // Whether the registry-view flag is added to the access mask: always, but for a program that
    // reads its own values in the view of its own bitness (the shell).
    enum class View { Foundation, Own };

    RegistryKey(HKEY parent, const std::wstring& subkeyName, REGSAM access, View view = View::Foundation);
    // A failure to close is traced; never throws.
    ~RegistryKey() override;

    // An empty text is refused (ERROR_BAD_ARGUMENTS) unless allowEmpty.
    void SetStringValue(const std::wstring& valueName, const std::wstring& text, bool allowEmpty = false);
    void QueryValue(const std::wstring& valueName, std::vector<BYTE>& data, DWORD& type);
    void QueryDwordValue(const std::wstring& valueName, DWORD& value);
    void QueryStringValue(const std::wstring& valueName, std::wstring& text);
    RefPtr<RegistryKey> CreateSubkey(const std::wstring& subkeyName, DWORD options, REGSAM access,
                                     const RefPtr<SecurityAttributes>& attributes, DWORD& disposition);
    void EnumerateSubkeyNames(std::vector<std::wstring>& names);

    // The quiet forms, for values whose absence is an ordinary default (the shell's URLs and
    // flags): they neither trace nor throw (see RegistryValue.h). TryOpen gives nothing when
    // the key cannot be opened.
    static RefPtr<RegistryKey> TryOpen(HKEY parent, const std::wstring& subkeyName, REGSAM access,
                                       View view = View::Foundation);
    // The value's type and bytes (none for an empty value); false when it cannot be read.
    bool TryQueryValue(const std::wstring& valueName, std::vector<BYTE>& data, DWORD& type) const;
    bool TryDeleteValue(const std::wstring& valueName);

    HKEY GetHandle() const { return m_key.Get(); }

private:
    explicit RegistryKey(UniqueRegistryKey key) : m_key(std::move(key)) {}
    static REGSAM OpenAccess(REGSAM access, View view);

    UniqueRegistryKey m_key;
};

// The strings of REG_MULTI_SZ data, up to the empty one; data written without its terminators
// ends with the data.
std::vector<std::wstring> SplitMultiString(const std::vector<BYTE>& data);

// Reads the program's value under HKLM "SOFTWARE\Tessam\Orvane\Debug" and turns tracing on
// when it is a non-zero REG_DWORD. Anything else leaves tracing as it was; never throws.
void ReadDebugSwitch(const wchar_t* valueName);

// KEY_WOW64_32KEY on 64-bit Windows, else 0.
REGSAM GetRegistryViewFlag();

bool IsWindows5Workstation();

}  // namespace tsmb
