#include "platform/text.h"

DWORD TextLength(const char* text)
{
    DWORD length = 0;
    while (text[length] != '\0')
        ++length;
    return length;
}

BOOL ComposePath(char (&path)[MAX_PATH], const char* folder, const char* suffix)
{
    const DWORD folderLength = TextLength(folder);
    const DWORD suffixLength = TextLength(suffix);
    path[0] = '\0';
    if (folderLength >= MAX_PATH || suffixLength >= MAX_PATH - folderLength)
        return FALSE;
    DWORD used = 0;
    for (DWORD i = 0; i < folderLength; ++i)
        path[used++] = folder[i];
    for (DWORD i = 0; i < suffixLength; ++i)
        path[used++] = suffix[i];
    path[used] = '\0';
    return TRUE;
}
