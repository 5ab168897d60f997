#pragma once
// Unnamed manual-reset event, created not signalled.
#include "RefCount.h"
#include "SecurityAttributes.h"

namespace tsmb {

class SyncEvent : public Object {
public:
    explicit SyncEvent(const RefPtr<SecurityAttributes>& attributes);
    ~SyncEvent() override;

    virtual void Set();
    virtual void Reset();

    HANDLE GetHandle() const { return m_handle; }

private:
    HANDLE m_handle = nullptr;
};

}  // namespace tsmb
