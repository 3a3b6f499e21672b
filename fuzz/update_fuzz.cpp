// Drives RunUpdate on the simulated platform with a world decoded from the
// fuzz input, then asserts what must hold after every run whatever the world.
//
// Each choice is taken from one input byte: a digit stands for its own value,
// any other byte for its code, modulo the number of options. So a seed is a
// readable string of digits, and "0000..." is a plain outdated installation.
#include "messages/catalogue.h"
#include "messages/error_box.h"
#include "platform/simulated/sim_world.h"
#include "update/plan.h"
#include "update/update_run.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

struct Input {
    const uint8_t* data;
    size_t size;
    size_t at;
};

unsigned Choose(Input& in, unsigned options)
{
    if (in.at >= in.size)
        return 0;
    const unsigned c = in.data[in.at++];
    return (c >= '0' && c <= '9' ? c - '0' : c) % options;
}

DWORD Word(Input& in)
{
    DWORD word = 0;
    for (int i = 0; i < 4 && in.at < in.size; ++i)
        word |= static_cast<DWORD>(in.data[in.at++]) << (8 * i);
    return word;
}

std::string Bytes(Input& in, size_t count)
{
    count = std::min(count, in.size - in.at);
    std::string bytes(reinterpret_cast<const char*>(in.data + in.at), count);
    in.at += count;
    return bytes;
}

[[noreturn]] void Broken(const char* invariant, const std::string& detail = "")
{
    std::fprintf(stderr, "invariant broken: %s %s\n", invariant, detail.c_str());
    std::abort();
}

const char* const COMPONENTS[] = {"Kestovar", "Sorvalen"};
const char* const FOLDERS[] = {"C:\\Apps\\Corvandel", "D:\\Corvandel", "\\\\server\\share\\Corvandel"};

std::string RegistryData(Input& in, const std::string& folder)
{
    switch (Choose(in, 6)) {
    case 0: return folder + '\0';
    case 1: return folder;
    case 2: return folder + "\\" + '\0';
    case 3: return std::string(1, '\0');
    case 4: { // long folders around the limits of a path
        std::string longFolder = folder + "\\" + std::string(220 + Choose(in, 40), 'L');
        return Choose(in, 2) ? longFolder : longFolder + '\0';
    }
    default: {
        const size_t length = (Word(in) & 0xFFFF) % 301;
        return Bytes(in, length);
    }
    }
}

void DecodeVersion(Input& in, SimFile& file)
{
    file.hasVersion = true;
    file.version.fileVersionMS = REQUIRED_VERSION_MS;
    switch (Choose(in, 9)) {
    case 0: file.version.fileVersionLS = OUTDATED_VERSION_LS; break;
    case 1: file.version.fileVersionLS = UPDATED_VERSION_LS; break;
    case 2: file.version.fileVersionLS = OUTDATED_VERSION_LS + 1; break;
    case 3: file.version.fileVersionLS = 0; break;
    case 4: file.version.fileVersionMS = REQUIRED_VERSION_MS - 1; file.version.fileVersionLS = OUTDATED_VERSION_LS; break;
    case 5: file.version.fileVersionMS = REQUIRED_VERSION_MS + 1; file.version.fileVersionLS = UPDATED_VERSION_LS; break;
    case 6: file.version.fileVersionMS = Word(in); file.version.fileVersionLS = Word(in); break;
    case 7: file.version.fileVersionLS = OUTDATED_VERSION_LS; file.version.fixedInfoLength = Choose(in, 64); break;
    default: file.version.fileVersionLS = OUTDATED_VERSION_LS; file.readOnly = true; break;
    }
}

SimDrive DecodeDrive(Input& in)
{
    SimDrive drive;
    switch (Choose(in, 7)) {
    case 0: break;
    // One cluster short of the first row, and of the second (4096-byte clusters).
    case 1: drive.freeClusters = UpdatePlan[0].bytesA / 4096 + UpdatePlan[0].bytesB / 4096 + 1; break;
    case 2: drive.freeClusters = UpdatePlan[1].bytesA / 4096 + UpdatePlan[1].bytesB / 4096 + 1; break;
    case 3: drive.sectorsPerCluster = 0; break;
    case 4: drive.bytesPerSector = 0; break;
    case 5: drive.sectorsPerCluster = drive.bytesPerSector = 0x10000; break;
    default:
        drive.sectorsPerCluster = Word(in);
        drive.bytesPerSector = Word(in);
        drive.freeClusters = Word(in);
        break;
    }
    return drive;
}

SimWorld DecodeWorld(Input& in, std::string* folder)
{
    SimWorld world;
    world.currentDirectory = "C:\\Downloads\\Patch";
    const unsigned pathKind = Choose(in, 5);
    *folder = FOLDERS[Choose(in, 3)];
    const std::string data = RegistryData(in, *folder);
    const DWORD types[] = {REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_SZ};
    if (pathKind < 4)
        SimSetValue(world, HOST_REGISTRATION_KEY, "Path", types[pathKind], data);
    if (pathKind == 3)
        world.keys.begin()->second.values.clear(); // the key without its value
    // What the program will take as its folder, if it takes one at all.
    *folder = data.substr(0, data.find('\0'));

    for (const char* component : COMPONENTS) {
        const std::string target = *folder + "\\" + component + ".ocx";
        const unsigned state = Choose(in, 3);
        if (state == 0)
            DecodeVersion(in, SimAddFile(world, target, std::string("installed ") + component));
        else if (state == 1)
            SimAddFile(world, target, std::string("unversioned ") + component);
    }
    for (const char* component : COMPONENTS)
        if (Choose(in, 2) == 0)
            SimAddComponent(world, std::string(component) + ".ocx", std::string("new ") + component, REQUIRED_VERSION_MS,
                            UPDATED_VERSION_LS);
    if (Choose(in, 2) == 0)
        SimAddFile(world, "QuilbrexPatch.txt", "notes");
    if (Choose(in, 2) == 1)
        SimAddFile(world, *folder + "\\Kestovar.old", "backup from an earlier run");
    world.drives['C'] = DecodeDrive(in);
    world.drives['D'] = DecodeDrive(in);
    const unsigned failing = Choose(in, 12);
    if (failing > 0)
        world.failures.push_back({static_cast<SimOp>(failing - 1), static_cast<int>(Choose(in, 4))});
    return world;
}

bool Changed(const SimWorld& before, const SimWorld& after, const std::string& resolved)
{
    const auto was = before.files.find(resolved);
    const auto is = after.files.find(resolved);
    if (is == after.files.end())
        return was != before.files.end();
    return was == before.files.end() || was->second.bytes != is->second.bytes;
}

size_t IndexOf(const SimWorld& world, const std::string& call)
{
    for (size_t i = 0; i < world.calls.size(); ++i)
        if (world.calls[i] == call)
            return i;
    return world.calls.size();
}

const char* CatalogueText(unsigned id)
{
    for (const CatalogueEntry& entry : CATALOGUE)
        if (entry.id == id)
            return entry.text;
    return "<not in the catalogue>";
}

bool IsCatalogueText(const std::string& text)
{
    for (const CatalogueEntry& entry : CATALOGUE)
        if (text == entry.text)
            return true;
    return text == OUT_OF_MEMORY_TEXT;
}

bool Failing(const SimWorld& world, SimOp op, int call)
{
    for (const SimFailure& failure : world.failures)
        if (failure.op == op && (failure.call == 0 || failure.call == call))
            return true;
    return false;
}

void CheckBoxes(const SimWorld& world)
{
    if (world.boxes.size() > 1)
        Broken("more than one box");
    const bool catalogueFails = !world.failures.empty() && world.failures[0].op == SimOp::LoadStringA;
    for (const SimBox& box : world.boxes) {
        if (!IsCatalogueText(box.text) && !(catalogueFails && box.text.empty()))
            Broken("box text is not a catalogue text", box.text);
        if (box.caption != CatalogueText(IDS_UPDATE_TITLE) && !(catalogueFails && box.caption.empty()))
            Broken("box caption is not the title", box.caption);
        if (box.style != (MB_OK | MB_ICONERROR | MB_TASKMODAL) || box.owner != nullptr)
            Broken("box style");
    }
}

void CheckRows(const SimWorld& before, const SimWorld& after, const std::string& folder, bool* rowsDone)
{
    for (int row = 0; row < 2; ++row) {
        const ComponentUpdate& plan = UpdatePlan[row];
        const std::string targetPath = folder + plan.targetSuffix;
        const std::string target = SimResolve(after, targetPath);
        const std::string backup = SimResolve(after, folder + plan.backupSuffix);
        const auto was = before.files.find(target);
        const bool wasVersioned = was != before.files.end() && was->second.hasVersion &&
                                  was->second.version.fileVersionMS == REQUIRED_VERSION_MS &&
                                  was->second.version.fixedInfoLength >= sizeof(VS_FIXEDFILEINFO);
        const bool wasOutdated = wasVersioned && was->second.version.fileVersionLS == OUTDATED_VERSION_LS;
        const bool wasUpdated = wasVersioned && was->second.version.fileVersionLS == UPDATED_VERSION_LS;
        const bool replaced = Changed(before, after, target);
        rowsDone[row] = replaced || wasUpdated;
        if (!replaced)
            continue;
        if (!wasOutdated)
            Broken("replaced a component that was not at the outdated version", target);
        const auto backedUp = after.files.find(backup);
        if (backedUp == after.files.end() || backedUp->second.bytes != was->second.bytes)
            Broken("replaced a component without a backup of it", target);
        const size_t backupCall = IndexOf(after, "CopyFileA(" + targetPath + ", " + folder + plan.backupSuffix + ", 0)");
        const size_t replaceCall = IndexOf(after, "CopyFileA(" + std::string(plan.sourceName) + ", " + targetPath + ", 0)");
        if (!(backupCall < replaceCall))
            Broken("replaced before the backup was written", target);

        // The space check of this row passed: the platform answered, with room.
        int spaceCall = 0;
        for (size_t i = 0; i < replaceCall; ++i)
            spaceCall += after.calls[i].rfind("GetDiskFreeSpaceA(", 0) == 0;
        if (spaceCall == 0 || Failing(after, SimOp::GetDiskFreeSpaceA, spaceCall))
            Broken("replaced without a successful space check", target);
        const char letter = folder.size() >= 2 && folder[1] == ':' ? static_cast<char>(std::toupper(folder[0])) : 'C';
        const auto drive = after.drives.find(letter);
        if (drive == after.drives.end())
            Broken("replaced on a drive that does not exist", target);
        const DWORD cluster = drive->second.sectorsPerCluster * drive->second.bytesPerSector;
        if (cluster == 0 || drive->second.freeClusters < plan.bytesA / cluster + plan.bytesB / cluster + 2)
            Broken("replaced on a drive without room", target);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Input in = {data, size, 0};
    std::string folder;
    SimWorld world = DecodeWorld(in, &folder);
    const SimWorld before = world;

    SimInstall(&world);
    const int result = RunUpdate(world.module);
    SimInstall(nullptr);

    if (result != 0)
        Broken("RunUpdate did not return 0");
    CheckBoxes(world);
    if (world.openKeys != 0 || !world.liveBlocks.empty())
        Broken("key left open or version block not freed");
    if (!world.misuses.empty())
        Broken("misuse of the platform:", world.misuses[0]);

    std::string destinations[5];
    int count = 0;
    for (const ComponentUpdate& row : UpdatePlan) {
        destinations[count++] = SimResolve(world, folder + row.targetSuffix);
        destinations[count++] = SimResolve(world, folder + row.backupSuffix);
    }
    destinations[count++] = SimResolve(world, folder + NOTES_TARGET_SUFFIX);
    for (const auto& file : world.files) {
        if (!Changed(before, world, file.first))
            continue;
        bool allowed = false;
        for (const std::string& destination : destinations)
            allowed = allowed || destination == file.first;
        if (!allowed)
            Broken("wrote a file that is none of the five destinations", file.first);
    }

    bool rowsDone[2] = {false, false};
    CheckRows(before, world, folder, rowsDone);
    if (Changed(before, world, destinations[4]) && !(rowsDone[0] && rowsDone[1]))
        Broken("copied the notes though a row was neither replaced nor already updated");
    return 0;
}
