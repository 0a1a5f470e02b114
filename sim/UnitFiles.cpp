// UnitFiles: the unit's directories and files. /run/shm with the endpoint
// directory, and /root/zel_sysapp seeded from the description, are private
// tmpfs mounts; a mount point the host lacks is made inside the unit only
// (MakeMountPoint), so that every other file stays the host's own.
#include "UnitsimRun.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Chip24c32.h"
#include "SimConfigJson.h"

namespace runner
{
namespace
{
const char* const ZmqGroup = "unit-zmq";   // the package's group of the unit's ZeroMQ peers
// Where the host's directory is reached while it is covered.
const char* const HostViewDir = "/run/shm/.unitsim/host";
// A file copied into /root/zel_sysapp: at most the size of its tmpfs.
const off_t MaxSourceBytes = 16 << 20;

// Reads the regular file Path, of at most MaxSourceBytes, into Text; opened
// non-blocking, so that a FIFO is refused rather than waited on. Returns
// what is wrong (Path shown as Shown), or an empty string.
std::string ReadFile(const std::string& Path, const std::string& Shown, std::string& Text)
{
    int Fd = open(Path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat Info;
    if (Fd < 0 || fstat(Fd, &Info) != 0)
    {
        std::string Problem = "cannot read " + Shown + ": " + strerror(errno);
        if (Fd >= 0)
        {
            close(Fd);
        }
        return Problem;
    }
    std::string Problem = !S_ISREG(Info.st_mode)          ? Shown + " is not a regular file"
                          : Info.st_size > MaxSourceBytes ? Shown + " is larger than 16 MiB"
                                                          : "";
    char Chunk[65536];
    ssize_t n = 0;
    while (Problem.empty() && (n = read(Fd, Chunk, sizeof(Chunk))) > 0)
    {
        Text.append(Chunk, static_cast<size_t>(n));
        // It may grow while it is read.
        Problem = Text.size() > static_cast<size_t>(MaxSourceBytes) ? Shown + " is larger than 16 MiB" : "";
    }
    if (Problem.empty() && n < 0)
    {
        Problem = "cannot read " + Shown + ": " + strerror(errno);
    }
    close(Fd);
    return Problem;
}

// Makes Parent/Name exist inside the unit without creating anything on the
// host: Parent is covered by a private tmpfs in which every entry of the
// host's Parent is bound back in place, so everything that exists there
// stays the host's own (reads and writes go through), and Name is made in
// the tmpfs. Only entries created directly in Parent afterwards are private
// to the unit. Returns false when Parent cannot be covered that way (it
// cannot be read, as /root cannot by an unprivileged user); then it is left
// alone.
bool MakeMountPoint(const std::string& Parent, const std::string& Name, const char* pHostView)
{
    struct stat ParentInfo;
    if (stat(Parent.c_str(), &ParentInfo) != 0 || access(Parent.c_str(), R_OK | X_OK) != 0)
    {
        return false;
    }
    MakeDirs(pHostView, 0700);
    if (mount(Parent.c_str(), pHostView, nullptr, MS_BIND | MS_REC, nullptr) != 0)
    {
        return false;
    }
    char Options[64];
    snprintf(Options, sizeof(Options), "mode=%04o,size=16m", static_cast<unsigned>(ParentInfo.st_mode & 07777));
    MountTmpfs(Parent.c_str(), Options);
    if (chown(Parent.c_str(), ParentInfo.st_uid, ParentInfo.st_gid) != 0)
    {
        // The unprivileged case: the owner may not be mapped here.
    }
    DIR* pDir = opendir(pHostView);
    if (pDir == nullptr)
    {
        Fail("cannot list %s: %s", Parent.c_str(), strerror(errno));
    }
    while (struct dirent* pEntry = readdir(pDir))
    {
        std::string Entry = pEntry->d_name;
        if (Entry == "." || Entry == "..")
        {
            continue;
        }
        std::string From = std::string(pHostView) + "/" + Entry;
        std::string To = Parent + "/" + Entry;
        struct stat Info;
        if (lstat(From.c_str(), &Info) != 0)
        {
            continue;   // gone meanwhile
        }
        if (S_ISLNK(Info.st_mode))
        {
            // A link cannot be a mount point; the same link leads to the same place.
            char Target[PATH_MAX];
            ssize_t n = readlink(From.c_str(), Target, sizeof(Target) - 1);
            if (n < 0 || (Target[n] = '\0', symlink(Target, To.c_str()) != 0))
            {
                Fail("cannot make the link %s: %s", To.c_str(), strerror(errno));
            }
            continue;
        }
        int Made = S_ISDIR(Info.st_mode) ? mkdir(To.c_str(), 0700)
                                         : close(open(To.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
        if (Made != 0 || mount(From.c_str(), To.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
        {
            Fail("cannot bind %s in place: %s", To.c_str(), strerror(errno));
        }
    }
    closedir(pDir);
    umount2(pHostView, MNT_DETACH);
    std::string Target = Parent + "/" + Name;
    if (mkdir(Target.c_str(), 0755) != 0 && errno != EEXIST)
    {
        Fail("cannot create directory %s: %s", Target.c_str(), strerror(errno));
    }
    return true;
}

// True when pPath does not exist and would be made directly in /root.
bool NewInRoot(const char* pPath)
{
    std::string Path = pPath;
    std::string Dir = Path.find('/') == std::string::npos ? "." : Path.substr(0, Path.rfind('/'));
    char Real[PATH_MAX];
    struct stat Info;
    return stat(pPath, &Info) != 0 && errno == ENOENT && realpath(Dir.empty() ? "/" : Dir.c_str(), Real) != nullptr
        && strcmp(Real, "/root") == 0;
}

// Seeds /root/zel_sysapp with the files.
void SeedSysapp(const std::vector<sSysappFile>& Files)
{
    for (const sSysappFile& File : Files)
    {
        std::string Target = std::string(SysappDir) + "/" + File.Path;
        MakeDirs(Target.substr(0, Target.rfind('/')), 0755);
        WriteFileOrFail(Target.c_str(), File.Text);
    }
}
}

// The files of the description's "zel_sysapp" list, read before the unit is
// set up. Each entry has "path" and either "content" (text) or "source" (a
// file, relative to the description); the description has been checked. A
// source that cannot be read, is not a regular file or is too large ends
// the runner with status 1, as a unit that cannot be set up.
std::vector<sSysappFile> ReadSysapp(json_t* pUnit, const std::string& UnitPath)
{
    std::vector<sSysappFile> Files;
    std::string UnitDir = UnitPath.substr(0, UnitPath.rfind('/'));
    size_t Index;
    json_t* pEntry;
    json_array_foreach(json_object_get(pUnit, "zel_sysapp"), Index, pEntry)
    {
        Files.push_back({json_string_value(json_object_get(pEntry, "path")), ""});
        const char* pContent = json_string_value(json_object_get(pEntry, "content"));
        const char* pSource = json_string_value(json_object_get(pEntry, "source"));
        if (pContent != nullptr)
        {
            Files.back().Text = pContent;
        }
        else if (pSource != nullptr)
        {
            std::string From = pSource[0] == '/' ? pSource : UnitDir + "/" + pSource;
            // The description names it: escaped, as the description's own checks do.
            std::vector<char> Shown(4 * From.size() + 1);
            unitsim::SimConfigEscape(From.c_str(), Shown.data(), Shown.size());
            std::string Problem = ReadFile(From, Shown.data(), Files.back().Text);
            if (!Problem.empty())
            {
                int Line = unitsim::SimConfigLineOf(UnitPath.c_str(), "zel_sysapp", static_cast<unsigned>(Index),
                                                    "source");
                Fail("%s", (UnitPath + ":" + std::to_string(Line) + ": zel_sysapp[" + std::to_string(Index)
                            + "].source: " + Problem).c_str());
            }
        }
    }
    return Files;
}

// The unit's own files (chip images, the transfer log) are the host's
// wherever they live. Those still to be made directly in a /root that the
// unit will cover (no /root/zel_sysapp on the host) are made on the host
// now, as the simulated buses would make them: a blank chip, an empty log.
void MakeRootFiles(const unitsim::sSimConfig& Config)
{
    struct stat Info;
    if (stat(SysappDir, &Info) == 0)
    {
        return;
    }
    for (unsigned Index = 0; Index < Config.NumDevices; Index++)
    {
        const unitsim::sSimDeviceConfig& Device = Config.Devices[Index];
        if (Device.HasImage && NewInRoot(Device.ImagePath))
        {
            WriteFileOrFail(Device.ImagePath, std::string(unitsim::Chip24c32SizeBytes, '\xff'));
        }
    }
    if (Config.HasLog && NewInRoot(Config.LogPath))
    {
        WriteFileOrFail(Config.LogPath, "");
    }
}

void SetUpShm()
{
    // A host without /run/shm gets it inside the unit only: /run is covered
    // with its entries bound back in place (the view of /run goes through
    // /tmp, since /run/shm, where the runner keeps its scratch, is not there).
    struct stat Info;
    if (stat(ShmDir, &Info) != 0 && !MakeMountPoint("/run", "shm", "/tmp"))
    {
        Fail("there is no %s here and /run cannot be covered to make it", ShmDir);
    }
    MountTmpfs(ShmDir, "mode=1777,size=64m");
    // The endpoint directory as the package makes it on a unit: owner root,
    // group ZmqGroup, mode 3770, so only root and the group reach it. Where
    // the group does not exist (no package on this host) or cannot be given
    // (it is unmapped in a user namespace), the group stays root's.
    MakeDirs(ZmqDir, 0700);
    const struct group* pZmqGroup = getgrnam(ZmqGroup);
    if (pZmqGroup != nullptr && chown(ZmqDir, 0, pZmqGroup->gr_gid) != 0 && errno != EINVAL)
    {
        Fail("cannot give /run/shm/zmq to group %s: %s", ZmqGroup, strerror(errno));
    }
    if (chmod(ZmqDir, 03770) != 0)
    {
        Fail("cannot set the mode of %s: %s", ZmqDir, strerror(errno));
    }
    MakeDirs(StateDir, 0755);
}

// Gives /root/zel_sysapp a private tmpfs. When the directory does not exist
// on the host, its mount point is made by MakeMountPoint, so everything
// under /root stays the host's own; only files made directly in /root stay
// in the unit, which the user is told once. Where /root cannot be read (an
// unprivileged user, to whom the host's /root is closed anyway), /root
// becomes an empty private tmpfs.
void SetUpSysapp(const std::vector<sSysappFile>& Files)
{
    struct stat Info;
    if (stat(SysappDir, &Info) != 0)
    {
        // Told to people only: scripts and tests read the command's own
        // standard error.
        bool Made = MakeMountPoint("/root", "zel_sysapp", HostViewDir);
        if (Made && isatty(STDERR_FILENO))
        {
            fprintf(stderr, "unitsim-run: Note: this host has no /root/zel_sysapp, so new files made directly "
                            "in /root stay in the unit (all else under /root is the host's own); "
                            "'mkdir /root/zel_sysapp' on the host avoids that\n");
        }
        if (!Made)
        {
            MountTmpfs("/root", "mode=0755,size=16m");
            MakeDirs(SysappDir, 0755);
        }
    }
    MountTmpfs(SysappDir, "mode=0755,size=16m");
    SeedSysapp(Files);
}
}
