#pragma once
// Replaces one imported function in one module's import address table for the lifetime of the
// object. Product code compiled apart from a test always calls through its import table, so
// a hook installed before the call reaches it.
#include <windows.h>

#include <stdexcept>
#include <string>

namespace testsupport {

class ImportHook {
public:
    // module: the importing module (nullptr: the test program). dll: the exporting DLL as
    // named in the import table (case-insensitive), or nullptr for any. function: its name.
    ImportHook(HMODULE module, const char* dll, const char* function, const void* replacement);
    // Hooks function in module, whatever DLL it comes from.
    template <class F>
    ImportHook(HMODULE module, const char* function, F* replacement)
        : ImportHook(module, nullptr, function, reinterpret_cast<const void*>(replacement))
    {
    }
    ~ImportHook();
    ImportHook(const ImportHook&) = delete;
    ImportHook& operator=(const ImportHook&) = delete;

    // The entry that was in the slot when the hook went in (what a pass-through calls).
    template <class F>
    F Original() const { return reinterpret_cast<F>(m_original); }

private:
    void** m_slot = nullptr;
    void* m_original = nullptr;
    void* m_replacement = nullptr;
};

// Writes one pointer into an import slot; returns the previous value.
void* PatchImportSlot(void** slot, void* value);

// The import slot of function in module, or nullptr when the module does not import it.
void** FindImportSlot(HMODULE module, const char* dll, const char* function);

// The DLL's own export, for pass-through replacements (a call by name inside a replacement
// would go through the hooked slot again).
template <class F>
F RealExport(const wchar_t* dll, const char* function)
{
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(dll), function)));
}

}  // namespace testsupport

