#pragma once
// The export names of a DLL, read from its file: nothing of it is loaded or run, so a check can
// look at a library whose DllMain must not run in the checking process.
#include <windows.h>

#include <string>
#include <vector>

namespace orvcheck {

struct PeExports {
    WORD machine = 0;  // IMAGE_FILE_MACHINE_I386, _AMD64, ...
    std::vector<std::string> names;
};

// False when the file cannot be opened (error: its Win32 code) or is no well-formed PE image
// (error: ERROR_BAD_EXE_FORMAT).
bool ReadPeExports(const std::wstring& path, PeExports& exports, DWORD& error);

}  // namespace orvcheck
