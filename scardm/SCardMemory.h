#pragma once
// Owner of a block the smart-card service allocated (SCARD_AUTOALLOCATE), of the foundation's
// family of owners; header-only.
#include <windows.h>
#include <winscard.h>

#include "UniqueHandle.h"

namespace scardm {

// A block the smart-card service allocated for a call made with SCARD_AUTOALLOCATE, with the
// context that must free it: owned like every other handle (UniqueResource), so a name copied
// out of it that throws does not leak it.
struct SCardBlock {
    SCARDCONTEXT context = 0;
    void* block = nullptr;
    bool operator==(const SCardBlock& other) const { return block == other.block; }
    bool operator!=(const SCardBlock& other) const { return block != other.block; }
};
struct SCardBlockTraits {
    using Type = SCardBlock;
    static BOOL Close(const SCardBlock& b)
    {
        const LONG result = SCardFreeMemory(b.context, b.block);
        SetLastError(static_cast<DWORD>(result));
        return result == SCARD_S_SUCCESS;
    }
};
using SCardMemory = tsmb::UniqueResource<SCardBlockTraits>;
// The slot an SCARD_AUTOALLOCATE call fills, as the call wants it.
inline LPWSTR AutoAllocated(SCardMemory& memory, SCARDCONTEXT context)
{
    SCardBlock* slot = memory.Put();
    slot->context = context;
    return reinterpret_cast<LPWSTR>(&slot->block);
}

}  // namespace scardm
