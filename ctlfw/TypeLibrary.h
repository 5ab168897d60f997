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
// perUser: the current user's classes, through RegisterTypeLibForUser and
// UnRegisterTypeLibForUser (looked up at run time): from Vista SP1 on, the plain functions
// ignore a redirected HKEY_CLASSES_ROOT and write HKLM, or fail for a standard user.
HRESULT RegisterModuleTypeLib(bool perUser = false);
HRESULT UnregisterModuleTypeLib(bool perUser = false);

}  // namespace ctlfw
