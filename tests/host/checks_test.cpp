// The three installation checks against the simulated platform: every
// out-parameter, every failure, every key closed and block freed.
#include "checks/checks.h"
#include "messages/error_box.h"
#include "messages/messages.h"
#include "standard_world.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace {

// ---------------------------------------------------------------- registry

struct RegistryCase {
    const char* name;
    bool keyExists;
    bool keyOpenable;
    DWORD type;
    std::string data; // nothing stored when "<none>"
    BOOL expected;
    std::string expectedText; // when expected
    DWORD expectedSize;       // out-size the caller sees
};

const std::string NO_VALUE = "<none>";

const RegistryCase REGISTRY_CASES[] = {
    {"terminated string", true, true, REG_SZ, Terminated("C:\\Apps"), TRUE, "C:\\Apps", 8},
    {"string without terminator", true, true, REG_SZ, "C:\\Apps", TRUE, "C:\\Apps", 7},
    {"empty string", true, true, REG_SZ, Terminated(""), TRUE, "", 1},
    {"no bytes at all", true, true, REG_SZ, "", TRUE, "", 0},
    {"259 characters and a terminator fill the buffer", true, true, REG_SZ, Terminated(std::string(259, 'p')),
     TRUE, std::string(259, 'p'), 260},
    {"259 characters without terminator", true, true, REG_SZ, std::string(259, 'p'), TRUE, std::string(259, 'p'),
     259},
    {"260 characters without terminator", true, true, REG_SZ, std::string(260, 'p'), FALSE, "", 260},
    {"larger than the buffer", true, true, REG_SZ, Terminated(std::string(260, 'p')), FALSE, "", 261},
    {"expandable string", true, true, REG_EXPAND_SZ, Terminated("C:\\Apps"), FALSE, "", 8},
    {"number", true, true, REG_DWORD, std::string("\x01\0\0\0", 4), FALSE, "", 4},
    {"value missing", true, true, REG_SZ, NO_VALUE, FALSE, "", 260},
    {"key missing", false, true, REG_SZ, NO_VALUE, FALSE, "", 260},
    {"key not openable", true, false, REG_SZ, Terminated("C:\\Apps"), FALSE, "", 260},
};

TEST(ReadRegistryString, Table)
{
    for (const RegistryCase& c : REGISTRY_CASES) {
        SCOPED_TRACE(c.name);
        SimWorld world;
        const char* key = "Software\\Test";
        if (c.keyExists) {
            world.keys["hklm\\software\\test"].openable = c.keyOpenable;
            if (c.data != NO_VALUE)
                SimSetValue(world, key, "Path", c.type, c.data);
        }
        char buffer[MAX_PATH + 8];
        std::memset(buffer, 'X', sizeof buffer); // poison: a missing terminator shows
        DWORD size = MAX_PATH;
        SimInstall(&world);
        const BOOL result = ReadRegistryString(HKEY_LOCAL_MACHINE, key, "Path", buffer, &size);
        SimInstall(nullptr);

        EXPECT_EQ(c.expected, result);
        EXPECT_EQ(c.expectedSize, size);
        if (c.expected) {
            EXPECT_EQ(c.expectedText, std::string(buffer));
        }
        EXPECT_EQ('X', buffer[MAX_PATH]) << "wrote past the buffer";
        EXPECT_EQ(0, world.openKeys) << "key left open";
        EXPECT_TRUE(world.misuses.empty());
        const bool opened = c.keyExists && c.keyOpenable;
        EXPECT_EQ(opened ? 1u : 0u, SimCallsOf(world, "RegCloseKey").size());
    }
}

// ------------------------------------------------------------ version probe

struct ProbeCase {
    const char* name;
    void (*arrange)(SimWorld&, SimFile&);
    BOOL failed;
    DWORD versionLS;
    const char* boxText; // nullptr: no box
};

const char* const NO_VERSION_INFO_TEXT =
    "Unable to retrieve version information from files to be updated.\nPlease install Corvandel from the Plenthor "
    "7.0 SDK.";
const char* const WRONG_VERSION_TEXT =
    "An incorrect version of Corvandel is installed.\nPlease install Corvandel from the Plenthor 7.0 SDK.";

const ProbeCase PROBE_CASES[] = {
    {"outdated", [](SimWorld&, SimFile&) {}, FALSE, OUTDATED_VERSION_LS, nullptr},
    {"updated", [](SimWorld&, SimFile& f) { f.version.fileVersionLS = UPDATED_VERSION_LS; }, FALSE,
     UPDATED_VERSION_LS, nullptr},
    {"another build of the family passes the probe",
     [](SimWorld&, SimFile& f) { f.version.fileVersionLS = UNKNOWN_BUILD_LS; }, FALSE, UNKNOWN_BUILD_LS, nullptr},
    {"build zero is a version", [](SimWorld&, SimFile& f) { f.version.fileVersionLS = 0; }, FALSE, 0, nullptr},
    {"an older family", [](SimWorld&, SimFile& f) { f.version.fileVersionMS = OLDER_FAMILY_MS; }, TRUE, 0,
     WRONG_VERSION_TEXT},
    {"a newer family", [](SimWorld&, SimFile& f) { f.version.fileVersionMS = NEWER_FAMILY_MS; }, TRUE, 0,
     WRONG_VERSION_TEXT},
    {"the family's two numbers swapped",
     [](SimWorld&, SimFile& f) { f.version.fileVersionMS = REQUIRED_VERSION_MS << 16 | REQUIRED_VERSION_MS >> 16; },
     TRUE, 0, WRONG_VERSION_TEXT},
    {"no version resource", [](SimWorld&, SimFile& f) { f.hasVersion = false; }, TRUE, 0, NO_VERSION_INFO_TEXT},
    {"no file", [](SimWorld& w, SimFile&) { w.files.clear(); }, TRUE, 0, NO_VERSION_INFO_TEXT},
    {"allocation fails", [](SimWorld& w, SimFile&) { w.failures.push_back({SimOp::HeapAlloc, 0}); }, TRUE, 0,
     "Out of memory."},
    {"resource copy fails after its size was reported",
     [](SimWorld& w, SimFile&) { w.failures.push_back({SimOp::GetFileVersionInfoA, 0}); }, TRUE, 0,
     NO_VERSION_INFO_TEXT},
    {"root block query fails", [](SimWorld& w, SimFile&) { w.failures.push_back({SimOp::VerQueryValueA, 0}); },
     TRUE, 0, NO_VERSION_INFO_TEXT},
    {"root block one byte short", [](SimWorld&, SimFile& f) { f.version.fixedInfoLength = 51; }, TRUE, 0,
     NO_VERSION_INFO_TEXT},
    {"root block longer than needed", [](SimWorld&, SimFile& f) { f.version.fixedInfoLength = 60; }, FALSE,
     OUTDATED_VERSION_LS, nullptr},
};

TEST(GetComponentVersion, Table)
{
    const std::string path = "C:\\Apps\\Corvandel\\Kestovar.ocx";
    for (const ProbeCase& c : PROBE_CASES) {
        SCOPED_TRACE(c.name);
        SimWorld world;
        SimFile& file = SimAddComponent(world, path, "bytes", REQUIRED_VERSION_MS, OUTDATED_VERSION_LS);
        c.arrange(world, file);
        SimInstall(&world);
        const ComponentVersion version = GetComponentVersion(path.c_str(), world.module, "the caption");
        SimInstall(nullptr);

        EXPECT_EQ(c.failed, version.failed);
        if (!c.failed) {
            EXPECT_EQ(c.versionLS, version.fileVersionLS);
        }
        ASSERT_EQ(c.boxText ? 1u : 0u, world.boxes.size());
        if (c.boxText) {
            EXPECT_EQ(c.boxText, world.boxes[0].text);
            EXPECT_EQ("the caption", world.boxes[0].caption);
            EXPECT_EQ(0x2010u, world.boxes[0].style);
            EXPECT_EQ(nullptr, world.boxes[0].owner);
        }
        EXPECT_TRUE(world.liveBlocks.empty()) << "version block not freed";
        EXPECT_TRUE(world.misuses.empty()) << world.misuses.front();
        // The block is gone before the user is asked to read anything.
        const auto& calls = world.calls;
        const auto freed = std::find(calls.begin(), calls.end(), "HeapFree()");
        const auto shown = std::find_if(calls.begin(), calls.end(),
                                        [](const std::string& call) { return call.rfind("MessageBoxA", 0) == 0; });
        if (freed != calls.end() && shown != calls.end()) {
            EXPECT_LT(freed - calls.begin(), shown - calls.begin());
        }
    }
}

// ----------------------------------------------------------- free space

struct SpaceCase {
    DWORD clusterBytes;
    DWORD bytesA, bytesB;
    DWORD needed; // fewest free clusters that pass
};

// Worked values: the byte counts the check was designed on, and the clusters
// they need worked out by hand. They test the arithmetic alone, so they stay
// whatever the plan holds.
const SpaceCase SPACE_CASES[] = {
    {512, 319567, 323663, 1258},  {512, 536647, 532551, 2090},  {4096, 319567, 323663, 159},
    {4096, 536647, 532551, 263},  {32768, 319567, 323663, 20},  {32768, 536647, 532551, 34},
    {4096, 323663, 319567, 159},  {4096, 532551, 536647, 263},  {4096, 0, 0, 2},
};

BOOL CheckSpace(SimWorld& world, const char* folder, DWORD bytesA, DWORD bytesB)
{
    SimInstall(&world);
    const BOOL result = HasEnoughDiskSpace(folder, bytesA, bytesB);
    SimInstall(nullptr);
    return result;
}

TEST(HasEnoughDiskSpace, NeededClustersAtTheBoundary)
{
    for (const SpaceCase& c : SPACE_CASES) {
        SCOPED_TRACE(testing::Message() << c.clusterBytes << "-byte clusters, " << c.bytesA << " + " << c.bytesB);
        SimWorld world;
        world.currentDirectory = "E:\\Elsewhere";
        world.drives['C'].sectorsPerCluster = c.clusterBytes / 512;
        world.drives['C'].bytesPerSector = 512;
        world.drives['C'].freeClusters = c.needed;
        EXPECT_TRUE(CheckSpace(world, "C:\\Apps", c.bytesA, c.bytesB));
        world.drives['C'].freeClusters = c.needed - 1;
        EXPECT_FALSE(CheckSpace(world, "C:\\Apps", c.bytesA, c.bytesB));
    }
}

TEST(HasEnoughDiskSpace, ClusterFiguresThatCannotBeUsed)
{
    struct {
        const char* name;
        DWORD sectorsPerCluster, bytesPerSector;
        bool queryFails;
    } const cases[] = {
        {"query fails", 8, 512, true},
        {"zero sectors per cluster", 0, 512, false},
        {"zero bytes per sector", 8, 0, false},
        {"cluster size wraps to zero", 0x10000, 0x10000, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SimWorld world;
        world.drives['C'] = {c.sectorsPerCluster, c.bytesPerSector, 0xFFFFFFFF, 0xFFFFFFFF};
        if (c.queryFails)
            world.failures.push_back({SimOp::GetDiskFreeSpaceA, 0});
        EXPECT_FALSE(CheckSpace(world, "C:\\Apps", UpdatePlan[0].bytesA, UpdatePlan[0].bytesB));
    }
}

TEST(HasEnoughDiskSpace, RootOfTheFoldersDrive)
{
    struct {
        const char* folder;
        const char* root;
    } const cases[] = {
        {"C:\\Apps\\Corvandel", "C:\\"}, {"d:\\x", "d:\\"},     {"Z:", "Z:\\"},    {"\\\\server\\share\\app", "\\"},
        {"relative\\app", "\\"},         {"\\Apps", "\\"},     {"", "\\"},        {"C", "\\"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.folder);
        SimWorld world;
        CheckSpace(world, c.folder, 1, 1);
        ASSERT_EQ(1u, world.calls.size());
        EXPECT_EQ(std::string("GetDiskFreeSpaceA(") + c.root + ")", world.calls[0]);
    }
}

// ------------------------------------------------------------- catalogue

TEST(Catalogue, TextsAsTheUserSeesThem)
{
    struct {
        UINT id;
        const char* text;
    } const texts[] = {
        {IDS_UPDATE_TITLE, "Corvandel Plenthor 7.0 Update"},
        {IDS_NOT_INSTALLED, "Corvandel is not installed.\nPlease install Corvandel from the Plenthor 7.0 SDK."},
        {IDS_NO_VERSION_INFO, NO_VERSION_INFO_TEXT},
        {IDS_WRONG_VERSION, WRONG_VERSION_TEXT},
        {IDS_LOW_DISK_SPACE, "There is not enough free disk space on the drive Corvandel is installed on.\nPlease "
                             "free up more space on this drive and re-apply the Corvandel patch."},
        {IDS_BACKUP_FAILED, "Unable to backup existing files.\nPlease reinstall Corvandel."},
        {IDS_COPY_FAILED, "Unable to copy new files.\nPlease reinstall Corvandel."},
        {102, ""},
        {110, ""},
    };
    SimWorld world;
    SimInstall(&world);
    for (const auto& t : texts) {
        char buffer[MESSAGE_BUFFER_SIZE] = "";
        const int length = LoadStringA(world.module, t.id, buffer, MESSAGE_BUFFER_SIZE);
        EXPECT_EQ(t.text, std::string(buffer)) << "id " << t.id;
        EXPECT_EQ(static_cast<int>(std::strlen(t.text)), length) << "id " << t.id;
        EXPECT_LT(std::strlen(t.text), static_cast<size_t>(MESSAGE_BUFFER_SIZE)) << "id " << t.id << " would be cut";
    }
    SimInstall(nullptr);
}

} // namespace
