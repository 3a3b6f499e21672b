// The simulated platform: an in-memory machine that the operations of
// win32_api.h act on. Tests lay out a world (registry, files, drives, current
// directory), install it, run the program's code, then read back what it did:
// every call with its arguments, every box shown, every file written.
#pragma once

#include "platform/simulated/win32_api.h"

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

enum class SimOp : std::uint8_t {
    RegOpenKeyExA,
    RegQueryValueExA,
    RegCloseKey,
    GetFileVersionInfoSizeA,
    GetFileVersionInfoA,
    VerQueryValueA,
    GetDiskFreeSpaceA,
    CopyFileA,
    HeapAlloc,
    LoadStringA,
    MessageBoxA,
};

struct SimValue {
    DWORD type = REG_SZ;
    std::string data; // raw bytes exactly as stored, terminator only if given
};

struct SimKey {
    bool openable = true;
    std::map<std::string, SimValue> values; // by lower-case name
};

struct SimVersion {
    DWORD fileVersionMS = 0;
    DWORD fileVersionLS = 0;
    DWORD fixedInfoLength = sizeof(VS_FIXEDFILEINFO); // what the root-block query reports
};

struct SimFile {
    std::string path; // as first created, for messages
    std::string bytes;
    bool hasVersion = false;
    SimVersion version;
    bool readOnly = false;
};

struct SimDrive {
    DWORD sectorsPerCluster = 8;
    DWORD bytesPerSector = 512;
    DWORD freeClusters = 1000000;
    DWORD totalClusters = 2000000;
};

struct SimBox {
    HWND owner;
    std::string text;
    std::string caption;
    UINT style;
};

// Makes the nth call (1-based) of one operation fail, or every call when call is 0.
struct SimFailure {
    SimOp op = SimOp::CopyFileA;
    int call = 0;
};

// The module's string table. The simulated platform reads it as Windows reads
// the string table linked into an executable; the build links one in
// (messages/string_table.cpp), as the resource compiler does for the exe.
struct SimString {
    UINT id;
    const char* text;
};
extern const SimString SIM_STRING_TABLE[];
extern const size_t SIM_STRING_TABLE_SIZE;

struct SimWorld {
    HINSTANCE module = reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(0x00400000));
    std::map<std::string, SimKey> keys;     // "hklm\\software\\..." in lower case
    std::set<std::string> folders;          // resolved, lower case
    std::map<std::string, SimFile> files;   // resolved, lower case
    std::map<char, SimDrive> drives;        // by upper-case letter
    std::string currentDirectory = "C:\\Downloads\\Patch";
    std::vector<SimFailure> failures;

    // What the program did.
    std::vector<std::string> calls;
    std::vector<SimBox> boxes;
    std::map<SimOp, int> callCounts;
    int openKeys = 0;
    std::vector<std::string> keyHandles; // by handle, from the first; emptied when closed
    std::map<const void*, size_t> liveBlocks;
    std::vector<std::string> misuses; // calls the real platform would not accept
};

// Makes world the machine the operations act on; nullptr uninstalls it.
void SimInstall(SimWorld* world);

// Setting up a world.
void SimAddFolder(SimWorld& world, const std::string& path);
SimFile& SimAddFile(SimWorld& world, const std::string& path, const std::string& bytes);
SimFile& SimAddComponent(SimWorld& world, const std::string& path, const std::string& bytes, DWORD versionMS,
                         DWORD versionLS);
void SimSetValue(SimWorld& world, const std::string& key, const std::string& name, DWORD type,
                 const std::string& data);

// Reading it back. Paths are resolved as the platform would (relative to the
// current directory, case-insensitive, repeated backslashes as one).
std::string SimResolve(const SimWorld& world, const std::string& path);
const SimFile* SimFindFile(const SimWorld& world, const std::string& path);
std::vector<std::string> SimCallsOf(const SimWorld& world, const std::string& opName);
