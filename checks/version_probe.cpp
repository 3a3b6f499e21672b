#include "checks/checks.h"

#include "messages/error_box.h"
#include "messages/messages.h"

namespace {

const ComponentVersion PROBE_FAILED = {TRUE, 0};

ComponentVersion RefuseComponent(HINSTANCE instance, UINT messageId, const char* caption)
{
    ShowErrorBox(instance, messageId, caption);
    return PROBE_FAILED;
}

// Copies the version resource into block and reads the fixed file info from
// it. Only an answer that holds a whole VS_FIXEDFILEINFO inside the block is
// trusted, so a corrupt resource cannot make the probe read past the block.
BOOL ReadFixedFileInfo(const char* componentPath, DWORD handle, DWORD size, BYTE* block, VS_FIXEDFILEINFO* info)
{
    if (!GetFileVersionInfoA(componentPath, handle, size, block))
        return FALSE;
    LPVOID found = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(block, "\\", &found, &length) || found == nullptr || length < sizeof(VS_FIXEDFILEINFO))
        return FALSE;
    const BYTE* start = static_cast<const BYTE*>(found);
    if (size < sizeof(VS_FIXEDFILEINFO) || start < block || DWORD(start - block) > size - sizeof(VS_FIXEDFILEINFO))
        return FALSE;
    const VS_FIXEDFILEINFO* fixed = static_cast<const VS_FIXEDFILEINFO*>(found);
    info->dwFileVersionMS = fixed->dwFileVersionMS;
    info->dwFileVersionLS = fixed->dwFileVersionLS;
    return TRUE;
}

} // namespace

ComponentVersion GetComponentVersion(const char* componentPath, HINSTANCE instance, const char* caption)
{
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeA(componentPath, &handle);
    if (size == 0)
        return RefuseComponent(instance, IDS_NO_VERSION_INFO, caption);

    HANDLE heap = GetProcessHeap();
    BYTE* block = static_cast<BYTE*>(HeapAlloc(heap, 0, size));
    if (block == nullptr) {
        ShowErrorText(OUT_OF_MEMORY_TEXT, caption);
        return PROBE_FAILED;
    }
    VS_FIXEDFILEINFO info = {};
    const BOOL read = ReadFixedFileInfo(componentPath, handle, size, block, &info);
    HeapFree(heap, 0, block);

    if (!read)
        return RefuseComponent(instance, IDS_NO_VERSION_INFO, caption);
    if (info.dwFileVersionMS != REQUIRED_VERSION_MS)
        return RefuseComponent(instance, IDS_WRONG_VERSION, caption);
    return {FALSE, info.dwFileVersionLS};
}
