#include "checks/checks.h"

BOOL ReadRegistryString(HKEY root, const char* subKey, const char* valueName, char* buffer, DWORD* bufferSize)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, subKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return FALSE;

    const DWORD capacity = *bufferSize;
    DWORD type = 0;
    const LONG status =
        RegQueryValueExA(key, valueName, nullptr, &type, reinterpret_cast<LPBYTE>(buffer), bufferSize);
    RegCloseKey(key);
    const DWORD length = *bufferSize;
    if (status != ERROR_SUCCESS || type != REG_SZ || length > capacity)
        return FALSE;

    // The platform does not promise a terminator. Data that fills the buffer
    // to the last byte must end with one; shorter data gets one after it.
    if (length == capacity)
        return length > 0 && buffer[length - 1] == '\0';
    buffer[length] = '\0';
    return TRUE;
}
