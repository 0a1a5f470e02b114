// UnitsimRun: what the parts of unitsim-run share. The runner is split by
// job: the command line, the environment and the helpers below
// (UnitsimRun.cpp), the namespaces (UnitNamespaces.cpp), the unit's
// directories and files (UnitFiles.cpp) and its network (UnitNetwork.cpp).
#ifndef SIM_UNITSIMRUN_H
#define SIM_UNITSIMRUN_H

#include <string>
#include <vector>

#include <jansson.h>
#include <sys/types.h>

#include "SimConfigI2c.h"

namespace runner
{
extern const char* const ShmDir;        // the unit's /run/shm, a private tmpfs
extern const char* const ZmqDir;        // its endpoint directory
extern const char* const StateDir;      // the simulation's own scratch space
extern const char* const SysappDir;     // the unit's /root/zel_sysapp

// One "unitsim-run: Error: " line made from pFormat and up to two strings,
// then exit status 1: the unit cannot be set up.
[[noreturn]] void Fail(const char* pFormat, const char* pArg = "", const char* pArg2 = "");
// Writes Text to pPath (created 0644 or truncated), or fails.
void WriteFileOrFail(const char* pPath, const std::string& Text);
// mkdir -p, creating each missing directory with Mode, or fails.
void MakeDirs(const std::string& Path, mode_t Mode);
// Mounts a private tmpfs at pTarget with pOptions, or fails.
void MountTmpfs(const char* pTarget, const char* pOptions);

// Enters new mount and network namespaces whose mounts stay private to the
// unit (UnitNamespaces.cpp).
void EnterNamespaces();

// Brings lo up and gives the unit the eth0 of the (checked) description
// pUnit, if it has one (UnitNetwork.cpp).
void SetUpNetwork(json_t* pUnit);

// A file of the description's "zel_sysapp" list (UnitFiles.cpp).
struct sSysappFile
{
    std::string Path;   // relative to /root/zel_sysapp
    std::string Text;
};
// The files of the description's "zel_sysapp" list, read before the unit is
// set up; fails on a source that cannot be used.
std::vector<sSysappFile> ReadSysapp(json_t* pUnit, const std::string& UnitPath);
// Makes on the host, before the unit covers /root, the chip images and log
// the description puts directly there.
void MakeRootFiles(const unitsim::sSimConfig& Config);
// The unit's /run/shm with its endpoint directory and the scratch space.
void SetUpShm();
// The unit's /root/zel_sysapp, seeded with Files.
void SetUpSysapp(const std::vector<sSysappFile>& Files);
}

#endif
