// Fuzzes promtool's whole command line. The input is up to eight command
// lines (split at each 0xFF byte; their arguments at each NUL), run one
// after another as `promtool ARGS...` through the program's own entry, in a
// scratch directory that each input starts empty but for units.csv, on a
// simulated unit (unitsim-run: its eth0, a network and mounts of its own)
// whose chip, simulated here, holds this unit's record at the start of each
// input. Command N's standard output goes to the file outN, for a later
// command to read. Nothing outside is reached: an input with an argument
// that may name a file outside the scratch directory is not run (nor one
// with a batch of over 1000 units, which takes seconds), the
// unit's endpoint directory is gone, the commands that talk to a service get
// a --zmq-dir that does not exist as their last option (so they return at
// once instead of waiting), and a PostgreSQL ledger finds no server. No command of a seed
// is a usage error.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "FuzzSeeds.h"
#include "NetworkUtils.h"
#include "PromCommandLine.h"
#include "PromCommands.h"
#include "PromContract.h"
#include "PromImage.h"
#include "UnitsimI2c.h"

static std::string Dir;     // the unit description and its chip
static std::string Work;    // the commands' working directory, a tmpfs made afresh for each input
static eeprom_u Chip;       // the chip image each input starts with
static int Home = -1;       // the working directory libFuzzer reads its files from

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    const char* pTmp = getenv("TMPDIR");
    Dir = std::string(nullptr != pTmp ? pTmp : "/tmp") + "/fuzz-promtool-XXXXXX";
    Chip = {};
    memcpy(Chip.s.sn, "123456", 6);
    memcpy(Chip.s.unit_name, "Fuzz", 4);
    if (nullptr == getenv("UNITSIM_UNIT") || nullptr == mkdtemp(&Dir[0]) || (Home = open(".", O_PATH)) < 0 || GetMacBytesFromIoctl(Chip.s.mac)
        || cPromImage::BindCipher() || (0 != rmdir(PromZmqDir) && ENOENT != errno))
    {
        fprintf(stderr, "fuzz_promtool runs on a simulated unit: unitsim-run --unit tests/units/basic.json -- ...\n");
        abort();
    }
    cPromImage::Encrypt(Chip.b);
    Work = Dir + "/work";
    mkdir(Work.c_str(), 0700);
    std::ofstream(Dir + "/unit.json") << "{\"i2c\": {\"buses\": {\"0\": [], \"2\": [], \"1\": [{\"model\": \"24c32\", "
                                         "\"address\": \"0x50\", \"image\": \"chip.bin\", \"write_cycle_ms\": 0}]}}}";
    std::ofstream(Dir + "/chip.bin", std::ios::binary).write(reinterpret_cast<char*>(Chip.b), sizeof(Chip));
    setenv("UNITSIM_STATE_DIR", Dir.c_str(), 1);
    // Once: the buses promtool opens stay open for the process, as they do for one command.
    if (0 != unitsim_i2c_load((Dir + "/unit.json").c_str()))
    {
        abort();
    }
    setenv("PROMTOOL_LEDGER", "ledger.db", 1);
    setenv("PGHOST", Dir.c_str(), 1);   // no server's socket there, and no services
    setenv("PGSYSCONFDIR", Dir.c_str(), 1);
    setenv("PGSERVICEFILE", (Dir + "/none").c_str(), 1);
    unsetenv("PGHOSTADDR");
    unsetenv("PGSERVICE");
    return nullptr == freopen("/dev/null", "r", stdin);
}

// True for an argument that names no file outside the working directory: one
// with a '/' is a relative path of plain names (letters, digits, '.', '_',
// '-', no ".."), and not an option, whose value might follow a '='.
static bool StaysInside(const std::string& Arg)
{
    return Arg.find('/') == std::string::npos
           || (Arg.find("..") == std::string::npos && isalnum(static_cast<unsigned char>(Arg[0]))
               && Arg.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-/")
                      == std::string::npos);
}

// True for a command line with a --count (in any of getopt's spellings)
// above 1000: a batch that large takes seconds, as in the factory.
static bool LargeCount(const std::vector<std::string>& Line)
{
    for (size_t i = 0; i < Line.size(); i++)
    {
        std::string Name = Line[i].substr(0, Line[i].find('='));
        std::string Value = Name.size() < Line[i].size() ? Line[i].substr(Name.size() + 1)
                            : i + 1 < Line.size()         ? Line[i + 1]
                                                          : "";
        if (Name.size() >= 4 && 0 == std::string("--count").compare(0, Name.size(), Name)
            && strtol(Value.c_str(), nullptr, 10) > 1000)
        {
            return true;
        }
    }
    return false;
}

// Splits the input into command lines; false when an argument may name a
// file outside the working directory, or a batch is large.
static bool CommandLines(const uint8_t* pData, size_t Size, std::vector<std::vector<std::string>>* pLines)
{
    std::string Text(reinterpret_cast<const char*>(pData), Size);
    for (size_t Start = 0; Start <= Text.size() && pLines->size() < 8;)
    {
        size_t End = std::min(Text.find('\xff', Start), Text.size());
        std::string Line = Text.substr(Start, End - Start);
        pLines->emplace_back();
        for (size_t At = 0; At <= Line.size() && pLines->back().size() < 32;)
        {
            size_t Nul = std::min(Line.find('\0', At), Line.size());
            pLines->back().push_back(Line.substr(At, Nul - At));
            if (!StaysInside(pLines->back().back()))
            {
                return false;
            }
            At = Nul + 1;
        }
        Start = End + 1;
        if (LargeCount(pLines->back()))
        {
            return false;
        }
    }
    return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t Size)
{
    std::vector<std::vector<std::string>> Lines;
    if (!CommandLines(pData, Size, &Lines))
    {
        return -1;
    }
    // A small tmpfs, so that a large batch fails soon.
    if (0 != chdir("/") || (0 != umount2(Work.c_str(), MNT_DETACH) && EINVAL != errno)
        || 0 != mount("fuzz", Work.c_str(), "tmpfs", 0, "size=2m,nr_inodes=256") || 0 != chdir(Work.c_str()))
    {
        abort();
    }
    std::ofstream("units.csv") << "serial,mac,name\n123457,02:00:00:00:00:02,Unit B\n123458,02:00:00:00:00:03,\"C, \"\"3\"\"\"\n";
    // The simulation maps the image file: the chip holds what is written there.
    int Image = open((Dir + "/chip.bin").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (Image < 0 || sizeof(Chip) != pwrite(Image, Chip.b, sizeof(Chip), 0) || 0 != close(Image))
    {
        abort();
    }
    const std::string NoZmqDir = "--zmq-dir=" + Dir + "/no-zmq";
    for (size_t i = 0; i < Lines.size(); i++)
    {
        std::vector<char*> Argv = {const_cast<char*>("promtool")};
        for (std::string& Arg : Lines[i])
        {
            Argv.push_back(&Arg[0]);
        }
        // The missing --zmq-dir is the last option, before a "--".
        const std::string& Word = Lines[i][0];
        if (Word == "watch" || Word == "status" || Word == "set-name" || Word == "stop")
        {
            auto End = std::find(Lines[i].begin() + 1, Lines[i].end(), "--");
            Argv.insert(Argv.begin() + 1 + (End - Lines[i].begin()), const_cast<char*>(NoZmqDir.c_str()));
        }
        Argv.push_back(nullptr);
        int Out = open(("out" + std::to_string(i)).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        Out = Out >= 0 ? Out : open("/dev/null", O_WRONLY | O_CLOEXEC);     // the tmpfs is full
        if (Out < 0 || dup2(Out, STDOUT_FILENO) < 0 || 0 != close(Out))
        {
            abort();
        }
        int Status = PromToolMain(static_cast<int>(Argv.size() - 1), Argv.data());
        clearerr(stdout);
        std::string Shown = "promtool";
        for (size_t Arg = 0; ExitUsage == Status && Arg < Lines[i].size(); Arg++)
        {
            Shown += " '" + Lines[i][Arg] + "'";
        }
        SeedReached(ExitUsage != Status, Size, (Shown + ": a usage error").c_str());
    }
    return fchdir(Home);
}
