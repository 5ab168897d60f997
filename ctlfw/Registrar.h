#pragma once
// Registration from registry scripts (resources of type "REGISTRY") through the system's
// registrar in atl.dll, so the scripts stay data; and per-user registration, which sends
// everything written under HKEY_CLASSES_ROOT to the current user's classes.
#include <windows.h>

namespace ctlfw {

struct Replacement {
    const wchar_t* key;  // "MODULE" stands for %MODULE% in the script
    const wchar_t* value;
};

// Registers (or removes) what the script resource id of the module describes.
HRESULT UpdateRegistryFromResource(UINT resourceId, bool doRegister, const Replacement* replacements, size_t count);

// While it lives, HKEY_CLASSES_ROOT of this process is HKCU\Software\Classes (when active).
class PerUserClasses {
public:
    explicit PerUserClasses(bool active);
    ~PerUserClasses();
    PerUserClasses(const PerUserClasses&) = delete;
    PerUserClasses& operator=(const PerUserClasses&) = delete;

    HRESULT Result() const { return m_result; }

private:
    HKEY m_classes = nullptr;
    HRESULT m_result = S_OK;
};

}  // namespace ctlfw
