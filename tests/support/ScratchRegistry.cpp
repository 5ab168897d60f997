#include "ScratchRegistry.h"

#include <stdexcept>

namespace testsupport {

void DeleteKeyTree(HKEY root, const std::wstring& path, REGSAM view)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_ALL_ACCESS | view, &key) != ERROR_SUCCESS)
        return;
    RegDeleteTreeW(key, nullptr);
    RegCloseKey(key);
    RegDeleteKeyExW(root, path.c_str(), view, 0);
}

ScratchKey::ScratchKey(HKEY root, std::wstring path, REGSAM view) : m_root(root), m_path(std::move(path)), m_view(view)
{
    DeleteKeyTree(m_root, m_path, m_view);
}

ScratchKey::~ScratchKey() { DeleteKeyTree(m_root, m_path, m_view); }

void ScratchKey::SetRaw(const wchar_t* name, DWORD type, const void* data, DWORD size) const
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(m_root, m_path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | m_view, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        throw std::runtime_error("cannot create scratch key");
    const LONG result = RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS)
        throw std::runtime_error("cannot set scratch value");
}

void ScratchKey::SetDword(const wchar_t* name, DWORD value) const { SetRaw(name, REG_DWORD, &value, sizeof(value)); }

void ScratchKey::SetString(const wchar_t* name, const std::wstring& text) const
{
    SetRaw(name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

bool ScratchKey::GetRaw(const wchar_t* name, DWORD& type, std::wstring& text, DWORD& size) const
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(m_root, m_path.c_str(), 0, KEY_READ | m_view, &key) != ERROR_SUCCESS)
        return false;
    BYTE data[4096] = {};
    size = sizeof(data) - sizeof(wchar_t);
    const LONG result = RegQueryValueExW(key, name, nullptr, &type, data, &size);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS)
        return false;
    text.assign(reinterpret_cast<const wchar_t*>(data), size / sizeof(wchar_t));
    return true;
}

ScratchValue::ScratchValue(HKEY root, std::wstring path, std::wstring name, REGSAM view)
    : m_root(root), m_path(std::move(path)), m_name(std::move(name)), m_view(view)
{
    HKEY key = nullptr;
    DWORD disposition = 0;
    if (RegCreateKeyExW(m_root, m_path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | m_view, nullptr, &key,
                        &disposition) != ERROR_SUCCESS)
        throw std::runtime_error("cannot open the key of a scratch value");
    m_keyCreated = disposition == REG_CREATED_NEW_KEY;
    DWORD size = 0;
    if (RegQueryValueExW(key, m_name.c_str(), nullptr, &m_type, nullptr, &size) == ERROR_SUCCESS) {
        m_data.resize(size);
        m_hadValue = RegQueryValueExW(key, m_name.c_str(), nullptr, &m_type, m_data.data(), &size) == ERROR_SUCCESS;
    }
    RegCloseKey(key);
    Remove();
}

ScratchValue::~ScratchValue()
{
    if (m_keyCreated) {
        DeleteKeyTree(m_root, m_path, m_view);
        return;
    }
    Remove();
    if (m_hadValue) {
        try {
            Set(m_type, m_data.data(), static_cast<DWORD>(m_data.size()));
        } catch (const std::exception&) {
            // Nothing better to do in a destructor; the next test starts by removing it anyway.
        }
    }
}

void ScratchValue::Set(DWORD type, const void* data, DWORD size) const
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(m_root, m_path.c_str(), 0, KEY_SET_VALUE | m_view, &key) != ERROR_SUCCESS)
        throw std::runtime_error("cannot open the key of a scratch value");
    const LONG result = RegSetValueExW(key, m_name.c_str(), 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS)
        throw std::runtime_error("cannot set a scratch value");
}

void ScratchValue::SetString(const std::wstring& text, DWORD type) const
{
    Set(type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

void ScratchValue::Remove() const
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(m_root, m_path.c_str(), 0, KEY_SET_VALUE | m_view, &key) != ERROR_SUCCESS)
        return;
    RegDeleteValueW(key, m_name.c_str());
    RegCloseKey(key);
}

}  // namespace testsupport
