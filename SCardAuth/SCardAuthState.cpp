#include "SCardAuthState.h"

ULONG SCardAuthState::AttachWindow(HWND window)
{
    tsmb::CriticalSectionLock lock(m_lock);
    m_window = window;
    return ++m_generation;
}

void SCardAuthState::DetachWindow()
{
    tsmb::CriticalSectionLock lock(m_lock);
    m_window = nullptr;
    ++m_generation;
    m_activeReader = SCardAuthReader();
}

bool SCardAuthState::Post(ULONG generation, UINT message, WPARAM wParam, LPARAM lParam)
{
    // Posted under the lock: once DetachWindow returned, nothing reaches a window that is gone
    // or that the system gave to somebody else.
    tsmb::CriticalSectionLock lock(m_lock);
    return generation == m_generation && m_window && PostMessageW(m_window, message, wParam, lParam);
}

bool SCardAuthState::PostToWindow(UINT message, WPARAM wParam, LPARAM lParam)
{
    tsmb::CriticalSectionLock lock(m_lock);
    return m_window && PostMessageW(m_window, message, wParam, lParam);
}

void SCardAuthState::SetActiveReader(ULONG generation, const SCardAuthReader& reader)
{
    tsmb::CriticalSectionLock lock(m_lock);
    if (generation == m_generation && m_window)
        m_activeReader = reader;
}

void SCardAuthState::SetActiveReader(const SCardAuthReader& reader)
{
    tsmb::CriticalSectionLock lock(m_lock);
    m_activeReader = reader;
}

SCardAuthReader SCardAuthState::GetActiveReader()
{
    tsmb::CriticalSectionLock lock(m_lock);
    return m_activeReader;
}
