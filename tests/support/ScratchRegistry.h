#pragma once
// A registry key for one test: deleted (with everything below it) when made and when dropped,
// in the 32-bit view that the product uses.
#include <windows.h>

#include <string>

namespace testsupport {

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

// Removes root\path and all below it in the given view; a missing key counts as removed.
void DeleteKeyTree(HKEY root, const std::wstring& path, REGSAM view);

}  // namespace testsupport
