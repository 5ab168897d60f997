#include "SyncEvent.h"

#include "Trace.h"
#include "Win32Error.h"

namespace tsmb {

SyncEvent::SyncEvent(const RefPtr<SecurityAttributes>& attributes)
{
    m_handle = UniqueHandle(CreateEventW(attributes->GetForCreation(), TRUE, FALSE, nullptr));
    if (!m_handle) {
        const DWORD code = GetLastError();
        Trace("%S%s:CreateEvent: failed with last error: %ld", GetComponentPrefix(), "tsmb::SyncEvent::SyncEvent", code);
        throw Win32Error(code);
    }
}

void SyncEvent::Set()
{
    if (!SetEvent(m_handle.Get())) {
        const DWORD code = GetLastError();
        Trace("%S%s:SetEvent: failed with last error: %ld", GetComponentPrefix(), "tsmb::SyncEvent::Set", code);
        throw Win32Error(code);
    }
}

void SyncEvent::Reset()
{
    if (!ResetEvent(m_handle.Get())) {
        const DWORD code = GetLastError();
        Trace("%S%s:ResetEvent: failed with last error: %ld", GetComponentPrefix(), "tsmb::SyncEvent::Reset", code);
        throw Win32Error(code);
    }
}

}  // namespace tsmb
