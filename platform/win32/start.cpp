// The process's start-up. The program needs nothing of a C runtime, so it
// brings its own minimal entry point: the instance handle in, the exit code
// out, and nothing else happening before or after the update.
#include "platform/platform.h"
#include "update/update_run.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    return RunUpdate(instance);
}

extern "C" void WINAPI UpdateStart()
{
    // The command line and the show state are of no use to a program without a window.
    ExitProcess(static_cast<UINT>(WinMain(GetModuleHandleA(nullptr), nullptr, nullptr, SW_SHOWDEFAULT)));
}
