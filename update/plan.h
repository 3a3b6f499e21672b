// Everything the patch knows in advance: where the host application registers
// its folder, which component versions it accepts, which files it replaces and
// how much room it demands. Nothing here can change without a rebuild.
#pragma once

#include "checks/checks.h"

// The host application's App Paths registration, value "Path".
inline constexpr char HOST_REGISTRATION_KEY[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Quilbrex.exe";
inline constexpr char HOST_FOLDER_VALUE[] = "Path";

// Of the 2.5 family the checks accept, the patch takes 2.5.1.1516 to 2.5.1.1519.
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
