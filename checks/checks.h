// The read-only queries that decide whether the update may touch anything.
#pragma once

#include "platform/platform.h"

// Reads a REG_SZ value into buffer. bufferSize: in, the buffer's size in
// bytes; out, the size the platform reported. On TRUE the buffer holds a
// terminated string; data that fills the buffer without a terminator, or of
// any other type, gives FALSE.
BOOL ReadRegistryString(HKEY root, const char* subKey, const char* valueName, char* buffer, DWORD* bufferSize);

// The file version family the probe accepts: 2.5.x.x, in the high word.
inline constexpr DWORD REQUIRED_VERSION_MS = 0x00020005;

// The probe's answer. A failed probe has already told the user why.
struct ComponentVersion {
    BOOL failed;
    DWORD fileVersionLS; // build and revision; only meaningful when not failed
};

// Reads the file version of an installed component. Fails, after showing
// its own box, unless the file has a readable version resource of version
// 2.5.x.x; the caller then stops without a box of its own.
ComponentVersion GetComponentVersion(const char* componentPath, HINSTANCE instance, const char* caption);

// TRUE when the drive of installFolder has room for two files of the given
// sizes, counted in whole clusters with one cluster to spare for each.
BOOL HasEnoughDiskSpace(const char* installFolder, DWORD bytesA, DWORD bytesB);
