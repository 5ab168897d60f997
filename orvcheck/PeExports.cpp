#include "PeExports.h"

#include <cstring>

#include "UniqueHandle.h"

namespace orvcheck {

namespace {

struct ViewTraits {
    using Type = const void*;
    static BOOL Close(const void* view) { return UnmapViewOfFile(view); }
};

// The file's bytes, every read checked against its size.
class FileImage {
public:
    FileImage(const BYTE* data, size_t size) : m_data(data), m_size(size) {}

    template <class T>
    const T* At(size_t offset) const
    {
        return offset <= m_size && sizeof(T) <= m_size - offset ? reinterpret_cast<const T*>(m_data + offset) : nullptr;
    }
    // A NUL-terminated name at offset, or false when it runs past the end.
    bool Name(size_t offset, std::string& name) const
    {
        if (offset >= m_size)
            return false;
        const void* end = memchr(m_data + offset, 0, m_size - offset);
        if (!end)
            return false;
        name.assign(reinterpret_cast<const char*>(m_data + offset), static_cast<const BYTE*>(end) - (m_data + offset));
        return true;
    }

private:
    const BYTE* m_data;
    size_t m_size;
};

// The file offset of an address relative to the image, through the section that holds it.
bool RvaToOffset(const IMAGE_SECTION_HEADER* sections, WORD count, DWORD rva, size_t& offset)
{
    for (WORD i = 0; i < count; ++i) {
        const IMAGE_SECTION_HEADER& section = sections[i];
        const DWORD span = section.Misc.VirtualSize > section.SizeOfRawData ? section.Misc.VirtualSize
                                                                             : section.SizeOfRawData;
        if (rva >= section.VirtualAddress && rva - section.VirtualAddress < span) {
            offset = static_cast<size_t>(rva - section.VirtualAddress) + section.PointerToRawData;
            return true;
        }
    }
    return false;
}

// The export directory's place from the optional header, PE32 or PE32+.
bool ExportDirectory(const FileImage& image, size_t optionalHeader, IMAGE_DATA_DIRECTORY& directory)
{
    const WORD* magic = image.At<WORD>(optionalHeader);
    if (magic && *magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
        const auto* header = image.At<IMAGE_OPTIONAL_HEADER32>(optionalHeader);
        if (!header || header->NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_EXPORT)
            return false;
        directory = header->DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
        return true;
    }
    if (magic && *magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        const auto* header = image.At<IMAGE_OPTIONAL_HEADER64>(optionalHeader);
        if (!header || header->NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_EXPORT)
            return false;
        directory = header->DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
        return true;
    }
    return false;
}

bool ParseExports(const FileImage& image, PeExports& exports)
{
    const auto* dos = image.At<IMAGE_DOS_HEADER>(0);
    if (!dos || dos->e_magic != IMAGE_DOS_SIGNATURE || dos->e_lfanew < 0)
        return false;
    const size_t nt = static_cast<size_t>(dos->e_lfanew);
    const DWORD* signature = image.At<DWORD>(nt);
    const auto* file = image.At<IMAGE_FILE_HEADER>(nt + sizeof(DWORD));
    if (!signature || *signature != IMAGE_NT_SIGNATURE || !file)
        return false;
    exports.machine = file->Machine;
    const size_t optionalHeader = nt + sizeof(DWORD) + sizeof(IMAGE_FILE_HEADER);
    IMAGE_DATA_DIRECTORY directory = {};
    if (!ExportDirectory(image, optionalHeader, directory))
        return false;
    if (directory.VirtualAddress == 0)
        return true;  // a DLL that exports nothing
    const size_t sectionTable = optionalHeader + file->SizeOfOptionalHeader;
    const auto* sections = image.At<IMAGE_SECTION_HEADER>(sectionTable);
    if (!sections || !image.At<BYTE>(sectionTable + sizeof(IMAGE_SECTION_HEADER) * file->NumberOfSections - 1))
        return false;
    size_t offset = 0;
    if (!RvaToOffset(sections, file->NumberOfSections, directory.VirtualAddress, offset))
        return false;
    const auto* table = image.At<IMAGE_EXPORT_DIRECTORY>(offset);
    size_t names = 0;
    if (!table ||
        (table->NumberOfNames > 0 && !RvaToOffset(sections, file->NumberOfSections, table->AddressOfNames, names)))
        return false;
    for (DWORD i = 0; i < table->NumberOfNames; ++i) {
        const DWORD* rva = image.At<DWORD>(names + sizeof(DWORD) * i);
        size_t at = 0;
        std::string name;
        if (!rva || !RvaToOffset(sections, file->NumberOfSections, *rva, at) || !image.Name(at, name))
            return false;
        exports.names.push_back(name);
    }
    return true;
}

}  // namespace

bool ReadPeExports(const std::wstring& path, PeExports& exports, DWORD& error)
{
    exports = PeExports();
    const HANDLE opened = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return false;
    }
    const tsmb::UniqueHandle file(opened);
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(file.Get(), &size) || size.QuadPart == 0 || size.QuadPart > 0x10000000) {
        error = ERROR_BAD_EXE_FORMAT;
        return false;
    }
    const tsmb::UniqueHandle mapping(CreateFileMappingW(file.Get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
    const tsmb::UniqueResource<ViewTraits> view(mapping ? MapViewOfFile(mapping.Get(), FILE_MAP_READ, 0, 0, 0)
                                                        : nullptr);
    if (!view) {
        error = GetLastError();
        return false;
    }
    if (!ParseExports(FileImage(static_cast<const BYTE*>(view.Get()), static_cast<size_t>(size.QuadPart)), exports)) {
        error = ERROR_BAD_EXE_FORMAT;
        return false;
    }
    return true;
}

}  // namespace orvcheck
