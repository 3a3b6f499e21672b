// The operations of win32_api.h acting on the installed SimWorld. Each one
// logs its call, honours the world's injected failures, and otherwise answers
// as the real platform documents: statuses, out-parameters and all.
#include "platform/simulated/sim_world.h"


#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

namespace {

SimWorld* g_world = nullptr;

constexpr DWORD VERSION_HEADER_BYTES = 40; // wLength, wValueLength, wType, L"VS_VERSION_INFO", padding
constexpr DWORD VERSION_RESOURCE_BYTES = VERSION_HEADER_BYTES + sizeof(VS_FIXEDFILEINFO);
const uintptr_t FIRST_KEY_HANDLE = 0x1000;

SimWorld& World()
{
    if (g_world == nullptr) {
        (void)std::fputs("simulated platform: an operation was called with no world installed\n", stderr);
        std::abort();
    }
    return *g_world;
}

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string Shown(const char* text)
{
    return text == nullptr ? "null" : text;
}

void Log(const char* name, const std::string& arguments)
{
    World().calls.push_back(std::string(name) + "(" + arguments + ")");
}

// Counts the call and says whether the world wants this one to fail.
bool Fails(SimOp op)
{
    SimWorld& world = World();
    const int call = ++world.callCounts[op];
    return std::any_of(world.failures.begin(), world.failures.end(), [&](const SimFailure& failure) {
        return failure.op == op && (failure.call == 0 || failure.call == call);
    });
}

void Misuse(const std::string& what)
{
    World().misuses.push_back(what);
}

std::string ParentOf(const std::string& resolved)
{
    const size_t slash = resolved.find_last_of('\\');
    if (slash == std::string::npos)
        return "";
    if (slash == 2 && resolved[1] == ':')
        return resolved.substr(0, 3);
    return resolved.substr(0, slash);
}

std::string KeyPath(HKEY root, const std::string& subKey)
{
    if (root != HKEY_LOCAL_MACHINE)
        return "";
    return "hklm\\" + Lower(subKey);
}

// The key path behind an open handle, or nullptr.
std::string* OpenKeyPath(SimWorld& world, HKEY key)
{
    std::vector<std::string>& table = world.keyHandles;
    const uintptr_t handle = reinterpret_cast<uintptr_t>(key);
    if (handle < FIRST_KEY_HANDLE || handle >= FIRST_KEY_HANDLE + table.size())
        return nullptr;
    std::string& path = table[handle - FIRST_KEY_HANDLE];
    return path.empty() ? nullptr : &path;
}

std::string VersionResource(const SimVersion& version)
{
    std::string resource(VERSION_RESOURCE_BYTES, '\0');
    auto put16 = [&](size_t at, DWORD value) {
        resource[at] = static_cast<char>(value & 0xFF);
        resource[at + 1] = static_cast<char>((value >> 8) & 0xFF);
    };
    put16(0, VERSION_RESOURCE_BYTES);
    put16(2, version.fixedInfoLength);
    const char key[] = "VS_VERSION_INFO";
    for (size_t i = 0; i < sizeof key; ++i)
        put16(6 + 2 * i, static_cast<unsigned char>(key[i]));
    VS_FIXEDFILEINFO fixed = {};
    fixed.dwSignature = 0xFEEF04BD;
    fixed.dwStrucVersion = 0x00010000;
    fixed.dwFileVersionMS = fixed.dwProductVersionMS = version.fileVersionMS;
    fixed.dwFileVersionLS = fixed.dwProductVersionLS = version.fileVersionLS;
    std::memcpy(&resource[VERSION_HEADER_BYTES], &fixed, sizeof fixed);
    return resource;
}

bool IsLiveBlock(const void* block, size_t atLeast)
{
    const auto found = World().liveBlocks.find(block);
    return found != World().liveBlocks.end() && found->second >= atLeast;
}

} // namespace

// ---------------------------------------------------------------- the world

void SimInstall(SimWorld* world)
{
    g_world = world;
}

std::string SimResolve(const SimWorld& world, const std::string& path)
{
    std::string full;
    if (path.size() >= 2 && path[0] == '\\' && path[1] == '\\')
        full = path; // UNC
    else if (path.size() >= 2 && path[1] == ':')
        full = path.size() >= 3 && path[2] == '\\' ? path : path.substr(0, 2) + "\\" + path.substr(2);
    else if (!path.empty() && path[0] == '\\')
        full = world.currentDirectory.substr(0, 2) + path;
    else
        full = world.currentDirectory + "\\" + path;

    // Repeated separators count as one, as in the platform's own path handling.
    std::string resolved;
    const size_t keep = full.compare(0, 2, "\\\\") == 0 ? 2 : 0;
    resolved = full.substr(0, keep);
    for (size_t i = keep; i < full.size(); ++i)
        if (full[i] != '\\' || resolved.empty() || resolved.back() != '\\')
            resolved += full[i];
    if (resolved.size() > 3 && resolved.back() == '\\')
        resolved.pop_back();
    return Lower(resolved);
}

void SimAddFolder(SimWorld& world, const std::string& path)
{
    std::string folder = SimResolve(world, path);
    while (!folder.empty() && world.folders.insert(folder).second)
        folder = ParentOf(folder);
}

SimFile& SimAddFile(SimWorld& world, const std::string& path, const std::string& bytes)
{
    const std::string resolved = SimResolve(world, path);
    SimAddFolder(world, ParentOf(resolved));
    SimFile& file = world.files[resolved];
    file = SimFile();
    file.path = path;
    file.bytes = bytes;
    return file;
}

SimFile& SimAddComponent(SimWorld& world, const std::string& path, const std::string& bytes, DWORD versionMS,
                         DWORD versionLS)
{
    SimFile& file = SimAddFile(world, path, bytes);
    file.hasVersion = true;
    file.version.fileVersionMS = versionMS;
    file.version.fileVersionLS = versionLS;
    return file;
}

void SimSetValue(SimWorld& world, const std::string& key, const std::string& name, DWORD type,
                 const std::string& data)
{
    SimValue& value = world.keys["hklm\\" + Lower(key)].values[Lower(name)];
    value.type = type;
    value.data = data;
}

const SimFile* SimFindFile(const SimWorld& world, const std::string& path)
{
    const auto found = world.files.find(SimResolve(world, path));
    return found == world.files.end() ? nullptr : &found->second;
}

std::vector<std::string> SimCallsOf(const SimWorld& world, const std::string& opName)
{
    std::vector<std::string> matching;
    const std::string prefix = opName + "(";
    std::copy_if(world.calls.begin(), world.calls.end(), std::back_inserter(matching),
                 [&](const std::string& call) { return call.compare(0, prefix.size(), prefix) == 0; });
    return matching;
}

// ------------------------------------------------------------------ registry

LONG WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result)
{
    SimWorld& world = World();
    char figures[64];
    (void)std::snprintf(figures, sizeof figures, ", %u, 0x%X", unsigned(options), unsigned(access));
    Log("RegOpenKeyExA",
        std::string(key == HKEY_LOCAL_MACHINE ? "HKLM" : "?") + ", " + Shown(subKey) + figures);
    if (result == nullptr || subKey == nullptr) {
        Misuse("RegOpenKeyExA without a subkey or a result");
        return ERROR_ACCESS_DENIED;
    }
    if (Fails(SimOp::RegOpenKeyExA))
        return ERROR_ACCESS_DENIED;
    const auto found = world.keys.find(KeyPath(key, subKey));
    if (found == world.keys.end())
        return ERROR_FILE_NOT_FOUND;
    if (!found->second.openable)
        return ERROR_ACCESS_DENIED;
    world.keyHandles.push_back(found->first);
    *result = reinterpret_cast<HKEY>(FIRST_KEY_HANDLE + world.keyHandles.size() - 1);
    ++world.openKeys;
    return ERROR_SUCCESS;
}

LONG WINAPI RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                             LPDWORD dataSize)
{
    SimWorld& world = World();
    Log("RegQueryValueExA",
        Shown(valueName) + ", " + (dataSize ? std::to_string(*dataSize) : std::string("null")));
    if (reserved != nullptr)
        Misuse("RegQueryValueExA with a reserved argument");
    if (data != nullptr && dataSize == nullptr) {
        Misuse("RegQueryValueExA with data but no size");
        return 87; // ERROR_INVALID_PARAMETER
    }
    std::string* path = OpenKeyPath(world, key);
    if (path == nullptr) {
        Misuse("RegQueryValueExA on a key that is not open");
        return 6; // ERROR_INVALID_HANDLE
    }
    if (Fails(SimOp::RegQueryValueExA))
        return ERROR_ACCESS_DENIED;
    const SimKey& simKey = world.keys[*path];
    const auto found = simKey.values.find(Lower(valueName ? valueName : ""));
    if (found == simKey.values.end())
        return ERROR_FILE_NOT_FOUND;
    const SimValue& value = found->second;
    if (type != nullptr)
        *type = value.type;
    const DWORD length = static_cast<DWORD>(value.data.size());
    if (data == nullptr) {
        if (dataSize != nullptr)
            *dataSize = length;
        return ERROR_SUCCESS;
    }
    if (length > *dataSize) {
        *dataSize = length;
        return ERROR_MORE_DATA;
    }
    // Exactly the stored bytes: no terminator is added that was not stored.
    std::copy(value.data.begin(), value.data.end(), data);
    *dataSize = length;
    return ERROR_SUCCESS;
}

LONG WINAPI RegCloseKey(HKEY key)
{
    SimWorld& world = World();
    Log("RegCloseKey", "");
    std::string* path = OpenKeyPath(world, key);
    if (path == nullptr) {
        Misuse("RegCloseKey on a key that is not open");
        return 6;
    }
    path->clear();
    --world.openKeys;
    return Fails(SimOp::RegCloseKey) ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
}

// ------------------------------------------------------- version resources

DWORD WINAPI GetFileVersionInfoSizeA(LPCSTR fileName, LPDWORD handle)
{
    const SimWorld& world = World();
    Log("GetFileVersionInfoSizeA", Shown(fileName));
    if (handle != nullptr)
        *handle = 0;
    if (fileName == nullptr || Fails(SimOp::GetFileVersionInfoSizeA))
        return 0;
    const SimFile* file = SimFindFile(world, fileName);
    return file != nullptr && file->hasVersion ? VERSION_RESOURCE_BYTES : 0;
}

BOOL WINAPI GetFileVersionInfoA(LPCSTR fileName, DWORD handle, DWORD size, LPVOID data)
{
    const SimWorld& world = World();
    Log("GetFileVersionInfoA", Shown(fileName) + ", " + std::to_string(size));
    (void)handle;
    if (data == nullptr || !IsLiveBlock(data, size)) {
        Misuse("GetFileVersionInfoA into a block smaller than the size passed");
        return FALSE;
    }
    if (Fails(SimOp::GetFileVersionInfoA))
        return FALSE;
    const SimFile* file = SimFindFile(world, fileName);
    if (file == nullptr || !file->hasVersion)
        return FALSE;
    const std::string resource = VersionResource(file->version);
    std::memcpy(data, resource.data(), std::min<size_t>(size, resource.size()));
    return TRUE;
}

BOOL WINAPI VerQueryValueA(LPCVOID block, LPCSTR subBlock, LPVOID* buffer, PUINT length)
{
    Log("VerQueryValueA", Shown(subBlock));
    if (!IsLiveBlock(block, VERSION_HEADER_BYTES) || buffer == nullptr || length == nullptr) {
        Misuse("VerQueryValueA on something that is not a version block");
        return FALSE;
    }
    if (Fails(SimOp::VerQueryValueA) || subBlock == nullptr || std::strcmp(subBlock, "\\") != 0)
        return FALSE;
    const unsigned char* bytes = static_cast<const unsigned char*>(block);
    const UINT valueLength = static_cast<UINT>(bytes[2] | (bytes[3] << 8));
    if (valueLength == 0)
        return FALSE;
    *buffer = const_cast<unsigned char*>(bytes + VERSION_HEADER_BYTES);
    *length = valueLength;
    return TRUE;
}

// ---------------------------------------------------- files, drives, memory

BOOL WINAPI GetDiskFreeSpaceA(LPCSTR rootPath, LPDWORD sectorsPerCluster, LPDWORD bytesPerSector,
                              LPDWORD freeClusters, LPDWORD totalClusters)
{
    SimWorld& world = World();
    Log("GetDiskFreeSpaceA", Shown(rootPath));
    if (rootPath == nullptr || Fails(SimOp::GetDiskFreeSpaceA))
        return FALSE;
    const std::string root = rootPath;
    char letter = 0;
    if (root == "\\")
        letter = world.currentDirectory[0];
    else if (root.size() == 3 && root[1] == ':' && root[2] == '\\')
        letter = root[0];
    else
        return FALSE;
    const auto found = world.drives.find(static_cast<char>(std::toupper(static_cast<unsigned char>(letter))));
    if (found == world.drives.end())
        return FALSE;
    const SimDrive& drive = found->second;
    if (sectorsPerCluster)
        *sectorsPerCluster = drive.sectorsPerCluster;
    if (bytesPerSector)
        *bytesPerSector = drive.bytesPerSector;
    if (freeClusters)
        *freeClusters = drive.freeClusters;
    if (totalClusters)
        *totalClusters = drive.totalClusters;
    return TRUE;
}

BOOL WINAPI CopyFileA(LPCSTR existingFileName, LPCSTR newFileName, BOOL failIfExists)
{
    SimWorld& world = World();
    Log("CopyFileA",
        Shown(existingFileName) + ", " + Shown(newFileName) + ", " + std::to_string(failIfExists));
    if (existingFileName == nullptr || newFileName == nullptr || Fails(SimOp::CopyFileA))
        return FALSE;
    const std::string source = SimResolve(world, existingFileName);
    const std::string destination = SimResolve(world, newFileName);
    const auto found = world.files.find(source);
    if (found == world.files.end() || source == destination)
        return FALSE;
    if (world.folders.count(ParentOf(destination)) == 0)
        return FALSE;
    const auto existing = world.files.find(destination);
    if (existing != world.files.end() && (failIfExists || existing->second.readOnly))
        return FALSE;
    SimFile copy = found->second;
    copy.path = newFileName;
    copy.readOnly = false;
    world.files[destination] = copy;
    return TRUE;
}

HANDLE WINAPI GetProcessHeap()
{
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x00150000));
}

LPVOID WINAPI HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes)
{
    SimWorld& world = World();
    Log("HeapAlloc", std::to_string(bytes));
    if (heap != GetProcessHeap() || flags != 0)
        Misuse("HeapAlloc on another heap or with flags");
    if (Fails(SimOp::HeapAlloc))
        return nullptr;
    void* block = std::malloc(bytes == 0 ? 1 : bytes);
    world.liveBlocks[block] = bytes;
    return block;
}

BOOL WINAPI HeapFree(HANDLE heap, DWORD flags, LPVOID memory)
{
    SimWorld& world = World();
    Log("HeapFree", "");
    (void)flags;
    if (heap != GetProcessHeap() || world.liveBlocks.erase(memory) == 0) {
        Misuse("HeapFree of a block that is not live");
        return FALSE;
    }
    std::free(memory);
    return TRUE;
}

// ------------------------------------------------------- strings and boxes

int WINAPI LoadStringA(HINSTANCE instance, UINT id, LPSTR buffer, int bufferMax)
{
    const SimWorld& world = World();
    Log("LoadStringA", std::to_string(id) + ", " + std::to_string(bufferMax));
    if (buffer == nullptr || bufferMax <= 0) {
        Misuse("LoadStringA without a buffer");
        return 0;
    }
    if (instance != world.module || Fails(SimOp::LoadStringA))
        return 0;
    for (size_t i = 0; i < SIM_STRING_TABLE_SIZE; ++i) {
        const SimString& entry = SIM_STRING_TABLE[i];
        if (entry.id != id)
            continue;
        const size_t length = std::min(std::strlen(entry.text), static_cast<size_t>(bufferMax - 1));
        std::memcpy(buffer, entry.text, length);
        buffer[length] = '\0';
        return static_cast<int>(length);
    }
    return 0;
}

int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type)
{
    SimWorld& world = World();
    char style[16];
    (void)std::snprintf(style, sizeof style, "0x%X", type);
    Log("MessageBoxA", Shown(text) + ", " + Shown(caption) + ", " + style);
    world.boxes.push_back({owner, Shown(text), Shown(caption), type});
    return Fails(SimOp::MessageBoxA) ? 0 : 1; // IDOK
}
