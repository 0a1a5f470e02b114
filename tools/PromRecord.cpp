// PromRecord: showing and checking records; chip image files.
#include "PromRecord.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <net/if.h>
#include <sys/stat.h>
#include <unistd.h>

#include <jansson.h>

#include "NetworkUtils.h"
#include "PromToolCommon.h"
#include "Utilities.h"

bool ReadImageFile(const char* pPath, uint8_t* pImage)
{
    int Fd = open(pPath, O_RDONLY | O_CLOEXEC);
    if (Fd < 0)
    {
        ToolError("cannot open %s: %s", pPath, strerror(errno));
        return true;
    }
    struct stat Info;
    if (fstat(Fd, &Info) != 0 || !S_ISREG(Info.st_mode) || Info.st_size != static_cast<off_t>(ImageBytes))
    {
        ToolError("%s: %lld bytes; a chip image has exactly %zu", pPath, static_cast<long long>(Info.st_size),
                  ImageBytes);
        close(Fd);
        return true;
    }
    size_t Done = 0;
    while (Done < ImageBytes)
    {
        ssize_t n = read(Fd, pImage + Done, ImageBytes - Done);
        if (n <= 0)
        {
            ToolError("cannot read %s: %s", pPath, n < 0 ? strerror(errno) : "file shrank");
            close(Fd);
            return true;
        }
        Done += static_cast<size_t>(n);
    }
    close(Fd);
    return false;
}

bool WriteImageFile(const char* pPath, const uint8_t* pImage, bool Force)
{
    int Flags = O_WRONLY | O_CREAT | O_CLOEXEC | (Force ? O_TRUNC : O_EXCL);
    int Fd = open(pPath, Flags, 0644);
    if (Fd < 0)
    {
        if (errno == EEXIST)
        {
            ToolError("%s exists; use --force to overwrite it", pPath);
        }
        else
        {
            ToolError("cannot create %s: %s", pPath, strerror(errno));
        }
        return true;
    }
    ssize_t n = write(Fd, pImage, ImageBytes);
    if (n != static_cast<ssize_t>(ImageBytes) || close(Fd) != 0)
    {
        ToolError("cannot write %s: %s", pPath, n < 0 ? strerror(errno) : "short write");
        return true;
    }
    return false;
}

bool ImageIsBlank(const uint8_t* pImage)
{
    for (size_t i = 0; i < ImageBytes; i++)
    {
        if (pImage[i] != 0xFF)
        {
            return false;
        }
    }
    return true;
}

std::string UnpublishedReason(const eeprom_u& Record, std::string* pRepair)
{
    // As the service builds its identity: the serial number's six bytes and
    // the unit name, each up to a NUL, through jansson's json_string, which
    // refuses text that is not UTF-8; one refusal and nothing is published.
    // A rename rewrites the name only.
    char Serial[sizeof(Record.s.sn) + 1] = {};
    memcpy(Serial, Record.s.sn, sizeof(Record.s.sn));
    std::string Name = StoredName(Record.s.unit_name);
    json_t* pjtSerial = json_string(Serial);
    json_t* pjtName = json_string(Name.c_str());
    std::string Reason;
    if (pjtSerial == nullptr)
    {
        Reason = "its serial number '" + EscapedText(Record.s.sn, strlen(Serial)) + "' is not UTF-8";
        *pRepair = "write a new chip image (promtool image create, promtool chip write)";
    }
    else if (pjtName == nullptr)
    {
        Reason = "its unit name '" + EscapedText(Record.s.unit_name, Name.size()) + "' is not UTF-8";
        *pRepair = "a rename repairs it (promtool set-name)";
    }
    json_decref(pjtSerial);
    json_decref(pjtName);
    return Reason;
}

bool JudgeIsBad(const char* pCommand, const char* pMacArg, Judge_s* pJudge)
{
    if (pMacArg != nullptr)
    {
        pJudge->Have = !MacArgumentIsBad(pCommand, "--mac", pMacArg, pJudge->Mac);
        return !pJudge->Have;
    }
    // Asked only where eth0 exists, so that its absence is no error report.
    pJudge->Have = if_nametoindex("eth0") != 0 && !GetMacBytesFromIoctl(pJudge->Mac);
    pJudge->FromEth0 = pJudge->Have;
    return false;
}

int ShowRecord(const eeprom_u& Record, const Judge_s& Judge, bool Dump, bool Json)
{
    bool Valid = Judge.Have && 0 == memcmp(Record.s.mac, Judge.Mac, sizeof(Judge.Mac));
    std::string Repair;
    std::string Unpublished = UnpublishedReason(Record, &Repair);
    int Status = Valid && Unpublished.empty() ? ExitOk : ExitFailed;
    std::string Serial = EscapedText(Record.s.sn, sizeof(Record.s.sn));
    std::string Name = EscapedText(Record.s.unit_name, StoredName(Record.s.unit_name).size());
    if (Json)
    {
        json_t* pjtRecord = json_pack("{s:s, s:s, s:s, s:o, s:o, s:b}", "serial", Serial.c_str(), "mac",
                                      MacText(Record.s.mac).c_str(), "unit_name", Name.c_str(), "judged_against",
                                      Judge.Have ? json_string(MacText(Judge.Mac).c_str()) : json_null(), "valid",
                                      Judge.Have ? json_boolean(Valid) : json_null(), "publishable",
                                      Unpublished.empty());
        if (Dump)
        {
            std::string Hex;
            for (uint8_t Byte : Record.b)
            {
                char Two[3];
                snprintf(Two, sizeof(Two), "%02x", Byte);
                Hex += Two;
            }
            json_object_set_new(pjtRecord, "plaintext", json_string(Hex.c_str()));
        }
        PrintJson(pjtRecord);
        return Status;
    }
    printf("Serial number: %s\nMAC address:   %s\nUnit name:     %s\n", Serial.c_str(),
           MacText(Record.s.mac).c_str(), Name.c_str());
    if (Judge.Have)
    {
        // Where the address came from goes before the colon, which ends the key.
        printf("Valid for %s%s: %s\n", MacText(Judge.Mac).c_str(), Judge.FromEth0 ? " (eth0 of this machine)" : "",
               Valid ? "yes" : "no");
        // Said only where the record is the unit's: another unit's record is
        // published as invalid whatever its fields hold.
        if (Valid && !Unpublished.empty())
        {
            printf("Service:       publishes nothing for this record: %s; %s\n", Unpublished.c_str(), Repair.c_str());
        }
    }
    else
    {
        printf("Valid: unknown (no eth0 here; give --mac)\n");
    }
    if (Dump)
    {
        eeprom_u Copy = Record;
        PrintBuffer(Copy.b, sizeof(Copy.b));
    }
    return Status;
}

int ParseShowOptions(int argc, char* argv[], const char* pCommand, void (*pUsage)(FILE*),
                     const char* pMissingFile, ShowOptions_s* pOptions)
{
    static const option Options[] = {{"mac", required_argument, nullptr, 'm'},
                                     {"dump", no_argument, nullptr, 'd'},
                                     {"json", no_argument, nullptr, 'j'},
                                     {"help", no_argument, nullptr, 'h'},
                                     {nullptr, 0, nullptr, 0}};
    const char* pMac = nullptr;
    cOptionParser Parser(argc, argv, "h", Options, pCommand);
    for (int Option; (Option = Parser.Next()) != -1;)
    {
        switch (Option)
        {
        case 'm': pMac = optarg; break;
        case 'd': pOptions->Dump = true; break;
        case 'j': pOptions->Json = true; break;
        case 'h': pUsage(stdout); return ExitOk;
        default: return ExitUsage;
        }
    }
    int NumFiles = nullptr == pMissingFile ? 0 : 1;
    if (optind + NumFiles != argc)
    {
        return optind == argc ? UsageError(pCommand, "%s", pMissingFile)
                              : UsageError(pCommand, "unexpected argument '%s'", argv[optind + NumFiles]);
    }
    pOptions->pFile = NumFiles ? argv[optind] : nullptr;
    return JudgeIsBad(pCommand, pMac, &pOptions->Judge) ? ExitUsage : -1;
}
