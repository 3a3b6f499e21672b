// A typical outdated installation on the simulated platform, which each
// scenario then bends: Corvandel registered at C:\Apps\Corvandel with both
// components at 2.5.1.1516, started from a download folder that holds the new
// components (2.5.1.1519) and the notes file.
#pragma once

#include "platform/simulated/sim_world.h"
#include "update/plan.h"

#include <string>

inline const std::string INSTALL_FOLDER = "C:\\Apps\\Corvandel";
inline const std::string SOURCE_FOLDER = "C:\\Downloads\\Patch";
inline const std::string PATH_VALUE = "Path";

inline const std::string OLD_KESTOVAR = "installed Kestovar 1516";
inline const std::string OLD_SORVALEN = "installed Sorvalen 1516";
inline const std::string NEW_KESTOVAR = "new Kestovar 1519";
inline const std::string NEW_SORVALEN = "new Sorvalen 1519";
inline const std::string NOTES = "patch notes";

inline const char TITLE[] = "Corvandel Plenthor 7.0 Update";

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
