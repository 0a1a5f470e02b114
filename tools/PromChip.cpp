// PromChip: promtool chip read|show|write.
#include "PromChip.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <strings.h>
#include <sys/stat.h>

#include "ChipLock.h"
#include "PromChipAccess.h"
#include "PromCommandLine.h"
#include "PromContract.h"
#include "PromImage.h"
#include "PromLedgerCommand.h"
#include "PromOutput.h"
#include "PromRecord.h"

namespace
{
const char* const HelpCommand = "chip";

void ChipUsage(FILE* pOut)
{
    fprintf(pOut,
        "Usage: promtool chip read -o FILE [--force] [--json]\n"
        "       promtool chip show [--mac MAC] [--dump] [--json]\n"
        "       promtool chip write FILE [--yes] [--allow-invalid] [--json] [--ledger LEDGER]\n"
        "\n"
        "On the unit: %s (%s), the identity EEPROM.\n"
        "\n"
        "read   copies the whole chip (4096 bytes as stored, encrypted: a chip\n"
        "       image) into FILE (-o is short for --output), retrying for a chip\n"
        "       still in a write cycle as the service does at start. Never\n"
        "       overwrites FILE without --force. --json prints one JSON object:\n"
        "       file and sha256, the image's SHA-256.\n"
        "show   decodes the chip as `image show` decodes an image, judged against\n"
        "       eth0's MAC address (or MAC). Exit status 0 only when the record is\n"
        "       valid for it and the service can publish it.\n"
        "write  writes the chip image FILE page by page and reads it back. Shows\n"
        "       what will be written and asks first, unless --yes. Refused while\n"
        "       eeprom-manager runs on the unit: it owns the chip (stop it, or rename\n"
        "       through it with promtool set-name). Refused too when the unit would\n"
        "       be left without a valid identity: a blank image, a record for another\n"
        "       MAC address than eth0's (or no eth0 here), or one the service\n"
        "       publishes nothing for; --allow-invalid writes such an image all the\n"
        "       same (--yes only answers the question). --json prints one JSON\n"
        "       object once the chip was read: file, serial, mac, unit_name,\n"
        "       chip_sha256 (the chip's after the write; null when unknown) and\n"
        "       outcome (written, unchanged, declined or failed); what is shown\n"
        "       before the question goes to standard error. With --ledger LEDGER\n"
        "       (see promtool ledger --help) only the image the ledger issued to its\n"
        "       serial number is written, and the unit is then marked written.\n"
        "\n"
        "-h, --help shows this.\n"
        "\n"
        "Examples:\n"
        "  promtool chip read -o backup.bin\n"
        "  promtool chip show --json\n"
        "  systemctl stop eeprom-manager && promtool chip write chip.bin && systemctl start eeprom-manager\n",
        ChipPlace().c_str(), BusPath(PromI2cBus).c_str());
}

// Opens bus 1 and reads the whole chip. Returns true on failure (reported).
bool ReadChip(uint8_t* pImage)
{
    cReportsToStderr Reports;
    int Error = cPromChip::OpenBus(PromI2cBus);
    if (Error != 0)
    {
        ToolError("cannot open %s: %s", BusPath(PromI2cBus).c_str(), strerror(Error));
        return true;
    }
    if (cPromChip().Read(pImage))
    {
        ToolError("cannot read %s", ChipPlace().c_str());
        return true;
    }
    return false;
}

// Asks as i2c-tools do: the question on standard error, the answer a line of
// standard input; only "y" or "yes" agrees.
bool UserAgrees(const char* pQuestion)
{
    fflush(stdout);
    fprintf(stderr, "%s [y/N] ", pQuestion);
    char Line[16];
    if (fgets(Line, sizeof(Line), stdin) == nullptr)
    {
        fputc('\n', stderr);
        return false;
    }
    Line[strcspn(Line, "\r\n")] = '\0';
    return 0 == strcasecmp(Line, "y") || 0 == strcasecmp(Line, "yes");
}

// Why the unit would have no valid identity with this chip image on its
// chip; empty when it would.
std::string WhyUnfit(const char* pPath, const uint8_t* pImage)
{
    if (ImageIsBlank(pImage))
    {
        return std::string(pPath) + " is blank (all 0xFF): it holds no record";
    }
    eeprom_u Record;
    memcpy(Record.b, pImage, sizeof(Record.b));
    cPromImage::Decrypt(Record.b);
    Judge_s Eth0 = Eth0Judge();
    if (!Eth0.Have)
    {
        return "this unit has no eth0 (or its MAC address cannot be read), so no record is valid here";
    }
    if (0 != memcmp(Record.s.mac, Eth0.Mac, sizeof(Eth0.Mac)))
    {
        return std::string(pPath) + " holds the record of " + MacText(Record.s.mac) + ", not of this unit's eth0 "
               + MacText(Eth0.Mac) + ": the service would publish INVLD";
    }
    std::string Repair;
    std::string Reason = UnpublishedReason(Record, &Repair);
    return Reason.empty() ? Reason : "the service would publish nothing for " + std::string(pPath) + ": " + Reason;
}

// Prints what a chip image holds, under a heading.
void Describe(const char* pHeading, const uint8_t* pImage)
{
    printf("%s\n", pHeading);
    if (ImageIsBlank(pImage))
    {
        printf("(blank: all 0xFF)\n");
        return;
    }
    eeprom_u Record;
    memcpy(Record.b, pImage, sizeof(Record.b));
    cPromImage::Decrypt(Record.b);
    Judge_s Judge = Eth0Judge();
    if (WriteWasInterrupted(pImage, Record.s, Judge))
    {
        printf("(%s)\n", InterruptedWriteText);
        return;
    }
    ShowRecord(Record, Judge, ShowFormat_s(), false);     // as text, without the dump
}

int Read(int argc, char* argv[])
{
    const char* pOutput = nullptr;
    bool Force = false;
    bool Json = false;
    CommandLine_s Line = {HelpCommand, ChipUsage,
                          {TextOption("output", 'o', &pOutput), FlagOption("force", &Force), FlagOption("json", &Json)}};
    int Status = ParseCommandLine(argc, argv, Line);
    if (Status >= 0)
    {
        return Status;
    }
    if (pOutput == nullptr)
    {
        return UsageError(HelpCommand, "the output file is missing: give -o FILE");
    }
    // Told before the chip is read; the write itself refuses too.
    struct stat Info;
    if (!Force && lstat(pOutput, &Info) == 0)
    {
        return ToolError("%s exists; use --force to overwrite it", pOutput);
    }
    uint8_t Image[ImageBytes];
    if (ReadChip(Image) || WriteImageFile(pOutput, Image, Force))
    {
        return ExitFailed;
    }
    if (Json)
    {
        PrintJson(json_pack("{s:s, s:s}", "file", pOutput, "sha256", ImageSha256(Image).c_str()));
        return ExitOk;
    }
    printf("Read %zu bytes from %s into %s\n", ImageBytes, ChipPlace().c_str(), pOutput);
    return ExitOk;
}

int Show(int argc, char* argv[])
{
    ShowOptions_s Options;
    int Status = ParseShowOptions(argc, argv, HelpCommand, ChipUsage, nullptr, &Options);
    if (Status >= 0)
    {
        return Status;
    }
    eeprom_u Record;
    if (cPromImage::BindCipher() || ReadChip(Record.b))
    {
        return ExitFailed;
    }
    if (ImageIsBlank(Record.b))
    {
        ToolWarning("the chip is blank (all 0xFF): it holds no record");
    }
    return ShowStoredImage(Record.b, Options.Judge, Options.Format);
}

// The service reads the chip at start and writes it on every rename; two
// writers would interleave their pages. Takes the chip's lock, held until we
// exit, which also keeps a service from starting mid-write. The bus is
// opened first: a descriptor of it closed after the lock is taken would
// drop the lock. Returns true when another process holds the chip or the
// lock cannot be taken (reported).
bool ChipIsHeld()
{
    cReportsToStderr Reports;
    int Error = cPromChip::OpenBus(PromI2cBus);
    if (Error != 0)
    {
        ToolError("cannot open %s: %s", BusPath(PromI2cBus).c_str(), strerror(Error));
        return true;
    }
    ChipHolder_s Holder;
    eChipLock Lock = ChipLockTake(&Holder);
    char HolderText[96];
    if (CHIP_LOCK_HELD == Lock && ChipHolderIsManager(Holder))
    {
        ToolError("eeprom-manager is running on this unit (pid %d) and owns the chip; stop it first",
                  static_cast<int>(Holder.Pid));
        return true;
    }
    if (CHIP_LOCK_HELD == Lock)
    {
        ToolError("the chip is held by %s; not written (one writer at a time)",
                  ChipHolderText(Holder, HolderText, sizeof(HolderText)));
        return true;
    }
    if (CHIP_LOCK_TAKEN != Lock)
    {
        ToolError("cannot lock the chip (%s: %s); not written", PromBusPath, strerror(errno));
        return true;
    }
    return false;
}

// What the chip holds after a write that stopped: pOld is what it held
// before.
std::string WhatTheChipHolds(const ChipWrite_s& Outcome, const uint8_t* pOld)
{
    if (!Outcome.ReadBack)
    {
        return "the chip could not be read back: its content is unknown";
    }
    if (0 == memcmp(Outcome.ReadBackImage, pOld, ImageBytes))
    {
        return "the chip still holds its old record";
    }
    return "the chip holds an interrupted write (its first block is not the record's): write the image again";
}

// Writes the chip image pPath holds to the chip, each step checked on the
// chip, into *pOutcome. Returns true on failure (reported, with what the
// chip holds now).
bool WriteAndVerify(const char* pPath, const uint8_t* pImage, const uint8_t* pOld, ChipWrite_s* pOutcome)
{
    ChipWrite_s& Outcome = *pOutcome;
    {
        cReportsToStderr Reports;
        Outcome = cPromChip().Write(pImage);
    }
    if (CHIP_WRITE_DONE == Outcome.Step)
    {
        return false;
    }
    std::string Holds = WhatTheChipHolds(Outcome, pOld);
    if (CHIP_NOT_ACKNOWLEDGED == Outcome.Fault)
    {
        std::string Step = CHIP_WRITE_BLANKING == Outcome.Step ? "blanking the chip's first block"
                           : CHIP_WRITE_BODY == Outcome.Step   ? std::string("a page of ") + pPath
                                                               : std::string("the first block of ") + pPath;
        ToolError("the chip did not take the write at 0x%03x (%s); %s", Outcome.Address, Step.c_str(),
                  Holds.c_str());
    }
    else if (CHIP_WRITE_BLANKING == Outcome.Step)
    {
        ToolError("%s; nothing else was written, and %s",
                  CHIP_NOT_READ == Outcome.Fault ? "the blanked first block could not be read back"
                                                 : "the chip did not take the blanking of its first block",
                  Holds.c_str());
    }
    else if (CHIP_NOT_READ == Outcome.Fault)
    {
        ToolError("%s%s was written, but the chip could not be read back%s: its content is unknown",
                  CHIP_WRITE_BODY == Outcome.Step ? "all but the first block of " : "", pPath,
                  CHIP_WRITE_BODY == Outcome.Step ? " before its first block" : "");
    }
    else
    {
        // Against what the step should have left: before the last one, the
        // image with its first block blank.
        uint8_t Expected[ImageBytes];
        memcpy(Expected, pImage, sizeof(Expected));
        if (CHIP_WRITE_BODY == Outcome.Step)
        {
            memset(Expected, 0xFF, CipherBlockBytes);
        }
        size_t Differ = 0;
        size_t First = 0;
        for (size_t i = ImageBytes; i-- > 0;)
        {
            if (Expected[i] != Outcome.ReadBackImage[i])
            {
                Differ++;
                First = i;
            }
        }
        ToolError("the chip did not take %s: %zu of %zu bytes differ, the first at 0x%03zx; %s", pPath, Differ,
                  ImageBytes, First, Holds.c_str());
    }
    return true;
}

// Ends chip write once the chip was read: marks the unit written in the
// ledger pLedger (when given) after Outcome "written" or "unchanged",
// prints the result as --json gives it (pChip: what the chip holds now,
// null when unknown). Returns the exit status.
int FinishWrite(const char* pPath, const uint8_t* pImage, const char* pOutcome, const uint8_t* pChip, bool Json,
                const char* pLedger)
{
    bool Holds = pChip != nullptr && 0 == memcmp(pChip, pImage, ImageBytes);
    int Status = Holds ? ExitOk : ExitFailed;
    if (Holds && pLedger != nullptr && MarkChipWritten(pLedger, pImage))
    {
        Status = ExitFailed;
    }
    if (Json)
    {
        eeprom_u Record;
        memcpy(Record.b, pImage, sizeof(Record.b));
        cPromImage::Decrypt(Record.b);
        json_t* pjtResult = json_pack("{s:s}", "file", pPath);
        json_object_update_new(pjtResult, RecordFieldsJson(Record.s));
        json_object_update_new(pjtResult, json_pack("{s:o, s:s}", "chip_sha256",
                                                    pChip != nullptr ? json_string(ImageSha256(pChip).c_str())
                                                                     : json_null(),
                                                    "outcome", pOutcome));
        PrintJson(pjtResult);
    }
    return Status;
}

int Write(int argc, char* argv[])
{
    bool Yes = false;
    bool AllowInvalid = false;
    bool Json = false;
    const char* pLedger = nullptr;
    CommandLine_s Line = {HelpCommand, ChipUsage,
                          {FlagOption("yes", &Yes), FlagOption("allow-invalid", &AllowInvalid),
                           FlagOption("json", &Json), LedgerOption(&pLedger)},
                          "the chip image to write is missing"};
    const char* pPath = nullptr;
    int Status = ParseCommandLine(argc, argv, Line, &pPath);
    if (Status >= 0)
    {
        return Status;
    }
    uint8_t Image[ImageBytes];
    if (ReadImageFile(pPath, Image) || cPromImage::BindCipher())
    {
        return ExitFailed;
    }
    // Decided before the chip is touched: --yes answers the question below,
    // it does not waive this.
    std::string Unfit = WhyUnfit(pPath, Image);
    if (!Unfit.empty() && !AllowInvalid)
    {
        return ToolError("%s; not written (--allow-invalid writes it all the same)", Unfit.c_str());
    }
    if (!Unfit.empty())
    {
        ToolWarning("%s; writing it as --allow-invalid asks", Unfit.c_str());
    }
    if (pLedger != nullptr && CheckChipImageIssued(pLedger, Image))
    {
        return ExitFailed;
    }
    if (ChipIsHeld())
    {
        return ExitFailed;
    }
    uint8_t Current[ImageBytes];
    if (ReadChip(Current))
    {
        return ToolError("not written");
    }
    {
        std::unique_ptr<cReportsToStderr> pShownBeside(Json ? new cReportsToStderr : nullptr);
        Describe((std::string(pPath) + ", to be written:").c_str(), Image);
        Describe("Now on the chip:", Current);
    }
    if (0 == memcmp(Image, Current, sizeof(Image)))
    {
        if (!Json)
        {
            printf("The chip already holds %s; nothing written\n", pPath);
        }
        return FinishWrite(pPath, Image, "unchanged", Current, Json, pLedger);
    }
    std::string Question = std::string("Write ") + pPath + " to " + ChipPlace() + "?";
    if (!Yes && !UserAgrees(Question.c_str()))
    {
        ToolError("not written");
        return FinishWrite(pPath, Image, "declined", Current, Json, pLedger);
    }
    ChipWrite_s Outcome;
    if (WriteAndVerify(pPath, Image, Current, &Outcome))
    {
        return FinishWrite(pPath, Image, "failed", Outcome.ReadBack ? Outcome.ReadBackImage : nullptr, Json, pLedger);
    }
    if (!Json)
    {
        printf("Wrote %s to %s and read it back: identical\n", pPath, ChipPlace().c_str());
    }
    return FinishWrite(pPath, Image, "written", Image, Json, pLedger);
}
}

int PromChipCommand(int argc, char* argv[])
{
    // argv[0] is "chip"; the verb follows.
    argc--;
    argv++;
    if (argc < 1)
    {
        return UsageError(HelpCommand, "no chip command given: read, show or write");
    }
    std::string Verb = argv[0];
    if (Verb == "-h" || Verb == "--help")
    {
        ChipUsage(stdout);
        return ExitOk;
    }
    if (Verb == "read")
    {
        return Read(argc, argv);
    }
    if (Verb == "show")
    {
        return Show(argc, argv);
    }
    if (Verb == "write")
    {
        return Write(argc, argv);
    }
    return UsageError(HelpCommand, "unknown chip command '%s': read, show or write", argv[0]);
}
