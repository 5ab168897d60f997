#include "SCardAuthState.h"

ULONG SCardAuthState::AttachWindow(HWND window)
{
    tsmb::CriticalSectionLock lock(m_lock);
    m_window = window;
    ++m_watch;
    return ++m_generation;
}

void SCardAuthState::DetachWindow()
{
    tsmb::CriticalSectionLock lock(m_lock);
    m_window = nullptr;
    ++m_generation;
    ++m_watch;
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

void SCardAuthState::EndWatch(ULONG generation)
{
    tsmb::CriticalSectionLock lock(m_lock);
    if (generation != m_generation)
        return;
    m_activeReader = SCardAuthReader();
    ++m_watch;
}

void SCardAuthState::SetActiveReader(const SCardAuthReader& reader)
{
    tsmb::CriticalSectionLock lock(m_lock);
    m_activeReader = reader;
}

SCardAuthActiveCard SCardAuthState::GetActiveCard()
{
    tsmb::CriticalSectionLock lock(m_lock);
    return SCardAuthActiveCard{m_activeReader, m_watch};
}

bool SCardAuthState::IsCurrentWatch(ULONG watch)
{
    tsmb::CriticalSectionLock lock(m_lock);
    return watch == m_watch;
}
