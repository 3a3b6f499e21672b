// The read-only queries that decide whether the update may touch anything.
#pragma once

#include "platform/platform.h"

// Reads a REG_SZ value into buffer. bufferSize: in, the buffer's size in
// bytes; out, the size the platform reported. On TRUE the buffer holds a
// terminated string; data that fills the buffer without a terminator, or of
// any other type, gives FALSE.
BOOL ReadRegistryString(HKEY root, const char* subKey, const char* valueName, char* buffer, DWORD* bufferSize);

// A file version as people write it, "1.2.3.4": four numbers of at most
// 65535. The platform's VS_FIXEDFILEINFO holds the first two in its high
// double-word and the last two in its low one. Read at compile time only.
constexpr bool IsFileVersion(const char* text)
{
    int numbers = 0;
    DWORD number = 0;
    bool digits = false;
    for (;; ++text) {
        if (*text >= '0' && *text <= '9') {
            number = number * 10 + DWORD(*text - '0');
            digits = true;
            if (number > 0xFFFF)
                return false;
        } else if ((*text == '.' || *text == '\0') && digits && numbers < 4) {
            ++numbers;
            if (*text == '\0')
                return numbers == 4;
            number = 0;
            digits = false;
        } else {
            return false;
        }
    }
}

// The index-th number (0 to 3) of a file version that IsFileVersion accepts.
constexpr DWORD FileVersionNumber(const char* text, int index)
{
    for (; index > 0 && *text != '\0'; ++text)
        if (*text == '.')
            --index;
    DWORD number = 0;
    for (; *text >= '0' && *text <= '9'; ++text)
        number = number * 10 + DWORD(*text - '0');
    return number;
}

constexpr DWORD FileVersionMS(const char* text)
{
    return FileVersionNumber(text, 0) << 16 | FileVersionNumber(text, 1);
}

constexpr DWORD FileVersionLS(const char* text)
{
    return FileVersionNumber(text, 2) << 16 | FileVersionNumber(text, 3);
}

// The file version family the probe accepts, in the high word: the first two
// numbers of the plan's versions. The plan (plan/plan.inc) holds data and no
// code, so the checks read it as the run does; update/plan.h checks that both
// of its versions are of this family.
#define PLAN_HOST_REGISTRATION(key, value)
#define PLAN_OUTDATED_VERSION(version) inline constexpr DWORD REQUIRED_VERSION_MS = FileVersionMS(version);
#define PLAN_UPDATED_VERSION(version)
#define PLAN_COMPONENT(name, backupName, bytesA, bytesB)
#define PLAN_NOTES(name)
#include "plan/plan.inc"
#undef PLAN_HOST_REGISTRATION
#undef PLAN_OUTDATED_VERSION
#undef PLAN_UPDATED_VERSION
#undef PLAN_COMPONENT
#undef PLAN_NOTES

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
