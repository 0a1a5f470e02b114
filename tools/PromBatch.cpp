// PromBatch: promtool image batch.
#include "PromBatch.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

#include <jansson.h>

#include "PromBatchInput.h"
#include "PromCommandLine.h"
#include "PromImage.h"
#include "PromLedgerCommand.h"
#include "PromOutput.h"
#include "PromRecord.h"

namespace
{
const char* const HelpCommand = "image batch";
const char* const ManifestName = "manifest.jsonl";
const long MaxCount = 100000;
const size_t MaxBadLinesShown = 50;     // then a count of the rest
const long ProgressEveryMs = 100;

void BatchUsage(FILE* pOut)
{
    fprintf(pOut,
        "Usage: promtool image batch --csv FILE [--ledger LEDGER] [--json] -o DIR\n"
        "       promtool image batch --serials FIRST-LAST --macs FIRST-LAST --count N\n"
        "                            [--name NAME] [--ledger LEDGER] [--json] -o DIR\n"
        "\n"
        "Issues identities to many units at once and writes a chip image per unit\n"
        "into the new directory DIR (-o is short for --output), named after its\n"
        "serial number (123456.bin), and the manifest DIR/%s: a JSON\n"
        "object per line with serial, mac, unit_name, file and the image's sha256.\n"
        "Each unit is recorded in the ledger of issued identities (see promtool\n"
        "ledger --help), which refuses a serial number or MAC address it holds\n"
        "already, also when two stations issue at once. All or nothing: one bad\n"
        "line and nothing is issued or written. On a terminal a count shows the\n"
        "progress. The images, the manifest and the ledger are on disk before it\n"
        "reports success.\n"
        "\n"
        "  --csv FILE           the units: a header line naming the columns serial,\n"
        "                       mac and name, then a line per unit (UTF-8; a field\n"
        "                       with a comma in double quotes). Every bad line is\n"
        "                       named: a malformed serial number or MAC address, a\n"
        "                       MAC address no interface has, one on an earlier line\n"
        "                       or in the ledger, a name over 15 bytes or not UTF-8.\n"
        "  --serials FIRST-LAST the serial numbers to allocate from (six digits each)\n"
        "  --macs FIRST-LAST    the MAC addresses to allocate from, e.g.\n"
        "                       02:00:00:00:00:00-02:00:00:00:ff:ff\n"
        "  --count N            how many units to issue (1 to %ld): the lowest serial\n"
        "                       numbers and MAC addresses of the ranges that the ledger\n"
        "                       does not hold\n"
        "  --name NAME          the unit name, \"{serial}\" in it replaced by the unit's\n"
        "                       serial number (default: none)\n"
        "  --ledger LEDGER      the ledger (default: $%s)\n"
        "  --json               one JSON object: issued, directory, manifest, ledger\n"
        "-h, --help shows this.\n"
        "\n"
        "Examples:\n"
        "  promtool image batch --csv units.csv --ledger ledger.db -o batch-7\n"
        "  promtool image batch --serials 100000-199999 --macs 02:00:00:00:00:00-02:00:00:00:ff:ff \\\n"
        "      --count 1000 --name \"Unit {serial}\" --ledger ledger.db -o batch-8\n",
        ManifestName, MaxCount, LedgerVariable);
}

struct BatchArgs_s
{
    const char* pCsv = nullptr;
    const char* pSerials = nullptr;
    const char* pMacs = nullptr;
    const char* pName = nullptr;
    const char* pOutput = nullptr;
    const char* pLedger = nullptr;
    long Count = 0;
    bool Json = false;
    BatchRanges_s Ranges;
};

// Parses and checks the command line. Returns -1 to go on, otherwise the
// exit status.
int ParseBatch(int argc, char* argv[], BatchArgs_s* pArgs)
{
    CommandLine_s Line = {HelpCommand, BatchUsage,
                          {TextOption("csv", 0, &pArgs->pCsv), TextOption("serials", 0, &pArgs->pSerials),
                           TextOption("macs", 0, &pArgs->pMacs), TextOption("name", 0, &pArgs->pName),
                           CheckedOption("count", [pArgs](const char* pValue) {
                               return ParseNumber(pValue, 1, MaxCount, &pArgs->Count)
                                      && UsageError(HelpCommand, "--count '%s': expected a number from 1 to %ld",
                                                    pValue, MaxCount) != 0;
                           }),
                           TextOption("output", 'o', &pArgs->pOutput), LedgerOption(&pArgs->pLedger),
                           FlagOption("json", &pArgs->Json)}};
    int Status = ParseCommandLine(argc, argv, Line);
    if (Status >= 0)
    {
        return Status;
    }
    bool Ranges = pArgs->pSerials != nullptr || pArgs->pMacs != nullptr || pArgs->Count != 0 || pArgs->pName != nullptr;
    if (pArgs->pOutput == nullptr)
    {
        return UsageError(HelpCommand, "the output directory is missing: give -o DIR");
    }
    if ((pArgs->pCsv != nullptr) == Ranges)
    {
        return UsageError(HelpCommand, "give either --csv FILE or --serials, --macs and --count");
    }
    if (Ranges && (pArgs->pSerials == nullptr || pArgs->pMacs == nullptr || pArgs->Count == 0))
    {
        return UsageError(HelpCommand, "%s is missing", pArgs->pSerials == nullptr ? "--serials"
                                                        : pArgs->pMacs == nullptr ? "--macs"
                                                                                  : "--count");
    }
    std::string Why;
    if (Ranges && ParseSerialRange(pArgs->pSerials, &pArgs->Ranges))
    {
        return UsageError(HelpCommand, "--serials '%s' is not a range like 100000-199999", pArgs->pSerials);
    }
    if (Ranges && ParseMacRange(pArgs->pMacs, &pArgs->Ranges, &Why))
    {
        return UsageError(HelpCommand, "--macs '%s' %s", pArgs->pMacs, Why.c_str());
    }
    // Every serial number has six digits: one name stands for all.
    std::string Name = NameFromTemplate(pArgs->pName != nullptr ? pArgs->pName : "", "000000");
    if (!(Why = NameProblem(Name)).empty())
    {
        return UsageError(HelpCommand, "--name: the unit name '%s' %s",
                          EscapedText(reinterpret_cast<const uint8_t*>(Name.data()), Name.size()).c_str(),
                          Why.c_str());
    }
    if (LedgerLocation(pArgs->pLedger) == nullptr)
    {
        return UsageError(HelpCommand, "no ledger given: --ledger LEDGER, or %s", LedgerVariable);
    }
    struct stat Info;
    if (lstat(pArgs->pOutput, &Info) == 0)
    {
        return ToolError("%s exists; a batch makes a new directory", pArgs->pOutput);
    }
    return -1;
}

// Reports the bad lines of the CSV file and that nothing was issued.
// Returns ExitFailed.
int ReportBadLines(const char* pCsv, std::vector<BadLine_s> Bad)
{
    std::stable_sort(Bad.begin(), Bad.end(), [](const BadLine_s& a, const BadLine_s& b) { return a.Line < b.Line; });
    for (size_t i = 0; i < Bad.size() && i < MaxBadLinesShown; i++)
    {
        ToolError("%s:%zu: %s", pCsv, Bad[i].Line, Bad[i].Why.c_str());
    }
    if (Bad.size() > MaxBadLinesShown)
    {
        ToolError("%s: %zu more bad lines", pCsv, Bad.size() - MaxBadLinesShown);
    }
    return ToolError("%s: %zu bad line%s; nothing issued", pCsv, Bad.size(), Bad.size() == 1 ? "" : "s");
}

// The lines of the CSV units that the ledger holds already. Returns true on
// failure.
bool HeldLines(cLedger* pLedger, const std::vector<BatchUnit_s>& Units, std::vector<BadLine_s>* pBad)
{
    std::vector<std::string> Serials;
    std::vector<std::string> Macs;
    std::map<std::string, size_t> LineOf;     // of each serial number and MAC address
    for (const BatchUnit_s& Unit : Units)
    {
        Serials.push_back(Unit.Serial);
        Macs.push_back(MacText(Unit.Mac));
        LineOf[Serials.back()] = LineOf[Macs.back()] = Unit.Line;
    }
    std::vector<LedgerUnit_s> Holders;
    if (pLedger->Holders(Serials, Macs, &Holders))
    {
        return true;
    }
    for (const LedgerUnit_s& Held : Holders)
    {
        std::string When = " on " + Held.IssuedAt + " by " + Held.Station + ")";
        if (LineOf.count(Held.Serial) != 0)
        {
            pBad->push_back({LineOf[Held.Serial], "serial number " + Held.Serial + " was issued already (with "
                                                      + Held.Mac + When});
        }
        if (LineOf.count(Held.Mac) != 0)
        {
            pBad->push_back({LineOf[Held.Mac], "MAC address " + Held.Mac + " was issued already (to "
                                                   + Held.Serial + When});
        }
    }
    return false;
}

// The units of the ranges: the lowest free serial numbers and MAC addresses.
// Returns true after reporting too few.
bool Allocate(cLedger* pLedger, const BatchArgs_s& Args, std::vector<BatchUnit_s>* pUnits)
{
    const BatchRanges_s& Ranges = Args.Ranges;
    size_t Count = static_cast<size_t>(Args.Count);
    std::vector<uint32_t> Serials;
    std::vector<uint64_t> Macs;
    if (pLedger->FreeSerials(Ranges.FirstSerial, Ranges.LastSerial, Count, &Serials)
        || pLedger->FreeMacs(Ranges.FirstMac, Ranges.LastMac, Count, &Macs))
    {
        return ToolError("%s: %s", pLedger->Where().c_str(), pLedger->Error().c_str()) != 0;
    }
    if (Serials.size() < Count || Macs.size() < Count)
    {
        bool FewSerials = Serials.size() < Count;
        return ToolError("%s %s has %zu free in %s; %zu needed; nothing issued",
                         FewSerials ? "--serials" : "--macs", FewSerials ? Args.pSerials : Args.pMacs,
                         FewSerials ? Serials.size() : Macs.size(), pLedger->Where().c_str(), Count) != 0;
    }
    std::string Template = Args.pName != nullptr ? Args.pName : "";
    for (size_t i = 0; i < Count; i++)
    {
        BatchUnit_s Unit;
        char Serial[16];
        snprintf(Serial, sizeof(Serial), "%06u", static_cast<unsigned>(Serials[i]));
        Unit.Serial = Serial;
        for (int Byte = 5; Byte >= 0; Byte--)
        {
            Unit.Mac[Byte] = static_cast<uint8_t>(Macs[i] >> (8 * (5 - Byte)));
        }
        Unit.Name = NameFromTemplate(Template, Unit.Serial);
        pUnits->push_back(Unit);
    }
    return false;
}

// A count of the images written on a terminal, at most ten times a second,
// erased at the end; nothing on a pipe or file.
class cProgress
{
public:
    explicit cProgress(size_t Total) : Total(Total), Shown(isatty(STDERR_FILENO) != 0) {}
    ~cProgress()
    {
        if (Printed)
        {
            fputs("\r\033[K", stderr);
        }
    }
    cProgress(const cProgress&) = delete;
    cProgress& operator=(const cProgress&) = delete;

    void Update(size_t Done)
    {
        timespec Now;
        clock_gettime(CLOCK_MONOTONIC, &Now);
        long NowMs = Now.tv_sec * 1000L + Now.tv_nsec / 1000000L;
        if (Shown && (NowMs - LastMs >= ProgressEveryMs || Done == Total))
        {
            fprintf(stderr, "\rWriting images: %zu of %zu", Done, Total);
            fflush(stderr);
            LastMs = NowMs;
            Printed = true;
        }
    }

private:
    size_t Total;
    bool Shown;
    bool Printed = false;
    long LastMs = -ProgressEveryMs;
};

// The hidden directory a batch is written into, beside the output
// directory, and what is written there.
class cStaging
{
public:
    ~cStaging()
    {
        if (Fd >= 0)
        {
            close(Fd);
        }
    }
    cStaging() = default;
    cStaging(const cStaging&) = delete;
    cStaging& operator=(const cStaging&) = delete;

    // Makes the directory beside pOutput. Returns true after reporting.
    bool Make(const char* pOutput)
    {
        Output = pOutput;
        while (Output.size() > 1 && Output.back() == '/')
        {
            Output.pop_back();
        }
        size_t Slash = Output.rfind('/');
        Parent = Slash == std::string::npos ? "." : Slash == 0 ? "/" : Output.substr(0, Slash);
        Path = (Slash == std::string::npos ? "" : Output.substr(0, Slash + 1)) + "."
               + Output.substr(Slash + 1) + ".XXXXXX";
        if (mkdtemp(&Path[0]) == nullptr)
        {
            Path.clear();
            return ToolError("cannot make a directory beside %s: %s", pOutput, strerror(errno)) != 0;
        }
        // mkdtemp makes it 0700; it gets the mode a new directory gets.
        mode_t Mask = umask(0);
        umask(Mask);
        chmod(Path.c_str(), 0777 & ~Mask);
        Fd = open(Path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        return Fd < 0 && ToolError("cannot open %s: %s", Path.c_str(), strerror(errno)) != 0;
    }

    // Writes a new file of Length bytes. Returns why that failed; empty
    // when it did not.
    std::string Write(const std::string& Name, const void* pData, size_t Length)
    {
        Names.push_back(Name);
        int File = openat(Fd, Name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        ssize_t Written = File >= 0 ? write(File, pData, Length) : -1;
        int Error = errno;
        if (File >= 0 && close(File) != 0 && Written >= 0)
        {
            Error = errno;
            Written = -1;
        }
        if (Written != static_cast<ssize_t>(Length))
        {
            return "cannot write " + Output + "/" + Name + ": " + (Written < 0 ? strerror(Error) : "short write");
        }
        return "";
    }

    // Puts every file written, and the directory, on the disk. One sync of
    // the file system rather than one per file: a thousand fsync calls take
    // seconds. Returns true after reporting.
    bool Sync()
    {
        return (syncfs(Fd) != 0 || fsync(Fd) != 0)
               && ToolError("cannot sync %s to disk: %s", Path.c_str(), strerror(errno)) != 0;
    }

    // Makes the directory the output directory, and that lasting. Returns
    // true after reporting; the directory stays, with what it holds.
    bool Publish()
    {
        if (renameat2(AT_FDCWD, Path.c_str(), AT_FDCWD, Output.c_str(), RENAME_NOREPLACE) != 0)
        {
            return ToolError("the batch is issued, but %s cannot be made (%s): its images and manifest are in %s",
                             Output.c_str(), strerror(errno), Path.c_str()) != 0;
        }
        Path.clear();
        int ParentFd = open(Parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        bool Failed = ParentFd < 0 || fsync(ParentFd) != 0;
        int Error = errno;
        if (ParentFd >= 0)
        {
            close(ParentFd);
        }
        return Failed && ToolError("cannot sync %s to disk: %s", Parent.c_str(), strerror(Error)) != 0;
    }

    // Removes the directory and what was written into it, unless published.
    void Remove()
    {
        for (const std::string& Name : Names)
        {
            unlinkat(Fd, Name.c_str(), 0);
        }
        if (!Path.empty())
        {
            rmdir(Path.c_str());
        }
    }

private:
    std::string Output;     // the output directory, as given, without a trailing '/'
    std::string Parent;     // its parent directory
    std::string Path;       // this directory, until published
    int Fd = -1;
    std::vector<std::string> Names;
};

// The manifest line of a unit.
std::string ManifestLine(const BatchUnit_s& Unit, const std::string& File, const std::string& Sha256)
{
    json_t* pjtLine = json_pack("{s:s, s:s, s:s, s:s, s:s}", "serial", Unit.Serial.c_str(), "mac",
                                MacText(Unit.Mac).c_str(), "unit_name", Unit.Name.c_str(), "file", File.c_str(),
                                "sha256", Sha256.c_str());
    char* pText = json_dumps(pjtLine, JSON_COMPACT);
    std::string Line = std::string(pText) + "\n";
    free(pText);
    json_decref(pjtLine);
    return Line;
}

// Records the units in the open transaction and writes their images and the
// manifest into Staging, synced. Returns true after reporting.
bool RecordAndWrite(cLedger* pLedger, const std::vector<BatchUnit_s>& Units, cStaging* pStaging)
{
    std::vector<LedgerUnit_s> Records;
    std::vector<eeprom_u> Images(Units.size());
    for (size_t i = 0; i < Units.size(); i++)
    {
        eeprom_u& Image = Images[i];
        memset(Image.b, 0, sizeof(Image.b));
        memcpy(Image.s.sn, Units[i].Serial.data(), sizeof(Image.s.sn));
        memcpy(Image.s.mac, Units[i].Mac, sizeof(Image.s.mac));
        memcpy(Image.s.unit_name, Units[i].Name.data(), Units[i].Name.size());
        cPromImage::Encrypt(Image.b);
        LedgerUnit_s Record;
        Record.Serial = Units[i].Serial;
        Record.Mac = MacText(Units[i].Mac);
        Record.Name = Units[i].Name;
        Record.ImageSha256 = ImageSha256(Image.b);
        Records.push_back(Record);
    }
    if (pLedger->Record(Records))
    {
        return ToolError("%s: %s; nothing issued", pLedger->Where().c_str(), pLedger->Error().c_str()) != 0;
    }
    std::string Manifest;
    std::string Failure;
    {
        cProgress Progress(Units.size());     // gone before anything is reported
        for (size_t i = 0; i < Units.size() && Failure.empty(); i++)
        {
            std::string File = Units[i].Serial + ".bin";
            Failure = pStaging->Write(File, Images[i].b, sizeof(Images[i].b));
            Manifest += ManifestLine(Units[i], File, Records[i].ImageSha256);
            Progress.Update(i + 1);
        }
    }
    if (Failure.empty())
    {
        Failure = pStaging->Write(ManifestName, Manifest.data(), Manifest.size());
    }
    return Failure.empty() ? pStaging->Sync() : ToolError("%s", Failure.c_str()) != 0;
}

// Issues the units: in the ledger, and as images and a manifest in the
// output directory; none when the CSV file has Bad lines, which are
// reported with those the ledger holds already. Returns the exit status.
int Issue(cLedger* pLedger, const BatchArgs_s& Args, std::vector<BatchUnit_s> Units, std::vector<BadLine_s> Bad)
{
    if (pLedger->BeginIssue())
    {
        return ToolError("%s: %s", pLedger->Where().c_str(), pLedger->Error().c_str());
    }
    bool Failed = Args.pCsv != nullptr ? HeldLines(pLedger, Units, &Bad) : Allocate(pLedger, Args, &Units);
    if (Failed || !Bad.empty())
    {
        pLedger->Rollback();
        return !Bad.empty() ? ReportBadLines(Args.pCsv, Bad)
               : Args.pCsv != nullptr ? ToolError("%s: %s", pLedger->Where().c_str(), pLedger->Error().c_str())
                                      : ExitFailed;
    }
    cStaging Staging;
    if (Staging.Make(Args.pOutput) || RecordAndWrite(pLedger, Units, &Staging))
    {
        pLedger->Rollback();
        Staging.Remove();
        return ExitFailed;
    }
    if (pLedger->Commit())
    {
        Staging.Remove();
        return ToolError("%s: %s; nothing issued", pLedger->Where().c_str(), pLedger->Error().c_str());
    }
    return Staging.Publish() ? ExitFailed : ExitOk;
}
}

int PromBatchCommand(int argc, char* argv[])
{
    BatchArgs_s Args;
    int Status = ParseBatch(argc, argv, &Args);
    if (Status >= 0)
    {
        return Status;
    }
    std::vector<BatchUnit_s> Units;
    std::vector<BadLine_s> Bad;
    if (Args.pCsv != nullptr && ReadBatchCsv(Args.pCsv, &Units, &Bad) && Bad.empty())
    {
        return ExitFailed;
    }
    if (cPromImage::BindCipher())
    {
        return ExitFailed;
    }
    std::unique_ptr<cLedger> pLedger = OpenLedger(HelpCommand, Args.pLedger, false, &Status);
    if (pLedger == nullptr)
    {
        return Status;
    }
    size_t Count = Args.pCsv != nullptr ? Units.size() : static_cast<size_t>(Args.Count);
    if ((Status = Issue(pLedger.get(), Args, Units, Bad)) != ExitOk)
    {
        return Status;
    }
    std::string Manifest = std::string(Args.pOutput) + (Args.pOutput[strlen(Args.pOutput) - 1] == '/' ? "" : "/")
                           + ManifestName;
    if (Args.Json)
    {
        PrintJson(json_pack("{s:I, s:s, s:s, s:s}", "issued", static_cast<json_int_t>(Count), "directory",
                            Args.pOutput, "manifest", Manifest.c_str(), "ledger", pLedger->Where().c_str()));
    }
    else
    {
        printf("Issued %zu units into %s (manifest %s), recorded in the ledger, %s\n", Count, Args.pOutput,
               Manifest.c_str(), pLedger->Where().c_str());
    }
    return ExitOk;
}
