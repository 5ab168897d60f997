#include "ImportHook.h"

#include <cstring>

namespace testsupport {
namespace {

template <class T>
T* At(HMODULE module, DWORD rva)
{
    return reinterpret_cast<T*>(reinterpret_cast<BYTE*>(module) + rva);
}

}  // namespace

void** FindImportSlot(HMODULE module, const char* dll, const char* function)
{
    if (module == nullptr)
        module = GetModuleHandleW(nullptr);
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(module);
    auto* nt = At<IMAGE_NT_HEADERS>(module, dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (dir.VirtualAddress == 0)
        return nullptr;
    for (auto* desc = At<IMAGE_IMPORT_DESCRIPTOR>(module, dir.VirtualAddress); desc->Name != 0; ++desc) {
        if (dll != nullptr && _stricmp(At<char>(module, desc->Name), dll) != 0)
            continue;
        if (desc->OriginalFirstThunk == 0)
            continue;
        auto* names = At<IMAGE_THUNK_DATA>(module, desc->OriginalFirstThunk);
        auto* slots = At<IMAGE_THUNK_DATA>(module, desc->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            auto* byName = At<IMAGE_IMPORT_BY_NAME>(module, static_cast<DWORD>(names->u1.AddressOfData));
            if (strcmp(reinterpret_cast<const char*>(byName->Name), function) == 0)
                return reinterpret_cast<void**>(&slots->u1.Function);
        }
    }
    return nullptr;
}

void* PatchImportSlot(void** slot, void* value)
{
    DWORD oldProtect = 0;
    if (!VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &oldProtect))
        throw std::runtime_error("VirtualProtect failed on an import slot");
    void* previous = InterlockedExchangePointer(slot, value);
    DWORD ignored = 0;
    VirtualProtect(slot, sizeof(void*), oldProtect, &ignored);
    FlushInstructionCache(GetCurrentProcess(), slot, sizeof(void*));
    return previous;
}

ImportHook::ImportHook(HMODULE module, const char* dll, const char* function, const void* replacement)
    : m_replacement(const_cast<void*>(replacement))
{
    m_slot = FindImportSlot(module, dll, function);
    if (m_slot == nullptr)
        throw std::runtime_error(std::string("module does not import ") + function);
    m_original = PatchImportSlot(m_slot, m_replacement);
}

ImportHook::~ImportHook()
{
    // Hooks on one slot must end in reverse order; restoring anything but our own entry
    // would silently drop a later hook or resurrect a dead one.
    if (*m_slot == m_replacement)
        PatchImportSlot(m_slot, m_original);
    else
        OutputDebugStringA("ImportHook: slot changed under the hook; not restored");
}

}  // namespace testsupport
