// Everything the patch knows in advance: where the host application registers
// its folder, which component versions it accepts, which files it replaces and
// how much room it demands. Nothing here can change without a rebuild.
#pragma once

#include "platform/platform.h"

// Texts of boxes and captions fit this buffer, terminator included.
inline constexpr int MESSAGE_BUFFER_SIZE = 200;

// The host application's App Paths registration, value "Path".
inline constexpr char HOST_REGISTRATION_KEY[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Quilbrex.exe";
inline constexpr char HOST_FOLDER_VALUE[] = "Path";

// A file version is 2.5.build.revision; the patch takes 2.5.1.1516 to 2.5.1.1519.
inline constexpr DWORD REQUIRED_VERSION_MS = 0x00020005;
inline constexpr DWORD OUTDATED_VERSION_LS = 0x000105EC;
inline constexpr DWORD UPDATED_VERSION_LS = 0x000105EF;

struct ComponentUpdate {
    const char* sourceName;   // new file, in the current directory
    const char* targetSuffix; // appended to the install folder
    const char* backupSuffix; // appended to the install folder
    DWORD bytesA;             // the two byte counts the free-space check
    DWORD bytesB;             // must find room for before this row's copies
};

inline constexpr ComponentUpdate UpdatePlan[] = {
    {"Kestovar.ocx", "\\Kestovar.ocx", "\\Kestovar.old", 319567, 323663},
    {"Sorvalen.ocx", "\\Sorvalen.ocx", "\\Sorvalen.old", 536647, 532551},
};

inline constexpr char NOTES_SOURCE_NAME[] = "QuilbrexPatch.txt";
inline constexpr char NOTES_TARGET_SUFFIX[] = "\\QuilbrexPatch.txt";

// Shown when the version block cannot be allocated; the catalogue may not load then either.
inline constexpr char OUT_OF_MEMORY_TEXT[] = "Out of memory.";
