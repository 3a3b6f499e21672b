// The process's start-up. The program needs nothing of a C runtime, so it
// brings its own minimal entry point: restrict where libraries may come
// from, hand the instance handle to the update, exit with what it returns.
#include "platform/platform.h"
#include "update/update_run.h"

namespace {

// A program started from a Downloads folder must never load a library that
// was dropped beside it. SetDefaultDllDirectories is looked up, not imported,
// so the program still starts where the platform lacks it.
void RestrictLibrarySearchToSystemFolder()
{
    const HMODULE kernel = GetModuleHandleA("kernel32.dll");
    FARPROC found = kernel ? GetProcAddress(kernel, "SetDefaultDllDirectories") : nullptr;
    if (found == nullptr)
        return;
    const auto setDefaultDllDirectories = reinterpret_cast<BOOL(WINAPI*)(DWORD)>(reinterpret_cast<void (*)()>(found));
    setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    return RunUpdate(instance);
}

extern "C" void WINAPI UpdateStart()
{
    RestrictLibrarySearchToSystemFolder();
    // The command line and the show state are of no use to a program without a window.
    ExitProcess(static_cast<UINT>(WinMain(GetModuleHandleA(nullptr), nullptr, nullptr, SW_SHOWDEFAULT)));
}
