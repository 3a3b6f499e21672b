// Declarations of the Win32 types, constants and operations the program uses,
// for builds that are not for Windows. Sizes and values are those of the
// 32-bit platform; the operations are implemented by the simulated platform.
#pragma once

#include <cstdint>

#define WINAPI
#define CONST const

typedef int BOOL;
typedef unsigned char BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef unsigned int UINT;
typedef uint32_t REGSAM;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef BYTE* LPBYTE;
typedef DWORD* LPDWORD;
typedef UINT* PUINT;
typedef void* HANDLE;
typedef struct SimModule* HINSTANCE;
typedef HINSTANCE HMODULE;
typedef struct SimWindow* HWND;
typedef struct SimKeyHandle* HKEY;
typedef HKEY* PHKEY;
typedef uintptr_t SIZE_T;

#define TRUE 1
#define FALSE 0
#define MAX_PATH 260

#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000002u)))
#define KEY_READ 0x00020019u
#define REG_SZ 1u
#define REG_EXPAND_SZ 2u
#define REG_BINARY 3u
#define REG_DWORD 4u

#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_MORE_DATA 234L

#define MB_OK 0x00000000u
#define MB_ICONERROR 0x00000010u
#define MB_TASKMODAL 0x00002000u

typedef struct tagVS_FIXEDFILEINFO {
    DWORD dwSignature;
    DWORD dwStrucVersion;
    DWORD dwFileVersionMS;
    DWORD dwFileVersionLS;
    DWORD dwProductVersionMS;
    DWORD dwProductVersionLS;
    DWORD dwFileFlagsMask;
    DWORD dwFileFlags;
    DWORD dwFileOS;
    DWORD dwFileType;
    DWORD dwFileSubtype;
    DWORD dwFileDateMS;
    DWORD dwFileDateLS;
} VS_FIXEDFILEINFO;

// Registry (ADVAPI32)
LONG WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result);
LONG WINAPI RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                             LPDWORD dataSize);
LONG WINAPI RegCloseKey(HKEY key);

// Version resources (VERSION)
DWORD WINAPI GetFileVersionInfoSizeA(LPCSTR fileName, LPDWORD handle);
BOOL WINAPI GetFileVersionInfoA(LPCSTR fileName, DWORD handle, DWORD size, LPVOID data);
BOOL WINAPI VerQueryValueA(LPCVOID block, LPCSTR subBlock, LPVOID* buffer, PUINT length);

// Files, drives and memory (KERNEL32)
BOOL WINAPI GetDiskFreeSpaceA(LPCSTR rootPath, LPDWORD sectorsPerCluster, LPDWORD bytesPerSector,
                              LPDWORD freeClusters, LPDWORD totalClusters);
BOOL WINAPI CopyFileA(LPCSTR existingFileName, LPCSTR newFileName, BOOL failIfExists);
HANDLE WINAPI GetProcessHeap();
LPVOID WINAPI HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes);
BOOL WINAPI HeapFree(HANDLE heap, DWORD flags, LPVOID memory);

// Strings and boxes (USER32)
int WINAPI LoadStringA(HINSTANCE instance, UINT id, LPSTR buffer, int bufferMax);
int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
