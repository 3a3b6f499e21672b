// A typical outdated installation on the simulated platform, which each
// scenario then bends: Corvandel registered at C:\Apps\Corvandel with both
// components at the plan's outdated version, started from a download folder
// that holds the new components (its updated version) and the notes file.
#pragma once

#include "messages/catalogue.h"
#include "platform/simulated/sim_world.h"
#include "update/plan.h"

#include <string>

inline const std::string INSTALL_FOLDER = "C:\\Apps\\Corvandel";
inline const std::string SOURCE_FOLDER = "C:\\Downloads\\Patch";
inline const std::string PATH_VALUE = "Path";

inline const std::string OLD_KESTOVAR = "installed Kestovar, outdated";
inline const std::string OLD_SORVALEN = "installed Sorvalen, outdated";
inline const std::string NEW_KESTOVAR = "new Kestovar, updated";
inline const std::string NEW_SORVALEN = "new Sorvalen, updated";
inline const std::string NOTES = "patch notes";

inline const std::string TITLE = [] {
    for (const CatalogueEntry& entry : CATALOGUE)
        if (entry.id == IDS_UPDATE_TITLE)
            return std::string(entry.text);
    return std::string("<no title in the catalogue>");
}();

// Versions the plan does not hold: a build of its family that is neither of
// its two (as the Wine fixtures' unknown-build role), and the families just
// before and after its own.
inline constexpr DWORD UNKNOWN_BUILD_LS =
    OUTDATED_VERSION_LS + 1 != UPDATED_VERSION_LS ? OUTDATED_VERSION_LS + 1 : UPDATED_VERSION_LS + 1;
inline constexpr DWORD OLDER_FAMILY_MS = REQUIRED_VERSION_MS - 1;
inline constexpr DWORD NEWER_FAMILY_MS = REQUIRED_VERSION_MS + 1;

// The free clusters a row of the plan needs on the standard drive (4096-byte
// clusters), as the free-space check counts them; checks_test.cpp proves
// that count on worked values.
inline DWORD RowClusters(size_t row)
{
    return UpdatePlan[row].bytesA / 4096 + UpdatePlan[row].bytesB / 4096 + 2;
}

inline SimWorld StandardWorld()
{
    SimWorld world;
    world.currentDirectory = SOURCE_FOLDER;
    world.drives['C'] = SimDrive();
    SimSetValue(world, HOST_REGISTRATION_KEY, PATH_VALUE, REG_SZ, INSTALL_FOLDER + '\0');
    SimAddComponent(world, INSTALL_FOLDER + "\\Kestovar.ocx", OLD_KESTOVAR, REQUIRED_VERSION_MS, OUTDATED_VERSION_LS);
    SimAddComponent(world, INSTALL_FOLDER + "\\Sorvalen.ocx", OLD_SORVALEN, REQUIRED_VERSION_MS, OUTDATED_VERSION_LS);
    SimAddComponent(world, SOURCE_FOLDER + "\\Kestovar.ocx", NEW_KESTOVAR, REQUIRED_VERSION_MS, UPDATED_VERSION_LS);
    SimAddComponent(world, SOURCE_FOLDER + "\\Sorvalen.ocx", NEW_SORVALEN, REQUIRED_VERSION_MS, UPDATED_VERSION_LS);
    SimAddFile(world, SOURCE_FOLDER + "\\QuilbrexPatch.txt", NOTES);
    return world;
}

// The stored form of a REG_SZ "Path" value, with its terminator.
inline std::string Terminated(const std::string& text)
{
    return text + '\0';
}
