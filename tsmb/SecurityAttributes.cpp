#include "SecurityAttributes.h"

#include "Trace.h"
#include "Win32Error.h"

namespace tsmb {

SecurityAttributes::SecurityAttributes(bool inherit)
{
    m_attributes.nLength = sizeof(SECURITY_ATTRIBUTES);
    m_attributes.lpSecurityDescriptor = nullptr;
    m_attributes.bInheritHandle = inherit ? TRUE : FALSE;
}

SecurityAttributes::~SecurityAttributes()
{
    if (m_attributes.lpSecurityDescriptor) {
        LocalFree(m_attributes.lpSecurityDescriptor);
        m_attributes.lpSecurityDescriptor = nullptr;
    }
}

void SecurityAttributes::SetSecurityInfoDacl(HANDLE handle, SE_OBJECT_TYPE objectType)
{
    static const char* const kName = "tsmb::SecurityAttributes::SetSecurityInfoDacl";
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (m_attributes.lpSecurityDescriptor == nullptr) {
        Trace("%S%s: no security descriptor: failed with last error: %ld", GetComponentPrefix(), kName,
              static_cast<long>(ERROR_INVALID_SECURITY_DESCR));
        throw Win32Error(ERROR_INVALID_SECURITY_DESCR);
    }
    if (!GetSecurityDescriptorDacl(m_attributes.lpSecurityDescriptor, &present, &dacl, &defaulted)) {
        const DWORD code = GetLastError();
        Trace("%S%s::GetSecurityDescriptorDacl: failed with last error: %ld", GetComponentPrefix(), kName, code);
        throw Win32Error(code);
    }
    if (!present) {
        Trace("%S%s:GetSecurityDescriptorDacl: DACL is not present: failed with last error: %ld",
              GetComponentPrefix(), kName, static_cast<long>(ERROR_INTERNAL_ERROR));
        throw Win32Error(ERROR_INTERNAL_ERROR);
    }
    if (dacl == nullptr) {
        Trace("%S%s:GetSecurityDescriptorDacl: DACL is null: failed with last error: %ld",
              GetComponentPrefix(), kName, static_cast<long>(ERROR_INTERNAL_ERROR));
        throw Win32Error(ERROR_INTERNAL_ERROR);
    }
    const DWORD result =
        SetSecurityInfo(handle, objectType, DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl, nullptr);
    if (result != ERROR_SUCCESS) {
        Trace("%S%s:SetSecurityInfo: failed with error: %ld", GetComponentPrefix(), kName, result);
        throw Win32Error(result);
    }
}

}  // namespace tsmb
