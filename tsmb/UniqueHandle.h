#pragma once
// The one family of owners for the platform's handles: each kind is a UniqueResource over its
// traits (the type, its "none" value Type(), and the release call), released by the owner's
// destructor or Close, movable, never copied, so a handle is released exactly once; release
// never throws. Here: kernel handles, modules, registry keys and COM's strings; the control
// adds its WinINet, CryptoAPI, certificate, CNG and smart-card owners beside it. Header-only:
// the release call is made from the owner's own module, through that module's imports.
#include <windows.h>
#include <oleauto.h>

#include <utility>

namespace tsmb {

template <class Traits>
class UniqueResource {
public:
    using Type = typename Traits::Type;

    UniqueResource() = default;
    explicit UniqueResource(Type value) : m_value(value) {}
    ~UniqueResource() { Close(); }
    UniqueResource(UniqueResource&& other) noexcept : m_value(std::exchange(other.m_value, Type())) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept
    {
        if (this != &other) {
            Close();
            m_value = std::exchange(other.m_value, Type());
        }
        return *this;
    }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;

    Type Get() const { return m_value; }
    explicit operator bool() const { return m_value != Type(); }
    // Hands the value over without releasing it.
    Type Release() noexcept { return std::exchange(m_value, Type()); }
    // For a call that fills a handle: releases the one held, and gives the slot to fill.
    Type* Put() noexcept
    {
        Close();
        return &m_value;
    }
    // Releases now (nothing when empty); false when the platform refused, GetLastError says why.
    bool Close() noexcept
    {
        if (m_value == Type())
            return true;
        return Traits::Close(std::exchange(m_value, Type())) != FALSE;
    }

private:
    Type m_value = Type();
};

struct KernelHandleTraits {
    using Type = HANDLE;
    static BOOL Close(HANDLE handle) { return CloseHandle(handle); }
};

struct ModuleTraits {
    using Type = HMODULE;
    static BOOL Close(HMODULE module) { return FreeLibrary(module); }
};

struct RegistryKeyTraits {
    using Type = HKEY;
    // RegCloseKey returns its error rather than setting it.
    static BOOL Close(HKEY key)
    {
        const LONG result = RegCloseKey(key);
        SetLastError(static_cast<DWORD>(result));
        return result == ERROR_SUCCESS;
    }
};

struct BstrTraits {
    using Type = BSTR;
    static BOOL Close(BSTR text)
    {
        SysFreeString(text);
        return TRUE;
    }
};

// A kernel handle whose "none" is null (CreateMutex, CreateEvent, CreateThread, OpenProcess),
// not INVALID_HANDLE_VALUE.
using UniqueHandle = UniqueResource<KernelHandleTraits>;
// A module from LoadLibrary, freed once.
using UniqueModule = UniqueResource<ModuleTraits>;
// An open registry key (never a predefined one such as HKEY_CURRENT_USER).
using UniqueRegistryKey = UniqueResource<RegistryKeyTraits>;
// A string of COM's (SysAllocString and friends), freed once.
using UniqueBstr = UniqueResource<BstrTraits>;

}  // namespace tsmb
