#pragma once
// A registry key for one test: deleted (with everything below it) when made and when dropped,
// in the 32-bit view that the product uses.
#include <windows.h>

#include <string>
#include <vector>

#include "UniqueHandle.h"

namespace testsupport {

// The view a program of the test build's own bitness sees when it passes no view flag: the
// 32-bit view for the 32-bit deliverables, the 64-bit one for a 64-bit test build.
constexpr REGSAM kUnflaggedView = sizeof(void*) == 8 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;

class ScratchKey {
public:
    ScratchKey(HKEY root, std::wstring path, REGSAM view = KEY_WOW64_32KEY);
    ~ScratchKey();
    ScratchKey(const ScratchKey&) = delete;
    ScratchKey& operator=(const ScratchKey&) = delete;

    const std::wstring& Path() const { return m_path; }

    // Direct writes and reads around the product code, in the same view.
    void SetDword(const wchar_t* name, DWORD value) const;
    void SetRaw(const wchar_t* name, DWORD type, const void* data, DWORD size) const;
    void SetString(const wchar_t* name, const std::wstring& text) const;
    // Returns false when the value is missing.
    bool GetRaw(const wchar_t* name, DWORD& type, std::wstring& bytesAsText, DWORD& size) const;

private:
    HKEY m_root;
    std::wstring m_path;
    REGSAM m_view;
};

// One value in a key the test does not own (a system key): removed when made; when dropped,
// the value it had (or its absence) comes back, and a key made for it goes again.
class ScratchValue {
public:
    ScratchValue(HKEY root, std::wstring path, std::wstring name, REGSAM view = KEY_WOW64_32KEY);
    ~ScratchValue();
    ScratchValue(const ScratchValue&) = delete;
    ScratchValue& operator=(const ScratchValue&) = delete;

    void Set(DWORD type, const void* data, DWORD size) const;
    void SetString(const std::wstring& text, DWORD type = REG_SZ) const;
    void Remove() const;

private:
    HKEY m_root;
    std::wstring m_path;
    std::wstring m_name;
    REGSAM m_view;
    bool m_keyCreated = false;
    bool m_hadValue = false;
    DWORD m_type = 0;
    std::vector<BYTE> m_data;
};

// root\path opened with that access (a view flag included), owned by the caller; empty when it
// cannot be opened.
tsmb::UniqueRegistryKey OpenKey(HKEY root, const std::wstring& path, REGSAM access);
// The same, made when missing (options and disposition as RegCreateKeyExW has them); empty when
// that fails, with the call's result in *result when asked for.
tsmb::UniqueRegistryKey CreateKey(HKEY root, const std::wstring& path, REGSAM access, DWORD options = 0,
                                  DWORD* disposition = nullptr, LONG* result = nullptr);

// Removes root\path and all below it in the given view; a missing key counts as removed.
void DeleteKeyTree(HKEY root, const std::wstring& path, REGSAM view);

}  // namespace testsupport
