#include "MemoryScan.h"

namespace testsupport {

Needle MakePin(wchar_t* pin, size_t digits)
{
    Needle needle;
    LARGE_INTEGER seed;
    QueryPerformanceCounter(&seed);
    unsigned value = static_cast<unsigned>(seed.LowPart) | 1;
    for (size_t i = 0; i < digits; ++i) {
        value = value * 1103515245u + 12345u;
        pin[i] = static_cast<wchar_t>(L'0' + (value >> 16) % 10);
    }
    pin[digits] = L'\0';
    for (size_t i = 0; i < digits * sizeof(wchar_t); ++i)
        needle.inverted.push_back(static_cast<BYTE>(~reinterpret_cast<const BYTE*>(pin)[i]));
    return needle;
}

std::vector<const BYTE*> FindCopies(const Needle& needle)
{
    std::vector<const BYTE*> found;
    const size_t size = needle.inverted.size();
    MEMORY_BASIC_INFORMATION info;
    for (const BYTE* address = nullptr; VirtualQuery(address, &info, sizeof(info)) == sizeof(info);
         address = static_cast<const BYTE*>(info.BaseAddress) + info.RegionSize) {
        const DWORD readable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                               PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
        if (info.State != MEM_COMMIT || !(info.Protect & readable) || (info.Protect & PAGE_GUARD))
            continue;
        const BYTE* region = static_cast<const BYTE*>(info.BaseAddress);
        for (SIZE_T i = 0; i + size <= info.RegionSize; ++i) {
            if (region[i] != static_cast<BYTE>(~needle.inverted[0]))
                continue;
            size_t j = 1;
            while (j < size && region[i + j] == static_cast<BYTE>(~needle.inverted[j]))
                ++j;
            if (j == size)
                found.push_back(region + i);
        }
        if (static_cast<const BYTE*>(info.BaseAddress) + info.RegionSize < address)
            break;
    }
    return found;
}

Needle NarrowNeedle(const Needle& wide)
{
    Needle narrow;
    for (size_t i = 0; i < wide.inverted.size(); i += sizeof(wchar_t))
        narrow.inverted.push_back(wide.inverted[i]);
    return narrow;
}

}  // namespace testsupport
