#include "RegistryKey.h"

#include <new>

#include "RegistryValue.h"
#include "Trace.h"
#include "Win32Error.h"

namespace tsmb {
namespace {

const wchar_t kDebugKeyName[] = L"SOFTWARE\\Tessam\\Orvane\\Debug";

}  // namespace

REGSAM RegistryKey::OpenAccess(REGSAM access, View view)
{
    return access | (view == View::Foundation ? GetRegistryViewFlag() : 0);
}

RegistryKey::RegistryKey(HKEY parent, const std::wstring& subkeyName, REGSAM access, View view)
{
    const LONG result = RegOpenKeyExW(parent, subkeyName.c_str(), 0, OpenAccess(access, view), m_key.Put());
    if (result != ERROR_SUCCESS) {
        m_key.Release();
        Trace("%S%s:RegOpenKeyEx: failed for key name: %S with error: %ld", GetComponentPrefix(),
              "tsmb::RegistryKey::RegistryKey", subkeyName.c_str(), result);
        throw Win32Error(static_cast<DWORD>(result));
    }
}

RegistryKey::~RegistryKey()
{
    if (!m_key.Close())
        Trace("%S%s:RegCloseKey: failed with error: %ld", GetComponentPrefix(), "tsmb::RegistryKey::~RegistryKey",
              GetLastError());
}

void RegistryKey::SetStringValue(const std::wstring& valueName, const std::wstring& text, bool allowEmpty)
{
    static const char* const kName = "tsmb::RegistryKey::SetStringValue";
    if (text.empty() && !allowEmpty) {
        Trace("%S%s: failed with ERROR_BAD_ARGUMENTS", GetComponentPrefix(), kName);
        throw Win32Error(ERROR_BAD_ARGUMENTS);
    }
    const DWORD size = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
    const LONG result = RegSetValueExW(m_key.Get(), valueName.c_str(), 0, REG_SZ,
                                       reinterpret_cast<const BYTE*>(text.c_str()), size);
    if (result != ERROR_SUCCESS) {
        Trace("%S%s:RegSetValueEx: failed with error: %ld", GetComponentPrefix(), kName, result);
        throw Win32Error(static_cast<DWORD>(result));
    }
}

void RegistryKey::QueryValue(const std::wstring& valueName, std::vector<BYTE>& data, DWORD& type)
{
    static const char* const kName = "tsmb::RegistryKey::QueryValue";
    data.clear();
    DWORD size = 0;
    LONG result = RegQueryValueExW(m_key.Get(), valueName.c_str(), nullptr, &type, nullptr, &size);
    if (result != ERROR_SUCCESS) {
        Trace("%S%s:RegQueryValueEx: failed with error: %ld", GetComponentPrefix(), kName, result);
        throw Win32Error(static_cast<DWORD>(result));
    }
    if (size == 0) {
        Trace("%S%s: failed with ERROR_TSMB_ERROR_INVALID_REGISTRY_VALUE_SIZE", GetComponentPrefix(), kName);
        throw Win32Error(ERROR_TSMB_ERROR_INVALID_REGISTRY_VALUE_SIZE);
    }
    data.resize(size);
    result = RegQueryValueExW(m_key.Get(), valueName.c_str(), nullptr, &type, data.data(), &size);
    if (result != ERROR_SUCCESS) {
        data.clear();
        Trace("%S%s:RegQueryValueEx: failed with error: %ld", GetComponentPrefix(), kName, result);
        throw Win32Error(static_cast<DWORD>(result));
    }
    // The value may have shrunk between the two calls.
    data.resize(size);
}

void RegistryKey::QueryDwordValue(const std::wstring& valueName, DWORD& value)
{
    static const char* const kName = "tsmb::RegistryKey::QueryDwordValue";
    std::vector<BYTE> data;
    DWORD type = REG_NONE;
    QueryValue(valueName, data, type);
    if (type != REG_DWORD) {
        Trace("%S%s: failed with ERROR_TSMB_ERROR_INVALID_REGISTRY_VALUE_TYPE: expected type: %ld retrieved type: %ld",
              GetComponentPrefix(), kName, static_cast<long>(REG_DWORD), type);
        throw Win32Error(ERROR_TSMB_ERROR_INVALID_REGISTRY_VALUE_TYPE);
    }
    if (data.size() != sizeof(DWORD)) {
        Trace("%S%s: failed with ERROR_TSMB_ERROR_INVALID_REGISTRY_VALUE_SIZE: expected size: %ld retrieved size: %ld",
              GetComponentPrefix(), kName, static_cast<long>(sizeof(DWORD)), static_cast<long>(data.size()));
        throw Win32Error(ERROR_TSMB_ERROR_INVALID_REGISTRY_VALUE_SIZE);
    }
    value = static_cast<DWORD>(data[0]) | (static_cast<DWORD>(data[1]) << 8) | (static_cast<DWORD>(data[2]) << 16) |
            (static_cast<DWORD>(data[3]) << 24);
}

void RegistryKey::QueryStringValue(const std::wstring& valueName, std::wstring& text)
{
    std::vector<BYTE> data;
    DWORD type = REG_NONE;
    QueryValue(valueName, data, type);
    if (type != REG_SZ) {
        Trace("%S%s: failed with ERROR_TSMB_ERROR_INVALID_REGISTRY_VALUE_TYPE: expected type: %ld retrieved type: %ld",
              GetComponentPrefix(), "tsmb::RegistryKey::QueryStringValue", static_cast<long>(REG_SZ), type);
        throw Win32Error(ERROR_TSMB_ERROR_INVALID_REGISTRY_VALUE_TYPE);
    }
    // Up to the first zero character, or the end of the data when it has no terminator.
    const size_t count = data.size() / sizeof(wchar_t);
    text.clear();
    for (size_t i = 0; i < count; ++i) {
        const wchar_t c = static_cast<wchar_t>(data[2 * i] | (data[2 * i + 1] << 8));
        if (c == L'\0')
            break;
        text.push_back(c);
    }
}

RefPtr<RegistryKey> RegistryKey::TryOpen(HKEY parent, const std::wstring& subkeyName, REGSAM access, View view)
{
    UniqueRegistryKey key;
    if (RegOpenKeyExW(parent, subkeyName.c_str(), 0, OpenAccess(access, view), key.Put()) != ERROR_SUCCESS) {
        key.Release();
        return nullptr;
    }
    try {
        return RefPtr<RegistryKey>(new RegistryKey(std::move(key)));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

bool RegistryKey::TryQueryValue(const std::wstring& valueName, std::vector<BYTE>& data, DWORD& type) const
{
    return TryQueryRegistryValue(m_key.Get(), valueName.c_str(), data, type);
}

bool RegistryKey::TryDeleteValue(const std::wstring& valueName)
{
    return RegDeleteValueW(m_key.Get(), valueName.c_str()) == ERROR_SUCCESS;
}

std::vector<std::wstring> SplitMultiString(const std::vector<BYTE>& data)
{
    std::vector<std::wstring> strings;
    const wchar_t* text = reinterpret_cast<const wchar_t*>(data.data());
    const size_t chars = data.size() / sizeof(wchar_t);
    for (size_t i = 0; i < chars && text[i] != L'\0';) {
        size_t end = i;
        while (end < chars && text[end] != L'\0')
            ++end;
        strings.emplace_back(text + i, end - i);
        i = end + 1;
    }
    return strings;
}

RefPtr<RegistryKey> RegistryKey::CreateSubkey(const std::wstring& subkeyName, DWORD options, REGSAM access,
                                              const RefPtr<SecurityAttributes>& attributes, DWORD& disposition)
{
    UniqueRegistryKey newKey;
    SECURITY_ATTRIBUTES* sa = attributes ? attributes->GetForCreation() : nullptr;
    const LONG result = RegCreateKeyExW(m_key.Get(), subkeyName.c_str(), 0, nullptr, options,
                                        access | GetRegistryViewFlag(), sa, newKey.Put(), &disposition);
    if (result != ERROR_SUCCESS) {
        newKey.Release();
        Trace("%S%s:RegCreateKeyEx: failed for subkey name: %S with error: %ld", GetComponentPrefix(),
              "tsmb::RegistryKey::CreateSubkey", subkeyName.c_str(), result);
        throw Win32Error(static_cast<DWORD>(result));
    }
    return RefPtr<RegistryKey>(new RegistryKey(std::move(newKey)));
}

void RegistryKey::EnumerateSubkeyNames(std::vector<std::wstring>& names)
{
    names.clear();
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD length = 256;
        const LONG result = RegEnumKeyExW(m_key.Get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS)
            return;
        if (result != ERROR_SUCCESS) {
            Trace("%S%s:RegEnumKeyEx: failed with error: %ld", GetComponentPrefix(),
                  "tsmb::RegistryKey::EnumerateSubkeyNames", result);
            throw Win32Error(static_cast<DWORD>(result));
        }
        names.emplace_back(name, length);
    }
}

void ReadDebugSwitch(const wchar_t* valueName)
{
    try {
        RegistryKey key(HKEY_LOCAL_MACHINE, kDebugKeyName, KEY_QUERY_VALUE | GetRegistryViewFlag());
        DWORD value = 0;
        key.QueryDwordValue(valueName, value);
        if (value != 0)
            EnableTracing();
    } catch (const std::exception&) {
        // A missing or malformed switch just means tracing stays as it is.
    }
}

REGSAM GetRegistryViewFlag()
{
    SYSTEM_INFO info = {};
    GetNativeSystemInfo(&info);
    return info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64 ? KEY_WOW64_32KEY : 0;
}

bool IsWindows5Workstation()
{
    OSVERSIONINFOEXW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info)))
        return false;
    return info.dwMajorVersion == 5 && info.wProductType == VER_NT_WORKSTATION;
}

}  // namespace tsmb
