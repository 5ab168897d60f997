#pragma once
// Holder of the SECURITY_ATTRIBUTES handed to thread, event and registry-key creation.
#include "RefCount.h"

#include <aclapi.h>

namespace tsmb {

class SecurityAttributes : public Object {
public:
    explicit SecurityAttributes(bool inherit = false);
    ~SecurityAttributes() override;

    SECURITY_ATTRIBUTES* GetSecurityAttributes() { return &m_attributes; }
    // What creation calls take: the record when its length is set, else none.
    SECURITY_ATTRIBUTES* GetForCreation() { return m_attributes.nLength ? &m_attributes : nullptr; }

    virtual void SetSecurityInfoDacl(HANDLE handle, SE_OBJECT_TYPE objectType);

private:
    SECURITY_ATTRIBUTES m_attributes;
};

}  // namespace tsmb
