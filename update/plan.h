// Everything the patch knows in advance, as the program sees it: where the
// host application registers its folder, which component versions it accepts,
// which files it replaces and how much room it demands. The facts themselves
// are written once, in plan/plan.inc; nothing here can change without a
// rebuild.
#pragma once

#include "checks/checks.h"

struct ComponentUpdate {
    const char* sourceName;   // new file, in the current directory
    const char* targetSuffix; // appended to the install folder
    const char* backupSuffix; // appended to the install folder
    DWORD bytesA;             // the two byte counts the free-space check
    DWORD bytesB;             // must find room for before this row's copies
};

// The host application's registration; the versions, the patch taking the
// outdated one of the family the checks accept to the updated one; the notes
// file, copied after the last row.
#define PLAN_HOST_REGISTRATION(key, value)                                                                     \
    inline constexpr char HOST_REGISTRATION_KEY[] = key;                                                       \
    inline constexpr char HOST_FOLDER_VALUE[] = value;
#define PLAN_OUTDATED_VERSION(version)                                                                         \
    static_assert(IsFileVersion(version), "the outdated version is four numbers of at most 65535");            \
    inline constexpr DWORD OUTDATED_VERSION_LS = FileVersionLS(version);
#define PLAN_UPDATED_VERSION(version)                                                                          \
    static_assert(IsFileVersion(version), "the updated version is four numbers of at most 65535");             \
    static_assert(FileVersionMS(version) == REQUIRED_VERSION_MS, "both versions share their first two numbers"); \
    inline constexpr DWORD UPDATED_VERSION_LS = FileVersionLS(version);                                        \
    static_assert(UPDATED_VERSION_LS > OUTDATED_VERSION_LS, "the updated version is the later one");
#define PLAN_COMPONENT(name, backupName, bytesA, bytesB)
#define PLAN_NOTES(name)                                                                                       \
    inline constexpr char NOTES_SOURCE_NAME[] = name;                                                          \
    inline constexpr char NOTES_TARGET_SUFFIX[] = "\\" name;
#include "plan/plan.inc"

// The rows, in the plan's order.
#undef PLAN_HOST_REGISTRATION
#undef PLAN_OUTDATED_VERSION
#undef PLAN_UPDATED_VERSION
#undef PLAN_COMPONENT
#undef PLAN_NOTES
#define PLAN_HOST_REGISTRATION(key, value)
#define PLAN_OUTDATED_VERSION(version)
#define PLAN_UPDATED_VERSION(version)
#define PLAN_COMPONENT(name, backupName, bytesA, bytesB) {name, "\\" name, "\\" backupName, bytesA, bytesB},
#define PLAN_NOTES(name)
inline constexpr ComponentUpdate UpdatePlan[] = {
#include "plan/plan.inc"
};
#undef PLAN_HOST_REGISTRATION
#undef PLAN_OUTDATED_VERSION
#undef PLAN_UPDATED_VERSION
#undef PLAN_COMPONENT
#undef PLAN_NOTES
