// unitsim-run: runs a command on a simulated unit.
//
// The command gets private mount and network namespaces that look like the
// unit: an interface "eth0" with the MAC address of the unit description (or
// none), a private tmpfs at /run/shm with /run/shm/zmq in it, and a private
// tmpfs at /root/zel_sysapp seeded with the files the description lists.
// Nothing the command does there reaches the host's files, and several runs
// can go on side by side; every other file is the host's own. A mount point
// the host lacks is made without creating it there (MakeMountPoint), and a
// chroot whose root is no mount point serves as a host too. The I2C buses of the description are emulated by a
// library preloaded into the command (lib/<multiarch>/libunitsim-i2c.so
// beside bin/, for each architecture installed there).
//
// As root plain namespaces are used; otherwise an unprivileged user namespace
// maps the caller to root inside, where the kernel allows it.
//
// The runner execs the command in place, so the command keeps the runner's
// process id, receives its signals and its exit status is the runner's. The
// namespaces and mounts vanish with the last process that uses them.
//
// The whole description is checked (by the simulated buses' own parser)
// before anything is set up: a faulty one is reported with its file and
// line, and the runner exits with status 2, as for a usage error. A unit
// that cannot be set up ends it with status 1.
#include <cerrno>
#include <climits>
#include <dirent.h>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <jansson.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Chip24c32.h"
#include "SimConfig.h"
#include "SimLibc.h"

// The description parser reports through these; the runner has no tracing.
namespace unitsim
{
void ReportError(const char* pFormat, ...)
{
    va_list Args;
    va_start(Args, pFormat);
    fprintf(stderr, "unitsim-run: Error: ");
    vfprintf(stderr, pFormat, Args);
    fprintf(stderr, "\n");
    va_end(Args);
}
bool TraceOn()
{
    return false;
}
void Trace(const char*, ...) {}
}

namespace
{
const char* const ShmDir = "/run/shm";
const char* const ZmqDir = "/run/shm/zmq";
// The group of the unit's ZeroMQ peers, made by the eeprom-manager package.
const char* const ZmqGroup = "unit-zmq";
// Scratch space of the simulation itself, inside the private /run/shm.
const char* const StateDir = "/run/shm/.unitsim";
const char* const SysappDir = "/root/zel_sysapp";
const char* const PeerInterface = "unitsim0";

void Usage(FILE* pOut)
{
    fprintf(pOut,
        "Usage: unitsim-run --unit UNIT.json [--] COMMAND [ARGS...]\n"
        "Runs COMMAND on a simulated unit described by UNIT.json.\n"
        "\n"
        "  --unit FILE   the unit description (JSON; see the README)\n"
        "  -h, --help    show this help\n"
        "\n"
        "The description is checked whole before the unit is set up. Exit status:\n"
        "the command's; 2 for a usage error or a faulty description; 1 when the\n"
        "unit cannot be set up or COMMAND cannot be run.\n"
        "\n"
        "Examples:\n"
        "  unitsim-run --unit examples/unit.json -- i2cdetect -y 1\n"
        "  unitsim-run --unit examples/unit.json -- bash\n");
}

[[noreturn]] void Fail(const char* pFormat, const char* pArg = "", const char* pArg2 = "")
{
    fprintf(stderr, "unitsim-run: Error: ");
    fprintf(stderr, pFormat, pArg, pArg2);
    fprintf(stderr, "\n");
    exit(1);
}

// A faulty command line: one line naming the argument, and status 2.
[[noreturn]] void UsageError(const char* pFormat, const char* pArg = "")
{
    fprintf(stderr, "unitsim-run: Error: ");
    fprintf(stderr, pFormat, pArg);
    fprintf(stderr, "; see unitsim-run --help\n");
    exit(2);
}

void WriteFileOrFail(const char* pPath, const std::string& Text)
{
    int Fd = open(pPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (Fd < 0)
    {
        Fail("cannot create %s: %s", pPath, strerror(errno));
    }
    size_t Done = 0;
    while (Done < Text.size())
    {
        ssize_t n = write(Fd, Text.data() + Done, Text.size() - Done);
        if (n < 0)
        {
            Fail("cannot write %s: %s", pPath, strerror(errno));
        }
        Done += static_cast<size_t>(n);
    }
    close(Fd);
}

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

// mkdir -p, creating each missing directory with Mode.
void MakeDirs(const std::string& Path, mode_t Mode)
{
    for (size_t Pos = 1; Pos <= Path.size(); Pos++)
    {
        if (Pos == Path.size() || Path[Pos] == '/')
        {
            std::string Part = Path.substr(0, Pos);
            if (mkdir(Part.c_str(), Mode) != 0 && errno != EEXIST)
            {
                Fail("cannot create directory %s: %s", Part.c_str(), strerror(errno));
            }
        }
    }
}

void MountTmpfs(const char* pTarget, const char* pOptions)
{
    if (mount("unitsim", pTarget, "tmpfs", MS_NOSUID | MS_NODEV, pOptions) != 0)
    {
        Fail("cannot mount a tmpfs at %s: %s", pTarget, strerror(errno));
    }
}

// Runs the ip(8) command with the given arguments; fails on a non-zero status.
void RunIp(const std::vector<std::string>& Args)
{
    static const char* const Candidates[] = {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"};
    const char* pIp = nullptr;
    for (const char* pCandidate : Candidates)
    {
        if (access(pCandidate, X_OK) == 0)
        {
            pIp = pCandidate;
            break;
        }
    }
    if (pIp == nullptr)
    {
        Fail("ip(8) not found; install the iproute2 package");
    }
    std::vector<char*> Argv;
    Argv.push_back(const_cast<char*>(pIp));
    std::string Line = "ip";
    for (const std::string& Arg : Args)
    {
        Argv.push_back(const_cast<char*>(Arg.c_str()));
        Line += " " + Arg;
    }
    Argv.push_back(nullptr);
    pid_t Pid = fork();
    if (Pid < 0)
    {
        Fail("fork failed: %s", strerror(errno));
    }
    if (Pid == 0)
    {
        execv(pIp, Argv.data());
        _exit(127);
    }
    int Status = 0;
    while (waitpid(Pid, &Status, 0) < 0 && errno == EINTR)
    {
    }
    if (!WIFEXITED(Status) || WEXITSTATUS(Status) != 0)
    {
        Fail("'%s' failed", Line.c_str());
    }
}

// Enters a new user namespace, in which this process is root, with new mount
// and network namespaces owned by it. As another user the caller's uid and
// gid become 0 inside; as root they stay 0.
void EnterUserNamespace(uid_t Uid, gid_t Gid)
{
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS | CLONE_NEWNET) != 0)
    {
        Fail("this kernel does not let an unprivileged user create namespaces (%s); "
             "run as root, or allow it with sysctl kernel.unprivileged_userns_clone=1 "
             "and user.max_user_namespaces > 0", strerror(errno));
    }
    char Map[64];
    WriteFileOrFail("/proc/self/setgroups", "deny");
    snprintf(Map, sizeof(Map), "0 %u 1", static_cast<unsigned>(Uid));
    WriteFileOrFail("/proc/self/uid_map", Map);
    snprintf(Map, sizeof(Map), "0 %u 1", static_cast<unsigned>(Gid));
    WriteFileOrFail("/proc/self/gid_map", Map);
    // Not even the host's later mounts reach the unit, where "/" is a mount
    // point; in a chroot it is not, and the slaves stay.
    mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
}

// In a chroot whose root is no mount point (a plain directory made with
// debootstrap, say), "/" cannot be named to make the namespace's mounts
// private, and a user namespace cannot be made from a chroot either. Within
// its own mount namespace the runner (root) steps out of the chroot, makes
// every mount private from the namespace's real root, and steps back in: a
// chroot into a subdirectory leaves the working directory outside the new
// root, from where ".." climbs to the namespace's root. Only this process's
// view changes, and only for this moment.
void MakeMountsPrivateFromChroot()
{
    char Cwd[PATH_MAX];
    bool HaveCwd = getcwd(Cwd, sizeof(Cwd)) != nullptr;
    int Inside = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    const char* pStep = access("/tmp", X_OK) == 0 ? "/tmp" : "/dev";
    if (Inside < 0 || chdir("/") != 0 || chroot(pStep) != 0)
    {
        Fail("cannot make the mounts private in this chroot (%s); bind-mount its root onto itself "
             "(mount --bind DIR DIR) before entering it", strerror(errno));
    }
    struct stat Here, Up;
    for (int Steps = 0; Steps < 4096 && stat(".", &Here) == 0 && stat("..", &Up) == 0; Steps++)
    {
        if (Here.st_dev == Up.st_dev && Here.st_ino == Up.st_ino)
        {
            break;
        }
        if (chdir("..") != 0)
        {
            break;
        }
    }
    bool Private = chroot(".") == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    int Error = errno;
    if (fchdir(Inside) != 0 || chroot(".") != 0)
    {
        Fail("cannot return into the chroot: %s", strerror(errno));
    }
    close(Inside);
    if (!HaveCwd || chdir(Cwd) != 0)
    {
        if (chdir("/") != 0) {}
    }
    if (!Private)
    {
        Fail("cannot make the mounts private in this chroot (%s); bind-mount its root onto itself "
             "(mount --bind DIR DIR) before entering it", strerror(Error));
    }
}

// Private mount and network namespaces in which every mount below stays
// private to this unit.
void EnterNamespaces()
{
    uid_t Uid = geteuid();
    gid_t Gid = getegid();
    if (Uid != 0)
    {
        // A mount namespace owned by a new user namespace receives the
        // host's mounts as slaves: nothing mounted in it reaches the host.
        EnterUserNamespace(Uid, Gid);
        return;
    }
    if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0)
    {
        Fail("cannot create mount and network namespaces: %s", strerror(errno));
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0)
    {
        return;
    }
    if (errno != EINVAL)
    {
        Fail("cannot make the mounts private: %s", strerror(errno));
    }
    MakeMountsPrivateFromChroot();
}

// The description has been checked: eth0 is null, absent or has a valid
// "mac" and maybe "ipv4".
void SetUpNetwork(json_t* pUnit)
{
    RunIp({"link", "set", "lo", "up"});
    json_t* pEth0 = json_object_get(pUnit, "eth0");
    if (pEth0 == nullptr || json_is_null(pEth0))
    {
        return;  // a unit without eth0
    }
    const char* pMac = json_string_value(json_object_get(pEth0, "mac"));
    // A veth pair gives a real interface of any name without kernel modules.
    RunIp({"link", "add", "eth0", "type", "veth", "peer", "name", PeerInterface});
    RunIp({"link", "set", "eth0", "address", pMac});
    RunIp({"link", "set", PeerInterface, "up"});
    RunIp({"link", "set", "eth0", "up"});
    const char* pIpv4 = json_string_value(json_object_get(pEth0, "ipv4"));
    if (pIpv4 != nullptr)
    {
        RunIp({"addr", "add", pIpv4, "dev", "eth0"});
    }
}

// Where the host's directory is reached while it is covered.
const char* const HostViewDir = "/run/shm/.unitsim/host";

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

// Gives /root/zel_sysapp a private tmpfs. When the directory does not exist
// on the host, its mount point is made by MakeMountPoint, so everything
// under /root stays the host's own; only files made directly in /root stay
// in the unit, which the user is told once. Where /root cannot be read (an
// unprivileged user, to whom the host's /root is closed anyway), /root
// becomes an empty private tmpfs.
void SetUpSysapp()
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
}

struct sSysappFile
{
    std::string Path;   // relative to /root/zel_sysapp
    std::string Text;
};

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

// The prefix the running executable is installed under (bin/..); the
// build tree has the same layout.
std::string Prefix()
{
    char Self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", Self, sizeof(Self) - 1);
    if (n <= 0)
    {
        return "";
    }
    Self[n] = '\0';
    std::string Path = Self;
    Path = Path.substr(0, Path.rfind('/'));     // bin
    return Path.substr(0, Path.rfind('/'));
}

// The simulated buses are preloaded into every process of the unit from
// PREFIX/lib/<multiarch>/unitsim/. The dynamic loader expands "$LIB" in LD_PRELOAD
// to its own lib/<multiarch> (Debian), so a program of another architecture
// run under an emulator (qemu-arm-static) loads the library built for it,
// when that is installed beside ours.
// Prefix is taken before the namespaces are entered: in a new mount
// namespace inside a chroot, /proc/self/exe can name the path outside it.
void SetUpEnvironment(const std::string& UnitPath, const std::string& Prefix)
{
    setenv("UNITSIM_UNIT", UnitPath.c_str(), 1);
    setenv("UNITSIM_STATE_DIR", StateDir, 1);
    if (access((Prefix + "/lib/" UNITSIM_LIB_ARCH "/unitsim/libunitsim-i2c.so").c_str(), R_OK) == 0)
    {
        std::string Preload = Prefix + "/$LIB/unitsim/libunitsim-i2c.so";
        const char* pOld = getenv("LD_PRELOAD");
        if (pOld != nullptr && pOld[0] != '\0')
        {
            Preload += ":" + std::string(pOld);
        }
        setenv("LD_PRELOAD", Preload.c_str(), 1);
    }
}
}

int main(int argc, char* argv[])
{
    const char* pUnitArg = nullptr;
    int First = 1;
    while (First < argc)
    {
        std::string Arg = argv[First];
        if (Arg == "-h" || Arg == "--help")
        {
            Usage(stdout);
            return 0;
        }
        if (Arg == "--unit" || Arg.rfind("--unit=", 0) == 0)
        {
            bool Joined = Arg != "--unit";
            pUnitArg = Joined ? argv[First] + 7 : First + 1 < argc ? argv[First + 1] : "";
            if (pUnitArg[0] == '\0' || (!Joined && strcmp(pUnitArg, "--") == 0))
            {
                UsageError("--unit needs a value, the unit description (--unit FILE)");
            }
            First += Joined ? 1 : 2;
        }
        else if (Arg == "--")
        {
            First++;
            break;
        }
        else if (Arg.size() > 1 && Arg[0] == '-')
        {
            UsageError("unknown option '%s'", Arg.c_str());
        }
        else
        {
            break;
        }
    }
    if (pUnitArg == nullptr)
    {
        UsageError("no unit description given (--unit FILE)");
    }
    if (First >= argc)
    {
        UsageError("no command given to run on the unit described by '%s'", pUnitArg);
    }

    // The whole description is checked before anything is set up.
    char UnitPath[PATH_MAX];
    if (realpath(pUnitArg, UnitPath) == nullptr)
    {
        fprintf(stderr, "unitsim-run: Error: --unit %s: %s\n", pUnitArg, strerror(errno));
        return 2;
    }
    static unitsim::sSimConfig Config;
    if (unitsim::SimConfigLoad(UnitPath, &Config))
    {
        return 2;
    }
    json_error_t Error;
    json_t* pUnit = json_load_file(UnitPath, JSON_REJECT_DUPLICATES, &Error);
    if (pUnit == nullptr)
    {
        Fail("%s: %s", UnitPath, Error.text);     // it changed since it was checked
    }
    std::vector<sSysappFile> SysappFiles = ReadSysapp(pUnit, UnitPath);
    MakeRootFiles(Config);

    std::string OwnPrefix = Prefix();
    EnterNamespaces();
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
    SetUpSysapp();
    SeedSysapp(SysappFiles);
    SetUpNetwork(pUnit);
    json_decref(pUnit);

    SetUpEnvironment(UnitPath, OwnPrefix);
    execvp(argv[First], argv + First);
    fprintf(stderr, "unitsim-run: Error: cannot run %s: %s\n", argv[First], strerror(errno));
    return 1;
}
