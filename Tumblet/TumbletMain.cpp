// Tumblet.exe: command line ignored, exit code always 0.
#include "Tumblet.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    return tumblet::RunTumblet(instance);
}
