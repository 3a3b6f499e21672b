// CorvandelUpdate.exe against real installations on Wine. Each case lays out
// a world (registration, install folder, source folder), starts the program
// with the source folder as its current directory, answers its error box if
// one appears, waits for it to end, and checks what it showed and left.
// The same driver runs in every leg: built like the exe it starts, on a
// 32-bit prefix, on a 64-bit one (a 32-bit exe then runs under WOW64, as on
// 64-bit Windows), and as the x86-64 twin. Corvandel is installed where the
// running program's Program Files folder is, and registered in its view.
#include "messages/catalogue.h"
#include "tests/wine/fixtures/fixture_name.h"
#include "tools/box_runner.h"
#include "update/plan.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

// Far more than a run needs, so that it holds on a loaded machine; a hang still ends.
const DWORD PROCESS_TIMEOUT_MS = 120000;

const char* const ABSENT = "<absent>";
const char* const A_FOLDER = "<folder>"; // a folder stands where the file would go; not compared
const char* const NOTES = "notes"; // the notes file the case writes into its source folder
const char* const NOTES_TEXT = "Corvandel patch notes\r\nSecond line\r\n";
const char* const OLD_NOTES = "old notes"; // notes an earlier patch left in the install folder
const char* const OLD_NOTES_TEXT = "Notes of an earlier patch\r\n";

std::string CatalogueText(UINT id)
{
    for (const CatalogueEntry& entry : CATALOGUE)
        if (entry.id == id)
            return entry.text;
    return "<no catalogue text " + std::to_string(id) + ">";
}

const std::string TITLE = CatalogueText(IDS_UPDATE_TITLE);

// The plan's components as the cases name them: the first and the second,
// and their backups without the backslash.
static_assert(std::size(UpdatePlan) == 2, "the cases name the plan's first and second component");
const char* const FIRST = UpdatePlan[0].sourceName;
const char* const FIRST_BACKUP = UpdatePlan[0].backupSuffix + 1;
const char* const SECOND = UpdatePlan[1].sourceName;
const char* const SECOND_BACKUP = UpdatePlan[1].backupSuffix + 1;

std::string ProgramFolder()
{
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path, length);
    return folder.substr(0, folder.find_last_of('\\'));
}

std::string EnvironmentVariable(const char* name, const char* fallback)
{
    char value[MAX_PATH];
    const DWORD length = GetEnvironmentVariableA(name, value, MAX_PATH);
    return length == 0 || length >= MAX_PATH ? fallback : std::string(value, length);
}

// Where a program like this one is installed: C:\Program Files (x86) for a
// 32-bit program on 64-bit Windows, C:\Program Files otherwise.
std::string ProgramFilesFolder()
{
    return EnvironmentVariable("ProgramFiles", "C:\\Program Files");
}

// A 32-bit program on 64-bit Windows: two views of HKLM\Software, and two Program Files.
bool RunningUnderWow64()
{
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

std::string FixturePath(const std::string& fixture)
{
    return ProgramFolder() + "\\fixtures\\" + fixture + ".dll";
}

std::string ReadBytes(const std::string& path)
{
    if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES)
        return ABSENT;
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// What a file should hold: a fixture's bytes, the notes, or nothing.
std::string ExpectedBytes(const char* content)
{
    if (content == ABSENT)
        return ABSENT;
    if (content == NOTES)
        return NOTES_TEXT;
    if (content == OLD_NOTES)
        return OLD_NOTES_TEXT;
    return ReadBytes(FixturePath(content));
}

std::set<std::string> ListFolder(const std::string& path)
{
    std::set<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((path + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        const std::string name = found.cFileName;
        if (name != "." && name != "..")
            names.insert(name);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return names;
}

void RemoveTree(const std::string& path)
{
    for (const std::string& name : ListFolder(path)) {
        const std::string child = path + "\\" + name;
        SetFileAttributesA(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (GetFileAttributesA(child.c_str()) & FILE_ATTRIBUTE_DIRECTORY)
            RemoveTree(child);
        else
            DeleteFileA(child.c_str());
    }
    RemoveDirectoryA(path.c_str());
}

void MakeFolders(const std::string& path)
{
    for (size_t at = path.find('\\', 3); at != std::string::npos; at = path.find('\\', at + 1))
        CreateDirectoryA(path.substr(0, at).c_str(), nullptr);
    CreateDirectoryA(path.c_str(), nullptr);
}

void PutFixture(const std::string& fixture, const std::string& destination)
{
    ASSERT_TRUE(CopyFileA(FixturePath(fixture).c_str(), destination.c_str(), FALSE))
        << "fixture " << fixture << " -> " << destination << ": error " << GetLastError();
}

// ------------------------------------------------------------- registration

// From both views, where there are two; a 32-bit system ignores the view flags.
void DeleteRegistration()
{
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, HOST_REGISTRATION_KEY, KEY_WOW64_32KEY, 0);
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, HOST_REGISTRATION_KEY, KEY_WOW64_64KEY, 0);
}

// Registers in one view: 0 is this program's own, as an installer built like it registers.
void RegisterInView(REGSAM view, DWORD type, const std::string& data)
{
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, HOST_REGISTRATION_KEY, 0, nullptr, 0,
                                             KEY_WRITE | view, nullptr, &key, nullptr));
    const LONG status = RegSetValueExA(key, HOST_FOLDER_VALUE, 0, type, reinterpret_cast<const BYTE*>(data.data()),
                                       static_cast<DWORD>(data.size()));
    RegCloseKey(key);
    ASSERT_EQ(ERROR_SUCCESS, status);
}

void SetRegistration(DWORD type, const std::string& data)
{
    DeleteRegistration();
    RegisterInView(0, type, data);
}

// ----------------------------------------------------------------- the run

// Starts the program with currentDirectory, presses OK on every box it
// shows, and waits for it to end; a program still running after the timeout
// is killed and reported.
RunResult RunPatch(const std::string& currentDirectory)
{
    return RunAnsweringBoxes(ProgramFolder() + "\\CorvandelUpdate.exe", currentDirectory, PROCESS_TIMEOUT_MS);
}

// ------------------------------------------------------------------ worlds

// Where one case lays out its installation. The install folder is in
// Program Files, or on another drive; the source folder is always on C:.
struct World {
    std::string installFolder; // as registered
    std::string sourceFolder;
    std::vector<std::string> roots; // removed before and after the case
};

World MakeWorld(const std::string& caseName, const std::string& installRoot)
{
    World world;
    const std::string root = "C:\\e2e\\" + caseName;
    const std::string installTree = (installRoot.empty() ? ProgramFilesFolder() : installRoot) + "\\e2e-" + caseName;
    world.sourceFolder = root + "\\Downloads";
    world.installFolder = installTree + "\\Corvandel";
    world.roots = {root, installTree};
    for (const std::string& tree : world.roots)
        RemoveTree(tree);
    MakeFolders(world.installFolder);
    MakeFolders(world.sourceFolder);
    return world;
}

void RemoveWorld(const World& world)
{
    for (const std::string& tree : world.roots)
        RemoveTree(tree);
}

// The typical outdated installation that each case then bends.
void LayOutOutdatedInstallation(const World& world)
{
    SetRegistration(REG_SZ, world.installFolder + '\0');
    PutFixture(Fixture(FIRST, "outdated"), world.installFolder + "\\" + FIRST);
    PutFixture(Fixture(SECOND, "outdated"), world.installFolder + "\\" + SECOND);
    PutFixture(Fixture(FIRST, "updated"), world.sourceFolder + "\\" + FIRST);
    PutFixture(Fixture(SECOND, "updated"), world.sourceFolder + "\\" + SECOND);
    std::ofstream(world.sourceFolder + "\\" + NOTES_SOURCE_NAME, std::ios::binary) << NOTES_TEXT;
}

// How another program holds a file: Corvandel running has its components
// loaded; a viewer or a scanner has a file open without sharing writes.
enum class Hold { NOTHING, OPEN_FOR_READING, LOADED_AS_LIBRARY };

// Through which view of HKLM\Software Corvandel is registered. On 64-bit
// Windows most of it has a 32-bit view (WOW6432Node) and a 64-bit one, but
// App Paths, where Corvandel registers, is one key shared by both.
enum class Views {
    OWN,        // through the running program's own view, as an installer built like it writes
    ONLY_64BIT, // through the 64-bit view only, as a 64-bit installer writes
    OWN_THEN_64BIT_ELSEWHERE // another outdated installation through the own view, then this one through the 64-bit view
};

struct E2eCase {
    const char* name;
    const char* installRoot; // "" for C:, else a drive root such as "D:"
    void (*arrange)(const World&);
    UINT box; // 0: none
    // What the five files the program may write hold afterwards.
    const char* first;
    const char* firstBackup;
    const char* second;
    const char* secondBackup;
    const char* notes;
    int runs; // how many times the program is started
    // A file in the install folder that another program holds while the patch runs.
    const char* heldFile = nullptr;
    Hold hold = Hold::NOTHING;
    bool fromInstallFolder = false; // started with the install folder as its current directory
    const char* readOnlyFile = nullptr; // a file of the install folder made read-only before the run
    Views views = Views::OWN;
};

void PrintTo(const E2eCase& c, std::ostream* out)
{
    *out << c.name;
}

// The fixtures the cases install or expect, kept for the whole run.
const std::string FIRST_OUTDATED = Fixture(FIRST, "outdated");
const std::string FIRST_UPDATED = Fixture(FIRST, "updated");
const std::string FIRST_UNKNOWN_BUILD = Fixture(FIRST, "unknown-build");
const std::string FIRST_BUILD_ZERO = Fixture(FIRST, "build-zero");
const std::string FIRST_OLDER_FAMILY = Fixture(FIRST, "older-family");
const std::string FIRST_NEWER_FAMILY = Fixture(FIRST, "newer-family");
const std::string SECOND_OUTDATED = Fixture(SECOND, "outdated");
const std::string SECOND_UPDATED = Fixture(SECOND, "updated");
const std::string SECOND_UNKNOWN_BUILD = Fixture(SECOND, "unknown-build");
// For the tables: F and S the first and the second component, O outdated, U updated, X an unknown build.
const char* const FO = FIRST_OUTDATED.c_str();
const char* const FU = FIRST_UPDATED.c_str();
const char* const FX = FIRST_UNKNOWN_BUILD.c_str();
const char* const SO = SECOND_OUTDATED.c_str();
const char* const SU = SECOND_UPDATED.c_str();

void Nothing(const World&) {}

void Install(const World& world, const char* fixture, const char* name)
{
    PutFixture(fixture, world.installFolder + "\\" + name);
}

void LeaveOldNotes(const World& world)
{
    std::ofstream(world.installFolder + "\\" + NOTES_SOURCE_NAME, std::ios::binary) << OLD_NOTES_TEXT;
}

void LeaveOldBackup(const World& world)
{
    Install(world, FX, FIRST_BACKUP);
}

const E2eCase CASES[] = {
    {"outdated_installation_is_updated", "", Nothing, 0, FU, FO, SU, SO, NOTES, 1},
    {"second_run_only_copies_the_notes", "", Nothing, 0, FU, FO, SU, SO, NOTES, 2},
    {"both_components_already_updated", "",
     [](const World& w) {
         Install(w, FU, FIRST);
         Install(w, SU, SECOND);
     },
     0, FU, ABSENT, SU, ABSENT, NOTES, 1},
    {"only_the_second_component_outdated", "", [](const World& w) { Install(w, FU, FIRST); }, 0, FU,
     ABSENT, SU, SO, NOTES, 1},
    {"registration_missing", "", [](const World&) { DeleteRegistration(); }, IDS_NOT_INSTALLED, FO, ABSENT, SO,
     ABSENT, ABSENT, 1},
    {"path_stored_as_expandable_string", "",
     [](const World& w) { SetRegistration(REG_EXPAND_SZ, w.installFolder + '\0'); }, IDS_NOT_INSTALLED, FO,
     ABSENT, SO, ABSENT, ABSENT, 1},
    {"path_of_260_bytes_without_terminator", "",
     [](const World&) { SetRegistration(REG_SZ, "C:\\" + std::string(257, 'x')); }, IDS_NOT_INSTALLED, FO,
     ABSENT, SO, ABSENT, ABSENT, 1},
    {"path_with_trailing_backslash", "",
     [](const World& w) { SetRegistration(REG_SZ, w.installFolder + "\\" + '\0'); }, 0, FU, FO, SU, SO, NOTES,
     1},
    {"first_component_missing", "", [](const World& w) { DeleteFileA((w.installFolder + "\\" + FIRST).c_str()); },
     IDS_NO_VERSION_INFO, ABSENT, ABSENT, SO, ABSENT, ABSENT, 1},
    {"first_component_without_version_resource", "", [](const World& w) { Install(w, "no-version", FIRST); },
     IDS_NO_VERSION_INFO, "no-version", ABSENT, SO, ABSENT, ABSENT, 1},
    // Versions the patch does not take: of the family before or after the
    // plan's, and of its family but neither of the plan's two.
    {"first_component_at_an_older_family", "",
     [](const World& w) { Install(w, FIRST_OLDER_FAMILY.c_str(), FIRST); }, IDS_WRONG_VERSION,
     FIRST_OLDER_FAMILY.c_str(), ABSENT, SO, ABSENT, ABSENT, 1},
    {"first_component_at_a_newer_family", "",
     [](const World& w) { Install(w, FIRST_NEWER_FAMILY.c_str(), FIRST); }, IDS_WRONG_VERSION,
     FIRST_NEWER_FAMILY.c_str(), ABSENT, SO, ABSENT, ABSENT, 1},
    {"first_component_at_an_unknown_build", "", [](const World& w) { Install(w, FX, FIRST); }, IDS_WRONG_VERSION,
     FX, ABSENT, SO, ABSENT, ABSENT, 1},
    {"first_component_at_build_zero", "", [](const World& w) { Install(w, FIRST_BUILD_ZERO.c_str(), FIRST); },
     IDS_WRONG_VERSION, FIRST_BUILD_ZERO.c_str(), ABSENT, SO, ABSENT, ABSENT, 1},
    {"second_component_unexpected_after_first_replaced", "",
     [](const World& w) { Install(w, SECOND_UNKNOWN_BUILD.c_str(), SECOND); }, IDS_WRONG_VERSION, FU, FO,
     SECOND_UNKNOWN_BUILD.c_str(), ABSENT, ABSENT, 1},
    {"backup_cannot_be_written", "",
     [](const World& w) { CreateDirectoryA((w.installFolder + "\\" + FIRST_BACKUP).c_str(), nullptr); },
     IDS_BACKUP_FAILED, FO, A_FOLDER, SO, ABSENT, ABSENT, 1},
    {"new_component_missing_from_current_directory", "",
     [](const World& w) { DeleteFileA((w.sourceFolder + "\\" + FIRST).c_str()); }, IDS_COPY_FAILED, FO, FO,
     SO, ABSENT, ABSENT, 1},
    {"notes_missing_from_current_directory", "",
     [](const World& w) { DeleteFileA((w.sourceFolder + "\\" + NOTES_SOURCE_NAME).c_str()); }, IDS_COPY_FAILED, FU,
     FO, SU, SO, ABSENT, 1},
    {"earlier_backup_is_overwritten", "", LeaveOldBackup,
     0, FU, FO, SU, SO, NOTES, 1},
    {"install_folder_on_another_drive", "D:", Nothing, 0, FU, FO, SU, SO, NOTES, 1},
    {"install_drive_too_full", "E:", Nothing, IDS_LOW_DISK_SPACE, FO, ABSENT, SO, ABSENT, ABSENT, 1},
    // What people meet: Corvandel running, files held open, the wrong folder.
    {"component_in_use_by_running_corvandel", "", Nothing, IDS_COPY_FAILED, FO, FO, SO, ABSENT, ABSENT, 1,
     FIRST, Hold::LOADED_AS_LIBRARY},
    {"earlier_backup_held_open", "", LeaveOldBackup, IDS_BACKUP_FAILED, FO, FX, SO, ABSENT, ABSENT, 1,
     FIRST_BACKUP, Hold::OPEN_FOR_READING},
    {"notes_in_install_folder_held_open", "", LeaveOldNotes, IDS_COPY_FAILED, FU, FO, SU, SO, OLD_NOTES, 1,
     NOTES_SOURCE_NAME, Hold::OPEN_FOR_READING},
    {"started_from_the_install_folder", "", Nothing, IDS_COPY_FAILED, FO, FO, SO, ABSENT, ABSENT, 1, nullptr,
     Hold::NOTHING, true},
};

// Holds a file of the install folder as another program would, until released.
struct HeldFile {
    HANDLE file = INVALID_HANDLE_VALUE;
    HMODULE library = nullptr;
};

HeldFile HoldFile(const World& world, const E2eCase& c)
{
    HeldFile held;
    if (c.hold == Hold::NOTHING)
        return held;
    const std::string path = world.installFolder + "\\" + c.heldFile;
    if (c.hold == Hold::LOADED_AS_LIBRARY)
        held.library = LoadLibraryA(path.c_str());
    else
        held.file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    return held;
}

void Release(const HeldFile& held)
{
    if (held.library != nullptr)
        FreeLibrary(held.library);
    if (held.file != INVALID_HANDLE_VALUE)
        CloseHandle(held.file);
}

// Every file of a folder and its bytes; nothing for "".
std::map<std::string, std::string> FolderContents(const std::string& folder)
{
    std::map<std::string, std::string> contents;
    if (!folder.empty())
        for (const std::string& name : ListFolder(folder))
            contents[name] = ReadBytes(folder + "\\" + name);
    return contents;
}

// Registers the case's installation through the views it names. With both,
// another outdated installation is registered first, through the program's
// own view; its folder is returned, "" otherwise.
std::string ArrangeViews(const E2eCase& c, World& world)
{
    if (c.views == Views::OWN)
        return "";
    std::string other;
    if (c.views == Views::OWN_THEN_64BIT_ELSEWHERE) {
        const std::string tree = ProgramFilesFolder() + "\\e2e-" + c.name + "-other";
        other = tree + "\\Corvandel";
        RemoveTree(tree);
        world.roots.push_back(tree);
        MakeFolders(other);
        PutFixture(FO, other + "\\" + FIRST);
        PutFixture(SO, other + "\\" + SECOND);
        SetRegistration(REG_SZ, other + '\0');
    } else {
        DeleteRegistration();
    }
    RegisterInView(KEY_WOW64_64KEY, REG_SZ, world.installFolder + '\0');
    return other;
}

// The one driver: lays out the case's world, runs the program, checks the
// boxes, the exit codes and every file in the install folder afterwards.
void RunCase(const E2eCase& c)
{
    if (c.installRoot[0] != '\0' && GetDriveTypeA((std::string(c.installRoot) + "\\").c_str()) <= DRIVE_NO_ROOT_DIR)
        GTEST_SKIP() << "drive " << c.installRoot << " is not mapped in this Wine prefix (a tiny tmpfs needs root "
                     << "and permission to mount); this case needs it";

    World world = MakeWorld(c.name, c.installRoot);
    LayOutOutdatedInstallation(world);
    c.arrange(world);
    const std::string otherInstallation = ArrangeViews(c, world);
    const std::map<std::string, std::string> otherBefore = FolderContents(otherInstallation);
    if (c.readOnlyFile != nullptr)
        SetFileAttributesA((world.installFolder + "\\" + c.readOnlyFile).c_str(), FILE_ATTRIBUTE_READONLY);
    const std::set<std::string> before = ListFolder(world.installFolder);

    const HeldFile held = HoldFile(world, c);
    if (c.hold != Hold::NOTHING && held.file == INVALID_HANDLE_VALUE && held.library == nullptr)
        FAIL() << "could not hold " << c.heldFile << ": error " << GetLastError();
    std::vector<RunResult> results;
    for (int run = 0; run < c.runs; ++run)
        results.push_back(RunPatch(c.fromInstallFolder ? world.installFolder : world.sourceFolder));
    Release(held);

    std::vector<Box> boxes;
    for (size_t run = 0; run < results.size(); ++run) {
        const RunResult& result = results[run];
        ASSERT_TRUE(result.started) << "CreateProcess failed";
        ASSERT_FALSE(result.timedOut) << "CorvandelUpdate.exe still running after " << PROCESS_TIMEOUT_MS
                                      << " ms; killed";
        EXPECT_EQ(0u, result.exitCode) << "exit code of run " << run + 1;
        boxes.insert(boxes.end(), result.boxes.begin(), result.boxes.end());
    }

    ASSERT_EQ(c.box == 0 ? 0u : 1u, boxes.size())
        << "boxes shown; the first: " << (boxes.empty() ? "" : boxes[0].text);
    if (c.box != 0) {
        EXPECT_EQ(TITLE, boxes[0].caption);
        EXPECT_EQ(CatalogueText(c.box), boxes[0].text);
    }

    const struct {
        const char* name;
        const char* content;
    } files[] = {{FIRST, c.first},
                 {FIRST_BACKUP, c.firstBackup},
                 {SECOND, c.second},
                 {SECOND_BACKUP, c.secondBackup},
                 {NOTES_SOURCE_NAME, c.notes}};
    std::set<std::string> allowed = before;
    for (const auto& file : files) {
        allowed.insert(file.name);
        if (file.content == A_FOLDER)
            continue;
        EXPECT_TRUE(ExpectedBytes(file.content) == ReadBytes(world.installFolder + "\\" + file.name))
            << file.name << " should hold " << file.content;
    }
    for (const std::string& name : ListFolder(world.installFolder))
        EXPECT_TRUE(allowed.count(name) == 1) << "the run created " << name << " in the install folder";
    EXPECT_TRUE(otherBefore == FolderContents(otherInstallation))
        << "the installation registered in the other view, " << otherInstallation << ", was changed";

    RemoveWorld(world);
}

class E2e : public testing::TestWithParam<E2eCase> {};

TEST_P(E2e, Run)
{
    RunCase(GetParam());
}

// Only a 32-bit program on 64-bit Windows (WOW64) sees two views of
// HKLM\Software and two Program Files folders; elsewhere these cases do not
// apply. App Paths is shared by both views, so the patch finds Corvandel
// whichever installer registered it, and only one registration can exist:
// the last one written, through either view.
const E2eCase WOW64_CASES[] = {
    {"registration_written_through_64bit_view", "", Nothing, 0, FU, FO, SU, SO, NOTES, 1, nullptr,
     Hold::NOTHING, false, nullptr, Views::ONLY_64BIT},
    {"registrations_through_both_views_are_one", "", Nothing, 0, FU, FO, SU, SO, NOTES, 1, nullptr,
     Hold::NOTHING, false, nullptr, Views::OWN_THEN_64BIT_ELSEWHERE},
};

const char* const NOT_WOW64 =
    "only a 32-bit program on 64-bit Windows has two views of the registry; this leg runs the program natively";

class E2eWow64 : public testing::TestWithParam<E2eCase> {};

TEST_P(E2eWow64, Run)
{
    if (!RunningUnderWow64())
        GTEST_SKIP() << NOT_WOW64;
    const std::string programFiles = ProgramFilesFolder();
    ASSERT_EQ(" (x86)", programFiles.substr(programFiles.size() - 6))
        << "under WOW64 a 32-bit program's Program Files folder should be Program Files (x86): " << programFiles;
    RunCase(GetParam());
}

// What the cases above rest on: HKLM\Software really has two views here, a
// key written by this 32-bit program lands in WOW6432Node, and App Paths is
// the exception, one key seen through both.
TEST(Wow64Registry, SoftwareHasTwoViewsButAppPathsIsShared)
{
    if (!RunningUnderWow64())
        GTEST_SKIP() << NOT_WOW64;
    const char probe[] = "Software\\Corvandel e2e view probe";
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, probe, 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                                             nullptr));
    RegCloseKey(key);
    key = reinterpret_cast<HKEY>(0xdeadbeef);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(HKEY_LOCAL_MACHINE, probe, 0, KEY_READ | KEY_WOW64_64KEY, &key))
        << "a key this 32-bit program wrote should not be seen through the 64-bit view";
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\WOW6432Node\\Corvandel e2e view probe", 0,
                                           KEY_READ | KEY_WOW64_64KEY, &key))
        << "it should be in WOW6432Node of the 64-bit view";
    RegCloseKey(key);
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, probe, KEY_WOW64_32KEY, 0);

    const std::string through64 = "C:\\written through the 64-bit view";
    SetRegistration(REG_SZ, "C:\\written through the 32-bit view");
    RegisterInView(KEY_WOW64_64KEY, REG_SZ, through64 + '\0');
    char path[MAX_PATH];
    memset(path, 'X', sizeof path);
    DWORD size = sizeof path;
    DWORD type = REG_NONE;
    EXPECT_EQ(ERROR_SUCCESS, RegGetValueA(HKEY_LOCAL_MACHINE, HOST_REGISTRATION_KEY, HOST_FOLDER_VALUE, RRF_RT_REG_SZ, &type, path,
                                          &size));
    EXPECT_EQ(through64, std::string(path)) << "the 32-bit view's App Paths should be the 64-bit view's";
    DeleteRegistration();
}

// Whether the platform's CopyFileA replaces a read-only file: Windows refuses,
// Wine run by root does not (Unix permissions do not stop root).
bool PlatformOverwritesReadOnlyFiles()
{
    const std::string folder = "C:\\e2e\\read-only-probe";
    RemoveTree(folder);
    MakeFolders(folder);
    const std::string target = folder + "\\target";
    std::ofstream(target) << "old";
    std::ofstream(folder + "\\source") << "new";
    SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_READONLY);
    const bool overwritten = CopyFileA((folder + "\\source").c_str(), target.c_str(), FALSE) && ReadBytes(target) == "new";
    RemoveTree(folder);
    return overwritten;
}

// A read-only file where the program writes: the program reports what the
// platform's copy does. Where the copy is refused (Windows), the run stops at
// that copy with its message, as each case below expects; where it is not
// (Wine run by root), the update completes.
const E2eCase READ_ONLY_CASES[] = {
    {"read_only_component", "", Nothing, IDS_COPY_FAILED, FO, FO, SO, ABSENT, ABSENT, 1, nullptr, Hold::NOTHING,
     false, FIRST},
    {"read_only_earlier_backup", "", LeaveOldBackup, IDS_BACKUP_FAILED, FO, FX, SO, ABSENT, ABSENT, 1, nullptr,
     Hold::NOTHING, false, FIRST_BACKUP},
    {"read_only_notes_in_install_folder", "", LeaveOldNotes, IDS_COPY_FAILED, FU, FO, SU, SO, OLD_NOTES, 1,
     nullptr, Hold::NOTHING, false, NOTES_SOURCE_NAME},
};

class E2eReadOnly : public testing::TestWithParam<E2eCase> {};

TEST_P(E2eReadOnly, Run)
{
    const bool overwrites = PlatformOverwritesReadOnlyFiles();
    std::cout << "[ INFO     ] CopyFileA over a read-only file here: " << (overwrites ? "replaces it" : "refuses")
              << "\n";
    const E2eCase& refused = GetParam();
    const E2eCase replaced = {refused.name, "",    refused.arrange, 0,     FU, FO, SU, SO, NOTES, 1,
                              nullptr,      Hold::NOTHING, false,   refused.readOnlyFile};
    RunCase(overwrites ? replaced : refused);
}

// The exe's resources, read through the platform's own resource functions:
// one string table in English (United States), ids 103 to 109 with the
// catalogue's texts, and nothing else: no icon, version, manifest or dialog.
BOOL CALLBACK CollectType(HMODULE, LPSTR type, LONG_PTR types)
{
    reinterpret_cast<std::vector<ULONG_PTR>*>(types)->push_back(reinterpret_cast<ULONG_PTR>(type));
    return TRUE;
}

BOOL CALLBACK CollectLanguage(HMODULE, LPCSTR, LPCSTR, WORD language, LONG_PTR languages)
{
    reinterpret_cast<std::vector<WORD>*>(languages)->push_back(language);
    return TRUE;
}

TEST(ExeResources, OnlyTheMessageCatalogue)
{
    const std::string program = ProgramFolder() + "\\CorvandelUpdate.exe";
    HMODULE exe = LoadLibraryExA(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, exe) << "error " << GetLastError();

    std::vector<ULONG_PTR> types;
    EnumResourceTypesA(exe, CollectType, reinterpret_cast<LONG_PTR>(&types));
    EXPECT_EQ(std::vector<ULONG_PTR>{reinterpret_cast<ULONG_PTR>(RT_STRING)}, types) << "resource types";

    // Ids 96 to 111 share one string block: 103 to 109 of it hold texts.
    std::vector<WORD> languages;
    EnumResourceLanguagesA(exe, RT_STRING, MAKEINTRESOURCEA(7), CollectLanguage, reinterpret_cast<LONG_PTR>(&languages));
    EXPECT_EQ(std::vector<WORD>{MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)}, languages);

    for (UINT id = 96; id <= 111; ++id) {
        char text[256];
        memset(text, 'X', sizeof text);
        const int length = LoadStringA(exe, id, text, 200);
        const bool catalogued = id >= IDS_UPDATE_TITLE && id <= IDS_COPY_FAILED;
        EXPECT_EQ(catalogued ? CatalogueText(id) : std::string(), std::string(text, static_cast<size_t>(length)))
            << "string " << id;
    }
    FreeLibrary(exe);
}

std::string CaseName(const testing::TestParamInfo<E2eCase>& info)
{
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Installations, E2e, testing::ValuesIn(CASES), CaseName);

INSTANTIATE_TEST_SUITE_P(Installations, E2eReadOnly, testing::ValuesIn(READ_ONLY_CASES), CaseName);

INSTANTIATE_TEST_SUITE_P(Installations, E2eWow64, testing::ValuesIn(WOW64_CASES), CaseName);

} // namespace
