// PromLedgerCommand: promtool ledger init|show|export|mark-written.
#include "PromLedgerCommand.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include <jansson.h>

#include "PromImage.h"
#include "PromOutput.h"
#include "PromRecord.h"

const char* const LedgerVariable = "PROMTOOL_LEDGER";

namespace
{
const char* const HelpCommand = "ledger";

void LedgerUsage(FILE* pOut)
{
    fprintf(pOut,
        "Usage: promtool ledger init [--ledger LEDGER] [--json]\n"
        "       promtool ledger show (--serial NNNNNN | --mac MAC) [--ledger LEDGER] [--json]\n"
        "       promtool ledger export [--json] [--ledger LEDGER]\n"
        "       promtool ledger mark-written RESULT [--ledger LEDGER] [--json]\n"
        "\n"
        "The ledger of issued identities: every serial number and MAC address\n"
        "promtool image batch issued, once, with the unit name, the image's\n"
        "SHA-256, promtool's version, the station (host name) and the time, and\n"
        "when the unit's chip was written.\n"
        "\n"
        "init          makes the ledger (an SQLite file, or its table in a PostgreSQL\n"
        "              database); a ledger there already is kept as it is.\n"
        "show          the unit with that serial number or MAC address, and\n"
        "              whether it was written. Exit status 1 when there is none.\n"
        "export        every unit, by serial number, as CSV with a header line:\n"
        "              serial,mac,unit_name,image_sha256,tool_version,station,\n"
        "              issued_at,written_at,written_station (times in UTC).\n"
        "mark-written  marks units written from what promtool chip write --json\n"
        "              printed for them, in the file RESULT (- for standard input;\n"
        "              one result or several after each other): all of them, or none\n"
        "              when one was not written or is not the ledger's (unknown serial\n"
        "              number, another MAC address, another image).\n"
        "\n"
        "  --ledger LEDGER  the path of an SQLite file (stations on one PC), or a\n"
        "                   PostgreSQL connection string (stations on several PCs): a\n"
        "                   URI postgresql://... or key=value words, such as\n"
        "                   \"host=db1 dbname=factory user=line\"; default: $%s\n"
        "  --json           one JSON object: show the unit's fields (written_at and\n"
        "                   written_station null when not written), export \"units\",\n"
        "                   init \"ledger\" and \"units\", mark-written \"marked\"\n"
        "-h, --help shows this.\n"
        "\n"
        "Examples:\n"
        "  promtool ledger init --ledger /srv/factory/ledger.db\n"
        "  promtool ledger show --mac 02:00:00:00:00:01 --ledger postgresql://line@db1/factory\n",
        LedgerVariable);
}

const char* const UnitKeys[] = {"serial",       "mac",     "unit_name",  "image_sha256",   "tool_version",
                                "station",      "issued_at", "written_at", "written_station"};
const size_t FirstWrittenKey = 7;     // the keys from here on are null while the unit is not written

// The unit's fields in the order of UnitKeys.
std::vector<std::string> UnitFields(const LedgerUnit_s& Unit)
{
    return {Unit.Serial,   Unit.Mac,      Unit.Name,      Unit.ImageSha256,   Unit.ToolVersion,
            Unit.Station,  Unit.IssuedAt, Unit.WrittenAt, Unit.WrittenStation};
}

json_t* UnitJson(const LedgerUnit_s& Unit)
{
    json_t* pjtUnit = json_object();
    std::vector<std::string> Fields = UnitFields(Unit);
    for (size_t i = 0; i < Fields.size(); i++)
    {
        // Not written: null rather than an empty text.
        json_object_set_new(pjtUnit, UnitKeys[i], i >= FirstWrittenKey && Fields[i].empty() ? json_null()
                                                                               : json_string(Fields[i].c_str()));
    }
    return pjtUnit;
}

// A CSV field: quoted when it holds a comma, a quote, a line end or blanks
// at its ends, its quotes doubled.
std::string CsvField(const std::string& Text)
{
    if (Text.find_first_of(",\"\r\n") == std::string::npos
        && (Text.empty() || (Text.front() != ' ' && Text.back() != ' ')))
    {
        return Text;
    }
    std::string Quoted = "\"";
    for (char c : Text)
    {
        Quoted += c == '"' ? "\"\"" : std::string(1, c);
    }
    return Quoted + "\"";
}

// Parses the command line of a ledger command with its own options.
// Returns -1 to go on, else the exit status.
int ParseLedgerLine(int argc, char* argv[], std::vector<CommandOption_s> Options, const char** ppLocation,
                    bool* pJson, const char* pMissingArgument = nullptr, const char** ppArgument = nullptr)
{
    Options.push_back(LedgerOption(ppLocation));
    Options.push_back(FlagOption("json", pJson));
    CommandLine_s Line = {HelpCommand, LedgerUsage, Options, pMissingArgument};
    return ParseCommandLine(argc, argv, Line, ppArgument);
}

// The command line of init and export, the ledger (Create: made where
// missing) and every unit it holds. Returns -1 to go on, else the exit
// status.
int ListUnits(int argc, char* argv[], bool Create, bool* pJson, std::unique_ptr<cLedger>* ppLedger,
              std::vector<LedgerUnit_s>* pUnits)
{
    const char* pLocation = nullptr;
    int Status = ParseLedgerLine(argc, argv, {}, &pLocation, pJson);
    if (Status >= 0 || (*ppLedger = OpenLedger(HelpCommand, pLocation, Create, &Status)) == nullptr)
    {
        return Status;
    }
    return (*ppLedger)->List(pUnits)
               ? ToolError("%s: %s", (*ppLedger)->Where().c_str(), (*ppLedger)->Error().c_str())
               : -1;
}

int Init(int argc, char* argv[])
{
    bool Json = false;
    std::unique_ptr<cLedger> pLedger;
    std::vector<LedgerUnit_s> Units;
    int Status = ListUnits(argc, argv, true, &Json, &pLedger, &Units);
    if (Status >= 0)
    {
        return Status;
    }
    if (Json)
    {
        PrintJson(json_pack("{s:s, s:I}", "ledger", pLedger->Where().c_str(), "units",
                            static_cast<json_int_t>(Units.size())));
    }
    else
    {
        printf("Ledger: %s, %zu units\n", pLedger->Where().c_str(), Units.size());
    }
    return ExitOk;
}

int Show(int argc, char* argv[])
{
    const char* pLocation = nullptr;
    const char* pSerial = nullptr;
    const char* pMac = nullptr;
    bool Json = false;
    int Status = ParseLedgerLine(argc, argv, {TextOption("serial", 0, &pSerial), TextOption("mac", 0, &pMac)},
                                 &pLocation, &Json);
    if (Status >= 0)
    {
        return Status;
    }
    if ((pSerial == nullptr) == (pMac == nullptr))
    {
        return UsageError(HelpCommand, "give either --serial or --mac");
    }
    uint8_t Mac[6];
    if ((pSerial != nullptr && SerialArgumentIsBad(HelpCommand, "--serial", pSerial))
        || (pMac != nullptr && MacArgumentIsBad(HelpCommand, "--mac", pMac, Mac)))
    {
        return ExitUsage;
    }
    std::unique_ptr<cLedger> pLedger = OpenLedger(HelpCommand, pLocation, false, &Status);
    if (pLedger == nullptr)
    {
        return Status;
    }
    std::string Key = pSerial != nullptr ? pSerial : MacText(Mac);
    LedgerUnit_s Unit;
    bool Found = false;
    if (pLedger->Find(Key, &Unit, &Found))
    {
        return ToolError("%s: %s", pLedger->Where().c_str(), pLedger->Error().c_str());
    }
    if (!Found)
    {
        return ToolError("%s holds no unit with %s %s", pLedger->Where().c_str(),
                         pSerial != nullptr ? "serial number" : "MAC address", Key.c_str());
    }
    if (Json)
    {
        PrintJson(UnitJson(Unit));
        return ExitOk;
    }
    std::string Name = EscapedText(reinterpret_cast<const uint8_t*>(Unit.Name.data()), Unit.Name.size());
    printf("Serial number: %s\nMAC address:   %s\nUnit name:     %s\nImage SHA-256: %s\n"
           "Issued:        %s by %s (promtool %s)\n",
           Unit.Serial.c_str(), Unit.Mac.c_str(), Name.c_str(), Unit.ImageSha256.c_str(), Unit.IssuedAt.c_str(),
           Unit.Station.c_str(), Unit.ToolVersion.c_str());
    if (Unit.WrittenAt.empty())
    {
        printf("Written:       no\n");
    }
    else
    {
        printf("Written:       %s by %s\n", Unit.WrittenAt.c_str(), Unit.WrittenStation.c_str());
    }
    return ExitOk;
}

int Export(int argc, char* argv[])
{
    bool Json = false;
    std::unique_ptr<cLedger> pLedger;
    std::vector<LedgerUnit_s> Units;
    int Status = ListUnits(argc, argv, false, &Json, &pLedger, &Units);
    if (Status >= 0)
    {
        return Status;
    }
    if (Json)
    {
        json_t* pjtUnits = json_array();
        for (const LedgerUnit_s& Unit : Units)
        {
            json_array_append_new(pjtUnits, UnitJson(Unit));
        }
        PrintJson(json_pack("{s:o}", "units", pjtUnits));
        return ExitOk;
    }
    for (size_t i = 0; i < sizeof(UnitKeys) / sizeof(UnitKeys[0]); i++)
    {
        printf("%s%s", i == 0 ? "" : ",", UnitKeys[i]);
    }
    printf("\n");
    for (const LedgerUnit_s& Unit : Units)
    {
        std::vector<std::string> Fields = UnitFields(Unit);
        for (size_t i = 0; i < Fields.size(); i++)
        {
            printf("%s%s", i == 0 ? "" : ",", CsvField(Fields[i]).c_str());
        }
        printf("\n");
    }
    return ExitOk;
}

// Reads the results of chip write --json in pPath ("-": standard input), one
// JSON object after another. Returns true after reporting a result that is
// malformed or tells of a chip that was not written.
bool ReadResults(const char* pPath, std::vector<ChipWritten_s>* pChips)
{
    FILE* pFile = strcmp(pPath, "-") == 0 ? stdin : fopen(pPath, "rb");
    if (pFile == nullptr)
    {
        return ToolError("cannot open %s: %s", pPath, strerror(errno)) != 0;
    }
    std::string Text;
    char Buffer[65536];
    for (size_t n; (n = fread(Buffer, 1, sizeof(Buffer), pFile)) > 0;)
    {
        Text.append(Buffer, n);
    }
    if (pFile != stdin)
    {
        fclose(pFile);
    }
    for (size_t At = Text.find_first_not_of(" \t\r\n"); At != std::string::npos;
         At = Text.find_first_not_of(" \t\r\n", At))
    {
        json_error_t Error;
        json_t* pjtResult = json_loadb(Text.data() + At, Text.size() - At, JSON_DISABLE_EOF_CHECK, &Error);
        const char* pSerial = nullptr;
        const char* pMac = nullptr;
        const char* pSha = nullptr;
        const char* pOutcome = nullptr;
        if (pjtResult == nullptr
            || json_unpack(pjtResult, "{s:s, s:s, s:s, s:s}", "serial", &pSerial, "mac", &pMac, "chip_sha256", &pSha,
                           "outcome", &pOutcome) != 0)
        {
            json_decref(pjtResult);
            return ToolError("%s: result %zu is not what promtool chip write --json prints", pPath,
                             pChips->size() + 1) != 0;
        }
        std::string Outcome = pOutcome;
        pChips->push_back({pSerial, pMac, pSha});
        json_decref(pjtResult);
        if (Outcome != "written" && Outcome != "unchanged")
        {
            return ToolError("%s: the chip of %s was not written (%s); nothing marked", pPath,
                             pChips->back().Serial.c_str(), Outcome.c_str()) != 0;
        }
        At += Error.position;
    }
    if (pChips->empty())
    {
        return ToolError("%s holds no result of promtool chip write --json", pPath) != 0;
    }
    return false;
}

int MarkWritten(int argc, char* argv[])
{
    const char* pLocation = nullptr;
    const char* pResults = nullptr;
    bool Json = false;
    int Status = ParseLedgerLine(argc, argv, {}, &pLocation, &Json, "the file of results (RESULT) is missing",
                                 &pResults);
    std::vector<ChipWritten_s> Chips;
    if (Status >= 0 || ReadResults(pResults, &Chips))
    {
        return Status >= 0 ? Status : ExitFailed;
    }
    std::unique_ptr<cLedger> pLedger = OpenLedger(HelpCommand, pLocation, false, &Status);
    if (pLedger == nullptr)
    {
        return Status;
    }
    if (pLedger->MarkWritten(Chips))
    {
        return ToolError("%s: %s; nothing marked", pLedger->Where().c_str(), pLedger->Error().c_str());
    }
    json_t* pjtMarked = json_array();
    for (const ChipWritten_s& Chip : Chips)
    {
        json_array_append_new(pjtMarked, json_string(Chip.Serial.c_str()));
        if (!Json)
        {
            printf("Marked written: %s (%s)\n", Chip.Serial.c_str(), Chip.Mac.c_str());
        }
    }
    if (Json)
    {
        PrintJson(json_pack("{s:o}", "marked", pjtMarked));
    }
    else
    {
        json_decref(pjtMarked);
    }
    return ExitOk;
}
}

namespace
{
// What a chip that holds the chip image pImage tells the ledger.
ChipWritten_s ChipHolding(const uint8_t* pImage)
{
    eeprom_u Record;
    memcpy(Record.b, pImage, sizeof(Record.b));
    cPromImage::Decrypt(Record.b);
    return {std::string(reinterpret_cast<const char*>(Record.s.sn), sizeof(Record.s.sn)), MacText(Record.s.mac),
            ImageSha256(pImage)};
}
}

CommandOption_s LedgerOption(const char** ppLocation)
{
    return TextOption("ledger", 0, ppLocation);
}

const char* LedgerLocation(const char* pGiven)
{
    const char* pLocation = pGiven != nullptr ? pGiven : getenv(LedgerVariable);
    return pLocation != nullptr && pLocation[0] != '\0' ? pLocation : nullptr;
}

std::unique_ptr<cLedger> OpenLedger(const char* pCommand, const char* pLocation, bool Create, int* pStatus)
{
    pLocation = LedgerLocation(pLocation);
    if (pLocation == nullptr)
    {
        *pStatus = UsageError(pCommand, "no ledger given: --ledger LEDGER, or %s", LedgerVariable);
        return nullptr;
    }
    std::string Error;
    std::unique_ptr<cLedger> pLedger = cLedger::Open(pLocation, Create, &Error);
    if (pLedger == nullptr)
    {
        *pStatus = ToolError("%s", Error.c_str());
    }
    return pLedger;
}

bool CheckChipImageIssued(const char* pLocation, const uint8_t* pImage)
{
    int Status;
    std::unique_ptr<cLedger> pLedger = OpenLedger("chip", pLocation, false, &Status);
    std::string Why;
    if (pLedger == nullptr)
    {
        return true;
    }
    if (pLedger->CheckIssued(ChipHolding(pImage), &Why))
    {
        Why = pLedger->Error();
    }
    return !Why.empty() && ToolError("%s: %s; not written", pLedger->Where().c_str(), Why.c_str()) != 0;
}

bool MarkChipWritten(const char* pLocation, const uint8_t* pImage)
{
    int Status;
    std::unique_ptr<cLedger> pLedger = OpenLedger("chip", pLocation, false, &Status);
    if (pLedger == nullptr)
    {
        return ToolError("the chip was written, but not marked written in the ledger") != 0;
    }
    return pLedger->MarkWritten({ChipHolding(pImage)})
           && ToolError("the chip was written, but %s does not mark it so: %s", pLedger->Where().c_str(),
                        pLedger->Error().c_str()) != 0;
}

int PromLedgerCommand(int argc, char* argv[])
{
    // argv[0] is "ledger"; the verb follows.
    argc--;
    argv++;
    const struct
    {
        const char* pVerb;
        int (*pRun)(int argc, char* argv[]);
    } Verbs[] = {{"init", Init}, {"show", Show}, {"export", Export}, {"mark-written", MarkWritten}};
    if (argc < 1)
    {
        return UsageError(HelpCommand, "no ledger command given: init, show, export or mark-written");
    }
    if (0 == strcmp(argv[0], "-h") || 0 == strcmp(argv[0], "--help"))
    {
        LedgerUsage(stdout);
        return ExitOk;
    }
    for (const auto& Verb : Verbs)
    {
        if (0 == strcmp(argv[0], Verb.pVerb))
        {
            return Verb.pRun(argc, argv);
        }
    }
    return UsageError(HelpCommand, "unknown ledger command '%s': init, show, export or mark-written", argv[0]);
}
