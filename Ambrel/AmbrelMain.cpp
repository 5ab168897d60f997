// Ambrel.exe: the user's shell; no window, no arguments, exit code 0.
#include "AmbrelShell.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    return ambrel::RunShell();
}
