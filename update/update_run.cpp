#include "update/update_run.h"

#include "checks/checks.h"
#include "messages/error_box.h"
#include "messages/messages.h"
#include "platform/text.h"
#include "update/plan.h"

namespace {

// What a step leaves for the run to do: go on, stop because the user has
// already been told, or stop and show a catalogue message (any other value).
constexpr UINT CARRY_ON = 0;
constexpr UINT ALREADY_REPORTED = 1;

UINT CopyOver(const char* source, const char* destination, UINT messageId)
{
    // An existing destination, an earlier backup included, is always replaced:
    // the backup holds the file that was installed just before this run.
    return CopyFileA(source, destination, FALSE) ? CARRY_ON : messageId;
}

UINT UpdateComponent(const ComponentUpdate& row, const char* installFolder, HINSTANCE instance,
                     const char* caption)
{
    char targetPath[MAX_PATH];
    char backupPath[MAX_PATH];
    // A path that does not fit names no file we could read the version of.
    if (!ComposePath(targetPath, installFolder, row.targetSuffix) ||
        !ComposePath(backupPath, installFolder, row.backupSuffix))
        return IDS_NO_VERSION_INFO;

    const ComponentVersion installed = GetComponentVersion(targetPath, instance, caption);
    if (installed.failed)
        return ALREADY_REPORTED;
    if (installed.fileVersionLS == UPDATED_VERSION_LS)
        return CARRY_ON;
    if (installed.fileVersionLS != OUTDATED_VERSION_LS)
        return IDS_WRONG_VERSION;

    if (!HasEnoughDiskSpace(installFolder, row.bytesA, row.bytesB))
        return IDS_LOW_DISK_SPACE;
    const UINT backedUp = CopyOver(targetPath, backupPath, IDS_BACKUP_FAILED);
    if (backedUp != CARRY_ON)
        return backedUp;
    return CopyOver(row.sourceName, targetPath, IDS_COPY_FAILED);
}

UINT CopyNotes(const char* installFolder)
{
    char notesPath[MAX_PATH];
    if (!ComposePath(notesPath, installFolder, NOTES_TARGET_SUFFIX))
        return IDS_COPY_FAILED;
    return CopyOver(NOTES_SOURCE_NAME, notesPath, IDS_COPY_FAILED);
}

UINT ApplyUpdate(HINSTANCE instance, const char* caption)
{
    char installFolder[MAX_PATH];
    DWORD folderSize = MAX_PATH;
    if (!ReadRegistryString(HKEY_LOCAL_MACHINE, HOST_REGISTRATION_KEY, HOST_FOLDER_VALUE, installFolder,
                            &folderSize))
        return IDS_NOT_INSTALLED;

    for (const ComponentUpdate& row : UpdatePlan) {
        const UINT outcome = UpdateComponent(row, installFolder, instance, caption);
        if (outcome != CARRY_ON)
            return outcome;
    }
    return CopyNotes(installFolder);
}

} // namespace

int RunUpdate(HINSTANCE instance)
{
    char caption[MESSAGE_BUFFER_SIZE];
    LoadCatalogueText(instance, IDS_UPDATE_TITLE, caption);

    const UINT outcome = ApplyUpdate(instance, caption);
    if (outcome != CARRY_ON && outcome != ALREADY_REPORTED)
        ShowErrorBox(instance, outcome, caption);
    // The exit code says nothing about the outcome; the box does.
    return 0;
}
