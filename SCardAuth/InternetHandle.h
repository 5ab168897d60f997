#pragma once
// One WinINet handle, closed by its owner's destructor (through the module's own import of
// InternetCloseHandle). Movable, never copied: a handle is closed exactly once.
#include <windows.h>
#include <wininet.h>

#include <utility>

class InternetHandle {
public:
    InternetHandle() = default;
    explicit InternetHandle(HINTERNET handle) : m_handle(handle) {}
    ~InternetHandle() { Close(); }
    InternetHandle(InternetHandle&& other) noexcept : m_handle(std::exchange(other.m_handle, nullptr)) {}
    InternetHandle& operator=(InternetHandle&& other) noexcept
    {
        if (this != &other) {
            Close();
            m_handle = std::exchange(other.m_handle, nullptr);
        }
        return *this;
    }
    InternetHandle(const InternetHandle&) = delete;
    InternetHandle& operator=(const InternetHandle&) = delete;

    HINTERNET Get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }
    // Hands the handle over without closing it.
    HINTERNET Release() { return std::exchange(m_handle, nullptr); }
    void Close()
    {
        if (m_handle)
            InternetCloseHandle(std::exchange(m_handle, nullptr));
    }

private:
    HINTERNET m_handle = nullptr;
};
