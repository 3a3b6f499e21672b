// VERSION.dll is not one of the system's known DLLs. Imported statically, it
// would be looked for beside the exe first, typically in a Downloads folder,
// and loaded before the program could do anything about it. So the program
// does not import it: these three operations, called by their usual names,
// load it from the system directory by its full path when they are needed.
// Where it cannot be loaded they fail as the platform does for a file
// without version information.
#include "platform/platform.h"
#include "platform/text.h"

namespace {

// The export name of VERSION.dll, or nullptr. On success *library must be freed.
FARPROC FindVersionFunction(const char* name, HMODULE* library)
{
    char systemFolder[MAX_PATH];
    const UINT length = GetSystemDirectoryA(systemFolder, MAX_PATH);
    char path[MAX_PATH];
    if (length == 0 || length >= MAX_PATH || !ComposePath(path, systemFolder, "\\version.dll"))
        return nullptr;
    *library = LoadLibraryExA(path, nullptr, 0);
    if (*library == nullptr)
        return nullptr;
    FARPROC found = GetProcAddress(*library, name);
    if (found == nullptr)
        FreeLibrary(*library);
    return found;
}

// GetProcAddress answers with a generic function pointer; void (*)() converts to any other.
template <typename Function>
Function AsFunction(FARPROC found)
{
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(found));
}

} // namespace

DWORD WINAPI GetFileVersionInfoSizeA(LPCSTR fileName, LPDWORD handle)
{
    HMODULE library = nullptr;
    FARPROC found = FindVersionFunction("GetFileVersionInfoSizeA", &library);
    if (found == nullptr)
        return 0;
    const DWORD size = AsFunction<DWORD(WINAPI*)(LPCSTR, LPDWORD)>(found)(fileName, handle);
    FreeLibrary(library);
    return size;
}

BOOL WINAPI GetFileVersionInfoA(LPCSTR fileName, DWORD handle, DWORD size, LPVOID data)
{
    HMODULE library = nullptr;
    FARPROC found = FindVersionFunction("GetFileVersionInfoA", &library);
    if (found == nullptr)
        return FALSE;
    const BOOL copied = AsFunction<BOOL(WINAPI*)(LPCSTR, DWORD, DWORD, LPVOID)>(found)(fileName, handle, size, data);
    FreeLibrary(library);
    return copied;
}

BOOL WINAPI VerQueryValueA(LPCVOID block, LPCSTR subBlock, LPVOID* buffer, PUINT length)
{
    // The answer points into the caller's block, so it outlives the library.
    HMODULE library = nullptr;
    FARPROC found = FindVersionFunction("VerQueryValueA", &library);
    if (found == nullptr)
        return FALSE;
    const BOOL answered = AsFunction<BOOL(WINAPI*)(LPCVOID, LPCSTR, LPVOID*, PUINT)>(found)(block, subBlock, buffer, length);
    FreeLibrary(library);
    return answered;
}
