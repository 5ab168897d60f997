#include "VantorCommand.h"

#include "NameCompare.h"
#include "ProcessImage.h"

namespace vantor {

int HandleCommand(const wchar_t* commandText)
{
    static const wchar_t kPrefix[] = L"vantor:";
    const wchar_t* command = commandText ? commandText : L"";
    if (tsmb::StartsWithIgnoringCase(command, kPrefix))
        command += ARRAYSIZE(kPrefix) - 1;
    if (!tsmb::EqualsIgnoringCase(command, L"restart"))
        return -1;
    return tsmb::ForEachProcessBaseName(PROCESS_TERMINATE, TerminateIfBrowser) ? 0 : -1;
}

void TerminateIfBrowser(const wchar_t* baseName, HANDLE process)
{
    if (tsmb::IsBrowserImage(baseName))
        TerminateProcess(process, 0);
}

}  // namespace vantor
