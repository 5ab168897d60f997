#pragma once
// One owner per kernel handle or loaded module: released by the owner's destructor, movable,
// never copied, so a handle is released exactly once. Header-only: the release call is made
// from the owner's own module, through that module's imports.
#include <windows.h>

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

// A kernel handle whose "none" is null (CreateMutex, CreateEvent, CreateThread, OpenProcess),
// not INVALID_HANDLE_VALUE.
using UniqueHandle = UniqueResource<KernelHandleTraits>;
// A module from LoadLibrary, freed once.
using UniqueModule = UniqueResource<ModuleTraits>;

}  // namespace tsmb
