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
#include "UnitsimRun.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

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

namespace runner
{
const char* const ShmDir = "/run/shm";
const char* const ZmqDir = "/run/shm/zmq";
// Scratch space of the simulation itself, inside the private /run/shm.
const char* const StateDir = "/run/shm/.unitsim";
const char* const SysappDir = "/root/zel_sysapp";

[[noreturn]] void Fail(const char* pFormat, const char* pArg, const char* pArg2)
{
    fprintf(stderr, "unitsim-run: Error: ");
    fprintf(stderr, pFormat, pArg, pArg2);
    fprintf(stderr, "\n");
    exit(1);
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
}

using namespace runner;

namespace
{
void Usage(FILE* pOut)
{
    fprintf(pOut,
        "Usage: unitsim-run --unit UNIT.json [--] COMMAND [ARGS...]\n"
        "Runs COMMAND on a simulated unit described by UNIT.json.\n"
        "\n"
        "  --unit FILE   the unit description (JSON; see doc/testing.md); --unit=FILE too\n"
        "  -h, --help    show this help\n"
        "\n"
        "The description is checked whole before the unit is set up. Exit status:\n"
        "the command's; 2 for a usage error or a faulty description; 1 when the\n"
        "unit cannot be set up or COMMAND cannot be run.\n"
        "Inside the unit, UNITSIM_UNIT names the description and UNITSIM_STATE_DIR\n"
        "the simulation's scratch space; UNITSIM_DEBUG=1 traces the simulated buses\n"
        "on standard error.\n"
        "\n"
        "Examples:\n"
        "  unitsim-run --unit examples/unit.json -- i2cdetect -y 1\n"
        "  unitsim-run --unit examples/unit.json -- bash\n");
}

// A faulty command line: one line naming the argument, and status 2.
[[noreturn]] void UsageError(const char* pFormat, const char* pArg = "")
{
    fprintf(stderr, "unitsim-run: Error: ");
    fprintf(stderr, pFormat, pArg);
    fprintf(stderr, "; see unitsim-run --help\n");
    exit(2);
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
    SetUpShm();
    SetUpSysapp(SysappFiles);
    SetUpNetwork(pUnit);
    json_decref(pUnit);

    SetUpEnvironment(UnitPath, OwnPrefix);
    execvp(argv[First], argv + First);
    fprintf(stderr, "unitsim-run: Error: cannot run %s: %s\n", argv[First], strerror(errno));
    return 1;
}
