#include "ScratchRegistry.h"

#include <stdexcept>

namespace testsupport {

tsmb::UniqueRegistryKey OpenKey(HKEY root, const std::wstring& path, REGSAM access)
{
    tsmb::UniqueRegistryKey key;
    if (RegOpenKeyExW(root, path.c_str(), 0, access, key.Put()) != ERROR_SUCCESS)
        key.Release();  // what a failed call leaves in the slot is no handle of ours
    return key;
}

tsmb::UniqueRegistryKey CreateKey(HKEY root, const std::wstring& path, REGSAM access, DWORD options,
                                  DWORD* disposition, LONG* result)
{
    tsmb::UniqueRegistryKey key;
    const LONG created =
        RegCreateKeyExW(root, path.c_str(), 0, nullptr, options, access, nullptr, key.Put(), disposition);
    if (created != ERROR_SUCCESS)
        key.Release();
    if (result)
        *result = created;
    return key;
}

void DeleteKeyTree(HKEY root, const std::wstring& path, REGSAM view)
{
    tsmb::UniqueRegistryKey key = OpenKey(root, path, KEY_ALL_ACCESS | view);
    if (!key)
        return;
    RegDeleteTreeW(key.Get(), nullptr);
    key.Close();
    RegDeleteKeyExW(root, path.c_str(), view, 0);
}

ScratchKey::ScratchKey(HKEY root, std::wstring path, REGSAM view) : m_root(root), m_path(std::move(path)), m_view(view)
{
    DeleteKeyTree(m_root, m_path, m_view);
}

ScratchKey::~ScratchKey() { DeleteKeyTree(m_root, m_path, m_view); }

void ScratchKey::SetRaw(const wchar_t* name, DWORD type, const void* data, DWORD size) const
{
    const tsmb::UniqueRegistryKey key = CreateKey(m_root, m_path, KEY_ALL_ACCESS | m_view);
    if (!key)
        throw std::runtime_error("cannot create scratch key");
    const LONG result = RegSetValueExW(key.Get(), name, 0, type, static_cast<const BYTE*>(data), size);
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
    const tsmb::UniqueRegistryKey key = OpenKey(m_root, m_path, KEY_READ | m_view);
    if (!key)
        return false;
    BYTE data[4096] = {};
    size = sizeof(data) - sizeof(wchar_t);
    const LONG result = RegQueryValueExW(key.Get(), name, nullptr, &type, data, &size);
    if (result != ERROR_SUCCESS)
        return false;
    text.assign(reinterpret_cast<const wchar_t*>(data), size / sizeof(wchar_t));
    return true;
}

ScratchValue::ScratchValue(HKEY root, std::wstring path, std::wstring name, REGSAM view)
    : m_root(root), m_path(std::move(path)), m_name(std::move(name)), m_view(view)
{
    DWORD disposition = 0;
    {
        const tsmb::UniqueRegistryKey key = CreateKey(m_root, m_path, KEY_ALL_ACCESS | m_view, 0, &disposition);
        if (!key)
            throw std::runtime_error("cannot open the key of a scratch value");
        m_keyCreated = disposition == REG_CREATED_NEW_KEY;
        DWORD size = 0;
        if (RegQueryValueExW(key.Get(), m_name.c_str(), nullptr, &m_type, nullptr, &size) == ERROR_SUCCESS) {
            m_data.resize(size);
            m_hadValue =
                RegQueryValueExW(key.Get(), m_name.c_str(), nullptr, &m_type, m_data.data(), &size) == ERROR_SUCCESS;
        }
    }
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
    const tsmb::UniqueRegistryKey key = OpenKey(m_root, m_path, KEY_SET_VALUE | m_view);
    if (!key)
        throw std::runtime_error("cannot open the key of a scratch value");
    const LONG result = RegSetValueExW(key.Get(), m_name.c_str(), 0, type, static_cast<const BYTE*>(data), size);
    if (result != ERROR_SUCCESS)
        throw std::runtime_error("cannot set a scratch value");
}

void ScratchValue::SetString(const std::wstring& text, DWORD type) const
{
    Set(type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

void ScratchValue::Remove() const
{
    const tsmb::UniqueRegistryKey key = OpenKey(m_root, m_path, KEY_SET_VALUE | m_view);
    if (key)
        RegDeleteValueW(key.Get(), m_name.c_str());
}

}  // namespace testsupport
