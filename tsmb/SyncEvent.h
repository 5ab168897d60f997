#pragma once
// Unnamed manual-reset event, created not signalled.
#include "RefCount.h"
#include "SecurityAttributes.h"
#include "UniqueHandle.h"

namespace tsmb {

class SyncEvent : public Object {
public:
    explicit SyncEvent(const RefPtr<SecurityAttributes>& attributes);

    virtual void Set();
    virtual void Reset();

    HANDLE GetHandle() const { return m_handle.Get(); }

private:
    UniqueHandle m_handle;
};

}  // namespace tsmb
