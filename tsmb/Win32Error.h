#pragma once
// The one exception type for failed platform calls.
#include <windows.h>

#include <exception>
#include <string>

// The library's own codes; both carry the customer bit (0x20000000) of Win32 error codes.
constexpr DWORD ERROR_TSMB_ERROR_INVALID_REGISTRY_VALUE_SIZE = 0x20002711;
constexpr DWORD ERROR_TSMB_ERROR_INVALID_REGISTRY_VALUE_TYPE = 0x20002712;

namespace tsmb {

class Win32Error : public std::exception {
public:
    explicit Win32Error(DWORD code) : m_code(code) {}
    Win32Error(const Win32Error& other) = default;
    Win32Error& operator=(const Win32Error& other) = default;
    ~Win32Error() override = default;

    // "Win32 error: " and the code as a signed decimal, built on first use.
    const char* what() const noexcept override;

    DWORD GetErrorCode() const { return m_code; }

private:
    DWORD m_code;
    mutable std::string m_message;
};

}  // namespace tsmb
