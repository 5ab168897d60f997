#include "Win32Error.h"

#include <cstdio>

namespace tsmb {

const char* Win32Error::what() const noexcept
{
    if (m_message.empty()) {
        try {
            char number[16];
            snprintf(number, sizeof(number), "%ld", static_cast<long>(m_code));
            m_message = "Win32 error: ";
            m_message += number;
        } catch (...) {
            return "Win32 error";
        }
    }
    return m_message.c_str();
}

}  // namespace tsmb
