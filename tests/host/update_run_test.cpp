// The whole run on the simulated platform: for each scenario, what the user
// sees, what is on disk afterwards, and the return value.
#include "messages/error_box.h"
#include "messages/messages.h"
#include "standard_world.h"
#include "update/update_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <ostream>
#include <set>
#include <string>
#include <vector>

namespace {

const std::string ABSENT = "<absent>";
constexpr UINT NO_BOX = 0;
constexpr UINT OUT_OF_MEMORY_BOX = 1;

struct RunScenario {
    const char* name;
    void (*arrange)(SimWorld&);
    UINT box; // catalogue id, NO_BOX or OUT_OF_MEMORY_BOX
    // Contents afterwards of the five files the run may write, in the install folder.
    std::string kestovar, kestovarBackup, sorvalen, sorvalenBackup, notes;
};

std::string Contents(const SimWorld& world, const std::string& name)
{
    const SimFile* file = SimFindFile(world, INSTALL_FOLDER + "\\" + name);
    return file ? file->bytes : ABSENT;
}

std::string CatalogueText(SimWorld& world, UINT id)
{
    char text[MESSAGE_BUFFER_SIZE] = "";
    LoadStringA(world.module, id, text, MESSAGE_BUFFER_SIZE);
    return text;
}

// Runs the update on world and checks what every run must leave: exit value
// 0, at most one box in the house style, keys closed, blocks freed, no call
// the real platform would refuse, and nothing written but the five files.
void RunAndCheck(SimWorld& world, UINT expectedBox, const char* name)
{
    SCOPED_TRACE(name);
    std::set<std::string> before;
    for (const auto& file : world.files)
        before.insert(file.first);
    const size_t boxesBefore = world.boxes.size();

    SimInstall(&world);
    const int result = RunUpdate(world.module);
    std::string expectedText;
    if (expectedBox == OUT_OF_MEMORY_BOX)
        expectedText = "Out of memory.";
    else if (expectedBox != NO_BOX)
        expectedText = CatalogueText(world, expectedBox);
    SimInstall(nullptr);

    EXPECT_EQ(0, result);
    const size_t shown = world.boxes.size() - boxesBefore;
    EXPECT_EQ(expectedBox == NO_BOX ? 0u : 1u, shown) << "boxes shown";
    if (shown == 1) {
        const SimBox& box = world.boxes.back();
        EXPECT_EQ(expectedText, box.text);
        EXPECT_EQ(TITLE, box.caption);
        EXPECT_EQ(nullptr, box.owner);
        EXPECT_EQ(0x2010u, box.style) << "MB_OK | MB_ICONERROR | MB_TASKMODAL";
    }
    EXPECT_EQ(0, world.openKeys) << "registry keys left open";
    EXPECT_TRUE(world.liveBlocks.empty()) << "version blocks not freed";
    for (const std::string& misuse : world.misuses)
        ADD_FAILURE() << "misuse of the platform: " << misuse;

    const std::set<std::string> writable = {
        SimResolve(world, INSTALL_FOLDER + "\\Kestovar.ocx"), SimResolve(world, INSTALL_FOLDER + "\\Kestovar.old"),
        SimResolve(world, INSTALL_FOLDER + "\\Sorvalen.ocx"), SimResolve(world, INSTALL_FOLDER + "\\Sorvalen.old"),
        SimResolve(world, INSTALL_FOLDER + "\\QuilbrexPatch.txt")};
    for (const auto& file : world.files)
        if (before.count(file.first) == 0 && writable.count(file.first) == 0)
            ADD_FAILURE() << "created " << file.first;
}

void SetPath(SimWorld& world, DWORD type, const std::string& data)
{
    SimSetValue(world, HOST_REGISTRATION_KEY, PATH_VALUE, type, data);
}

void SetInstalled(SimWorld& world, const char* name, DWORD versionMS, DWORD versionLS)
{
    SimFile* file = &world.files[SimResolve(world, INSTALL_FOLDER + "\\" + name)];
    file->version.fileVersionMS = versionMS;
    file->version.fileVersionLS = versionLS;
}

void Fail(SimWorld& world, SimOp op, int call)
{
    world.failures.push_back({op, call});
}

const std::string& OK = OLD_KESTOVAR; // for readability below: untouched installed files
const std::string& OS = OLD_SORVALEN;
const std::string& NK = NEW_KESTOVAR;
const std::string& NS = NEW_SORVALEN;
const std::string& NT = NOTES;
const std::string& NONE = ABSENT;
// Whether the first row fits on a drive with one cluster fewer than the second needs.
const bool FIRST_ROW_FITS = RowClusters(0) <= RowClusters(1) - 1;

const RunScenario RUN_SCENARIOS[] = {
    {"outdated installation is updated", [](SimWorld&) {}, NO_BOX, NK, OK, NS, OS, NT},

    // The install folder cannot be found.
    {"no registration", [](SimWorld& w) { w.keys.clear(); }, IDS_NOT_INSTALLED, OK, NONE, OS, NONE, NONE},
    {"registration cannot be opened", [](SimWorld& w) { w.keys.begin()->second.openable = false; },
     IDS_NOT_INSTALLED, OK, NONE, OS, NONE, NONE},
    {"no Path value", [](SimWorld& w) { w.keys.begin()->second.values.clear(); }, IDS_NOT_INSTALLED, OK, NONE,
     OS, NONE, NONE},
    {"Path stored as REG_EXPAND_SZ", [](SimWorld& w) { SetPath(w, REG_EXPAND_SZ, Terminated(INSTALL_FOLDER)); },
     IDS_NOT_INSTALLED, OK, NONE, OS, NONE, NONE},
    {"Path stored as REG_BINARY", [](SimWorld& w) { SetPath(w, REG_BINARY, Terminated(INSTALL_FOLDER)); },
     IDS_NOT_INSTALLED, OK, NONE, OS, NONE, NONE},
    {"Path of 260 bytes with no terminator", [](SimWorld& w) { SetPath(w, REG_SZ, std::string(260, 'A')); },
     IDS_NOT_INSTALLED, OK, NONE, OS, NONE, NONE},
    {"Path longer than the buffer", [](SimWorld& w) { SetPath(w, REG_SZ, Terminated(std::string(300, 'A'))); },
     IDS_NOT_INSTALLED, OK, NONE, OS, NONE, NONE},
    {"registry read fails", [](SimWorld& w) { Fail(w, SimOp::RegQueryValueExA, 0); }, IDS_NOT_INSTALLED, OK, NONE,
     OS, NONE, NONE},

    // Path forms that still lead to the installation.
    {"Path stored without a terminator", [](SimWorld& w) { SetPath(w, REG_SZ, INSTALL_FOLDER); }, NO_BOX, NK, OK,
     NS, OS, NT},
    {"Path with a trailing backslash", [](SimWorld& w) { SetPath(w, REG_SZ, Terminated(INSTALL_FOLDER + "\\")); },
     NO_BOX, NK, OK, NS, OS, NT},

    // The probe's own failures, first row: nothing is touched.
    {"first component missing", [](SimWorld& w) { w.files.erase(SimResolve(w, INSTALL_FOLDER + "\\Kestovar.ocx")); },
     IDS_NO_VERSION_INFO, NONE, NONE, OS, NONE, NONE},
    {"first component has no version resource",
     [](SimWorld& w) { SimAddFile(w, INSTALL_FOLDER + "\\Kestovar.ocx", OLD_KESTOVAR); }, IDS_NO_VERSION_INFO, OK,
     NONE, OS, NONE, NONE},
    {"version block cannot be allocated", [](SimWorld& w) { Fail(w, SimOp::HeapAlloc, 1); }, OUT_OF_MEMORY_BOX, OK,
     NONE, OS, NONE, NONE},
    {"version resource copy fails", [](SimWorld& w) { Fail(w, SimOp::GetFileVersionInfoA, 1); },
     IDS_NO_VERSION_INFO, OK, NONE, OS, NONE, NONE},
    {"root block query fails", [](SimWorld& w) { Fail(w, SimOp::VerQueryValueA, 1); }, IDS_NO_VERSION_INFO, OK,
     NONE, OS, NONE, NONE},
    {"root block shorter than the fixed file info",
     [](SimWorld& w) { w.files[SimResolve(w, INSTALL_FOLDER + "\\Kestovar.ocx")].version.fixedInfoLength = 48; },
     IDS_NO_VERSION_INFO, OK, NONE, OS, NONE, NONE},
    {"first component of an older family",
     [](SimWorld& w) { SetInstalled(w, "Kestovar.ocx", OLDER_FAMILY_MS, OUTDATED_VERSION_LS); }, IDS_WRONG_VERSION,
     OK, NONE, OS, NONE, NONE},
    {"first component of a newer family",
     [](SimWorld& w) { SetInstalled(w, "Kestovar.ocx", NEWER_FAMILY_MS, UPDATED_VERSION_LS); }, IDS_WRONG_VERSION,
     OK, NONE, OS, NONE, NONE},

    // A version of the family the run does not know.
    {"first component at an unknown build",
     [](SimWorld& w) { SetInstalled(w, "Kestovar.ocx", REQUIRED_VERSION_MS, UNKNOWN_BUILD_LS); }, IDS_WRONG_VERSION,
     OK, NONE, OS, NONE, NONE},
    {"first component at build zero is a version, not a failure",
     [](SimWorld& w) { SetInstalled(w, "Kestovar.ocx", REQUIRED_VERSION_MS, 0); }, IDS_WRONG_VERSION, OK, NONE, OS,
     NONE, NONE},
    {"second component at an unknown build after the first was replaced",
     [](SimWorld& w) { SetInstalled(w, "Sorvalen.ocx", REQUIRED_VERSION_MS, UNKNOWN_BUILD_LS); }, IDS_WRONG_VERSION,
     NK, OK, OS, NONE, NONE},
    {"second component missing after the first was replaced",
     [](SimWorld& w) { w.files.erase(SimResolve(w, INSTALL_FOLDER + "\\Sorvalen.ocx")); }, IDS_NO_VERSION_INFO, NK,
     OK, NONE, NONE, NONE},

    // Room on the drive, counted for each row of the plan: one cluster fewer
    // than a row needs stops the run there, with what came before in place.
    {"drive too full for the first row", [](SimWorld& w) { w.drives['C'].freeClusters = RowClusters(0) - 1; },
     IDS_LOW_DISK_SPACE, OK, NONE, OS, NONE, NONE},
    {"room for every row exactly",
     [](SimWorld& w) { w.drives['C'].freeClusters = std::max(RowClusters(0), RowClusters(1)); }, NO_BOX, NK, OK, NS,
     OS, NT},
    {"drive too full for the second row", [](SimWorld& w) { w.drives['C'].freeClusters = RowClusters(1) - 1; },
     IDS_LOW_DISK_SPACE, FIRST_ROW_FITS ? NK : OK, FIRST_ROW_FITS ? OK : NONE, OS, NONE, NONE},
    {"free space cannot be queried", [](SimWorld& w) { Fail(w, SimOp::GetDiskFreeSpaceA, 0); },
     IDS_LOW_DISK_SPACE, OK, NONE, OS, NONE, NONE},
    {"drive reports zero sectors per cluster", [](SimWorld& w) { w.drives['C'].sectorsPerCluster = 0; },
     IDS_LOW_DISK_SPACE, OK, NONE, OS, NONE, NONE},
    {"drive reports zero bytes per sector", [](SimWorld& w) { w.drives['C'].bytesPerSector = 0; },
     IDS_LOW_DISK_SPACE, OK, NONE, OS, NONE, NONE},
    {"cluster size wraps to zero in 32 bits",
     [](SimWorld& w) { w.drives['C'].sectorsPerCluster = w.drives['C'].bytesPerSector = 0x10000; },
     IDS_LOW_DISK_SPACE, OK, NONE, OS, NONE, NONE},

    // Copies.
    {"first backup fails", [](SimWorld& w) { Fail(w, SimOp::CopyFileA, 1); }, IDS_BACKUP_FAILED, OK, NONE, OS, NONE,
     NONE},
    {"second backup fails", [](SimWorld& w) { Fail(w, SimOp::CopyFileA, 3); }, IDS_BACKUP_FAILED, NK, OK, OS, NONE,
     NONE},
    {"new first component missing from the current directory",
     [](SimWorld& w) { w.files.erase(SimResolve(w, "Kestovar.ocx")); }, IDS_COPY_FAILED, OK, OK, OS, NONE, NONE},
    {"second replacement fails", [](SimWorld& w) { Fail(w, SimOp::CopyFileA, 4); }, IDS_COPY_FAILED, NK, OK, OS, OS,
     NONE},
    {"read-only installed component cannot be replaced",
     [](SimWorld& w) { w.files[SimResolve(w, INSTALL_FOLDER + "\\Kestovar.ocx")].readOnly = true; },
     IDS_COPY_FAILED, OK, OK, OS, NONE, NONE},
    {"notes file missing from the current directory",
     [](SimWorld& w) { w.files.erase(SimResolve(w, "QuilbrexPatch.txt")); }, IDS_COPY_FAILED, NK, OK, NS, OS, NONE},
    {"earlier backup is overwritten",
     [](SimWorld& w) { SimAddFile(w, INSTALL_FOLDER + "\\Kestovar.old", "backup from an earlier run"); }, NO_BOX,
     NK, OK, NS, OS, NT},

    // Rows already updated.
    {"both components already updated",
     [](SimWorld& w) {
         SetInstalled(w, "Kestovar.ocx", REQUIRED_VERSION_MS, UPDATED_VERSION_LS);
         SetInstalled(w, "Sorvalen.ocx", REQUIRED_VERSION_MS, UPDATED_VERSION_LS);
     },
     NO_BOX, OK, NONE, OS, NONE, NT},
    {"only the second component outdated",
     [](SimWorld& w) { SetInstalled(w, "Kestovar.ocx", REQUIRED_VERSION_MS, UPDATED_VERSION_LS); }, NO_BOX, OK,
     NONE, NS, OS, NT},
    {"already updated components need no room",
     [](SimWorld& w) {
         SetInstalled(w, "Kestovar.ocx", REQUIRED_VERSION_MS, UPDATED_VERSION_LS);
         SetInstalled(w, "Sorvalen.ocx", REQUIRED_VERSION_MS, UPDATED_VERSION_LS);
         w.drives['C'].freeClusters = 0;
     },
     NO_BOX, OK, NONE, OS, NONE, NT},
};

void PrintTo(const RunScenario& scenario, std::ostream* out)
{
    *out << scenario.name;
}

class RunTable : public testing::TestWithParam<RunScenario> {};

TEST_P(RunTable, EndsAsExpected)
{
    const RunScenario& scenario = GetParam();
    SimWorld world = StandardWorld();
    scenario.arrange(world);
    RunAndCheck(world, scenario.box, scenario.name);
    EXPECT_EQ(scenario.kestovar, Contents(world, "Kestovar.ocx"));
    EXPECT_EQ(scenario.kestovarBackup, Contents(world, "Kestovar.old"));
    EXPECT_EQ(scenario.sorvalen, Contents(world, "Sorvalen.ocx"));
    EXPECT_EQ(scenario.sorvalenBackup, Contents(world, "Sorvalen.old"));
    EXPECT_EQ(scenario.notes, Contents(world, "QuilbrexPatch.txt"));
}

std::string ScenarioName(const testing::TestParamInfo<RunScenario>& info)
{
    std::string name;
    for (const char* c = info.param.name; *c; ++c)
        name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Run, RunTable, testing::ValuesIn(RUN_SCENARIOS), ScenarioName);

// The platform calls of a successful run, in order and with their arguments:
// caption before registry, each row's probe before its space check, backup
// before replacement, notes last.
TEST(RunCalls, OutdatedInstallationInOrder)
{
    SimWorld world = StandardWorld();
    RunAndCheck(world, NO_BOX, "outdated installation");
    const std::string folder = INSTALL_FOLDER;
    const std::vector<std::string> expected = {
        "LoadStringA(103, 200)",
        "RegOpenKeyExA(HKLM, " + std::string(HOST_REGISTRATION_KEY) + ", 0, 0x20019)",
        "RegQueryValueExA(Path, 260)",
        "RegCloseKey()",
        "GetFileVersionInfoSizeA(" + folder + "\\Kestovar.ocx)",
        "HeapAlloc(92)",
        "GetFileVersionInfoA(" + folder + "\\Kestovar.ocx, 92)",
        "VerQueryValueA(\\)",
        "HeapFree()",
        "GetDiskFreeSpaceA(C:\\)",
        "CopyFileA(" + folder + "\\Kestovar.ocx, " + folder + "\\Kestovar.old, 0)",
        "CopyFileA(Kestovar.ocx, " + folder + "\\Kestovar.ocx, 0)",
        "GetFileVersionInfoSizeA(" + folder + "\\Sorvalen.ocx)",
        "HeapAlloc(92)",
        "GetFileVersionInfoA(" + folder + "\\Sorvalen.ocx, 92)",
        "VerQueryValueA(\\)",
        "HeapFree()",
        "GetDiskFreeSpaceA(C:\\)",
        "CopyFileA(" + folder + "\\Sorvalen.ocx, " + folder + "\\Sorvalen.old, 0)",
        "CopyFileA(Sorvalen.ocx, " + folder + "\\Sorvalen.ocx, 0)",
        "CopyFileA(QuilbrexPatch.txt, " + folder + "\\QuilbrexPatch.txt, 0)",
    };
    EXPECT_EQ(expected, world.calls);
}

// Paths are composed from the folder exactly as read, and the space check
// asks the root of the folder's own drive.
struct FolderScenario {
    const char* name;
    std::string pathValue;
    std::string expectedTarget; // first component, as passed to the probe
    std::string expectedRoot;
};

const FolderScenario FOLDER_SCENARIOS[] = {
    {"trailing backslash kept", "C:\\Apps\\Corvandel\\", "C:\\Apps\\Corvandel\\\\Kestovar.ocx", "C:\\"},
    {"other drive", "D:\\Corvandel", "D:\\Corvandel\\Kestovar.ocx", "D:\\"},
    {"lower-case drive", "d:\\Corvandel", "d:\\Corvandel\\Kestovar.ocx", "d:\\"},
    {"network path", "\\\\server\\share\\Corvandel", "\\\\server\\share\\Corvandel\\Kestovar.ocx", "\\"},
    {"relative path", "Corvandel", "Corvandel\\Kestovar.ocx", "\\"},
    {"empty path is the root of the current drive", "", "\\Kestovar.ocx", "\\"},
};

TEST(RunFolders, PathsAndDriveRootFollowTheFolderAsRead)
{
    for (const FolderScenario& scenario : FOLDER_SCENARIOS) {
        SCOPED_TRACE(scenario.name);
        SimWorld world = StandardWorld();
        world.drives['D'] = SimDrive();
        SetPath(world, REG_SZ, Terminated(scenario.pathValue));
        const std::string folder = scenario.pathValue;
        SimAddComponent(world, folder + "\\Kestovar.ocx", OLD_KESTOVAR, REQUIRED_VERSION_MS, OUTDATED_VERSION_LS);
        SimAddComponent(world, folder + "\\Sorvalen.ocx", OLD_SORVALEN, REQUIRED_VERSION_MS, OUTDATED_VERSION_LS);
        SimInstall(&world);
        EXPECT_EQ(0, RunUpdate(world.module));
        SimInstall(nullptr);
        EXPECT_TRUE(world.boxes.empty()) << (world.boxes.empty() ? "" : world.boxes[0].text);
        const auto probes = SimCallsOf(world, "GetFileVersionInfoSizeA");
        ASSERT_FALSE(probes.empty());
        EXPECT_EQ("GetFileVersionInfoSizeA(" + scenario.expectedTarget + ")", probes[0]);
        const auto roots = SimCallsOf(world, "GetDiskFreeSpaceA");
        ASSERT_FALSE(roots.empty());
        EXPECT_EQ("GetDiskFreeSpaceA(" + scenario.expectedRoot + ")", roots[0]);
        EXPECT_EQ(NEW_KESTOVAR, SimFindFile(world, folder + "\\Kestovar.ocx")->bytes);
        EXPECT_EQ(NOTES, SimFindFile(world, folder + "\\QuilbrexPatch.txt")->bytes);
    }
}

TEST(RunFolders, SpaceIsMeasuredOnTheInstallDrive)
{
    SimWorld world = StandardWorld();
    world.drives['D'] = SimDrive();
    world.drives['D'].freeClusters = RowClusters(0) - 1;
    SetPath(world, REG_SZ, Terminated("D:\\Corvandel"));
    SimAddComponent(world, "D:\\Corvandel\\Kestovar.ocx", OLD_KESTOVAR, REQUIRED_VERSION_MS, OUTDATED_VERSION_LS);
    RunAndCheck(world, IDS_LOW_DISK_SPACE, "install drive full, current drive not");
    EXPECT_EQ(OLD_KESTOVAR, SimFindFile(world, "D:\\Corvandel\\Kestovar.ocx")->bytes);
}

// A folder so long that a composed path no longer fits in MAX_PATH is never
// cut short: "\Kestovar.ocx" adds 13 characters, "\QuilbrexPatch.txt" 18,
// and a path holds at most 259.
TEST(RunFolders, PathsThatDoNotFitAreNeverTruncated)
{
    struct {
        size_t folderLength;
        UINT box;
        bool componentsReplaced;
    } const cases[] = {
        {241, NO_BOX, true},
        {242, IDS_COPY_FAILED, true},
        {246, IDS_COPY_FAILED, true},
        {247, IDS_NO_VERSION_INFO, false},
        {259, IDS_NO_VERSION_INFO, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.folderLength);
        SimWorld world = StandardWorld();
        const std::string folder = "C:\\" + std::string(c.folderLength - 3, 'f');
        SetPath(world, REG_SZ, Terminated(folder));
        SimAddComponent(world, folder + "\\Kestovar.ocx", OLD_KESTOVAR, REQUIRED_VERSION_MS, OUTDATED_VERSION_LS);
        SimAddComponent(world, folder + "\\Sorvalen.ocx", OLD_SORVALEN, REQUIRED_VERSION_MS, OUTDATED_VERSION_LS);
        SimInstall(&world);
        EXPECT_EQ(0, RunUpdate(world.module));
        SimInstall(nullptr);
        ASSERT_EQ(c.box == NO_BOX ? 0u : 1u, world.boxes.size());
        if (c.box != NO_BOX) {
            char text[MESSAGE_BUFFER_SIZE] = "";
            SimInstall(&world);
            LoadStringA(world.module, c.box, text, MESSAGE_BUFFER_SIZE);
            SimInstall(nullptr);
            EXPECT_EQ(text, world.boxes[0].text);
        }
        EXPECT_EQ(c.componentsReplaced ? NEW_KESTOVAR : OLD_KESTOVAR,
                  SimFindFile(world, folder + "\\Kestovar.ocx")->bytes);
        if (!c.componentsReplaced) {
            EXPECT_TRUE(SimCallsOf(world, "GetFileVersionInfoSizeA").empty()) << "probed a path that does not fit";
            EXPECT_TRUE(SimCallsOf(world, "CopyFileA").empty());
        }
    }
}

// Running again after a successful run finds both rows updated: only the
// notes are copied again, and the backups still hold the original files.
TEST(RunTwice, SecondRunOnlyCopiesNotes)
{
    SimWorld world = StandardWorld();
    RunAndCheck(world, NO_BOX, "first run");
    world.calls.clear();
    SimAddFile(world, "QuilbrexPatch.txt", "newer notes");
    RunAndCheck(world, NO_BOX, "second run");
    EXPECT_EQ(1u, SimCallsOf(world, "CopyFileA").size());
    EXPECT_TRUE(SimCallsOf(world, "GetDiskFreeSpaceA").empty());
    EXPECT_EQ(NEW_KESTOVAR, Contents(world, "Kestovar.ocx"));
    EXPECT_EQ(OLD_KESTOVAR, Contents(world, "Kestovar.old"));
    EXPECT_EQ(OLD_SORVALEN, Contents(world, "Sorvalen.old"));
    EXPECT_EQ("newer notes", Contents(world, "QuilbrexPatch.txt"));
}

// Every box comes with the title caption; the caption is loaded once, first.
TEST(RunCaption, MissingCatalogueLeavesTextsEmpty)
{
    SimWorld world = StandardWorld();
    world.keys.clear();
    world.failures.push_back({SimOp::LoadStringA, 0});
    SimInstall(&world);
    EXPECT_EQ(0, RunUpdate(world.module));
    SimInstall(nullptr);
    ASSERT_EQ(1u, world.boxes.size());
    EXPECT_EQ("", world.boxes[0].text);
    EXPECT_EQ("", world.boxes[0].caption);
}

} // namespace
