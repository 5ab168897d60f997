#include "VantorCommand.h"

#include <psapi.h>

#include <cstdlib>

#include "ProcessImage.h"

namespace vantor {

namespace {

const DWORD kSnapshotStep = 1024;

wchar_t FoldAscii(wchar_t c)
{
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

// Compares the first `length` characters, or the whole texts when length is 0.
bool EqualsIgnoringAsciiCase(const wchar_t* text, const wchar_t* expected, size_t length = 0)
{
    for (size_t i = 0; length == 0 || i < length; ++i) {
        if (FoldAscii(text[i]) != FoldAscii(expected[i]))
            return false;
        if (expected[i] == L'\0')
            return true;
    }
    return true;
}

}  // namespace

int HandleCommand(const wchar_t* commandText)
{
    static const wchar_t kPrefix[] = L"vantor:";
    const size_t prefixLength = ARRAYSIZE(kPrefix) - 1;
    const wchar_t* command = commandText ? commandText : L"";
    if (EqualsIgnoringAsciiCase(command, kPrefix, prefixLength))
        command += prefixLength;
    if (!EqualsIgnoringAsciiCase(command, L"restart"))
        return -1;
    return ForEachProcessModuleName(PROCESS_TERMINATE, TerminateIfBrowser) ? 0 : -1;
}

bool ForEachProcessModuleName(DWORD extraAccess, const ProcessAction& action)
{
    DWORD* ids = nullptr;
    DWORD bufferSize = 0;
    DWORD returned = 0;
    // A full buffer may mean a cut list: grow and take the snapshot again.
    do {
        std::free(ids);
        bufferSize += kSnapshotStep;
        ids = static_cast<DWORD*>(std::malloc(bufferSize));
        if (!ids || !EnumProcesses(ids, bufferSize, &returned)) {
            std::free(ids);
            return false;
        }
    } while (returned == bufferSize);

    const DWORD count = returned / sizeof(DWORD);
    for (DWORD i = 0; i < count; ++i) {
        HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | extraAccess, FALSE, ids[i]);
        if (!process)
            continue;
        std::wstring baseName;
        if (tsmb::GetProcessBaseName(process, baseName))
            action(baseName.c_str(), process);
        CloseHandle(process);
    }
    std::free(ids);
    return true;
}

void TerminateIfBrowser(const wchar_t* baseName, HANDLE process)
{
    if (EqualsIgnoringAsciiCase(baseName, L"iexplore.exe"))
        TerminateProcess(process, 0);
}

}  // namespace vantor
