// vantor.exe: no window, no output; the exit code is the only report.
#include "VantorCommand.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int)
{
    return vantor::HandleCommand(commandLine);
}
