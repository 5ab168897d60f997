#pragma once
// The module's embedded type library (resource TYPELIB 1): type information for IDispatch and
// IProvideClassInfo, and its registration.
#include <oaidl.h>

#include "ComPtr.h"

namespace ctlfw {

// Loads the module's type library without registering it.
HRESULT LoadModuleTypeLib(ComPtr<ITypeLib>& library);
// The type information of guid (an interface or class) in the module's type library.
HRESULT LoadModuleTypeInfo(REFGUID guid, ComPtr<ITypeInfo>& info);

// Registers (or removes) the module's type library under HKEY_CLASSES_ROOT (which
// PerUserClasses may point at the user's classes).
HRESULT RegisterModuleTypeLib();
HRESULT UnregisterModuleTypeLib();

}  // namespace ctlfw
