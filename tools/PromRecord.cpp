// PromRecord: the record's fields checked and shown, chip image files, and
// the MAC address records are judged against.
#include "PromRecord.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <sys/stat.h>
#include <unistd.h>

#include <jansson.h>

#include "NetworkUtils.h"
#include "PromCommandLine.h"
#include "PromOutput.h"
#include "Utilities.h"

bool ReadImageFile(const char* pPath, uint8_t* pImage)
{
    // Non-blocking, so that opening a FIFO returns at once and is refused.
    int Fd = open(pPath, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (Fd < 0)
    {
        ToolError("cannot open %s: %s", pPath, strerror(errno));
        return true;
    }
    struct stat Info;
    if (fstat(Fd, &Info) != 0 || !S_ISREG(Info.st_mode))
    {
        ToolError("%s is not a regular file; a chip image is a file of exactly %zu bytes", pPath, ImageBytes);
        close(Fd);
        return true;
    }
    if (Info.st_size != static_cast<off_t>(ImageBytes))
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

namespace
{
// Writes the image to the open file Fd and closes it. Returns true on
// failure (reported, naming pPath).
bool WriteAndClose(int Fd, const char* pPath, const uint8_t* pImage)
{
    ssize_t n = write(Fd, pImage, ImageBytes);
    int Error = n < 0 ? errno : 0;
    if (n == static_cast<ssize_t>(ImageBytes) && fsync(Fd) != 0)
    {
        Error = errno;
    }
    if (close(Fd) != 0 && Error == 0)
    {
        Error = errno;
    }
    if (n != static_cast<ssize_t>(ImageBytes) || Error != 0)
    {
        ToolError("cannot write %s: %s", pPath, Error != 0 ? strerror(Error) : "short write");
        return true;
    }
    return false;
}

// Replaces whatever pPath names (a regular file, a symbolic link: never
// what the link points to) with a new file holding the image: written
// beside it under a temporary name, then renamed over it. Anything else
// there (a directory, a device, a FIFO) is left alone. Returns true on
// failure (reported).
bool ReplaceImageFile(const char* pPath, const uint8_t* pImage)
{
    struct stat Info;
    if (lstat(pPath, &Info) == 0 && !S_ISREG(Info.st_mode) && !S_ISLNK(Info.st_mode))
    {
        ToolError("%s exists and is not a regular file; not replaced", pPath);
        return true;
    }
    std::string Path = pPath;
    size_t Base = Path.rfind('/') + 1;     // 0 without a directory part
    std::string Temporary = Path.substr(0, Base) + "." + Path.substr(Base) + ".XXXXXX";
    int Fd = mkostemp(&Temporary[0], O_CLOEXEC);
    if (Fd < 0)
    {
        ToolError("cannot create %s: %s", pPath, strerror(errno));
        return true;
    }
    // mkostemp makes it 0600; the image gets the mode a new file gets.
    mode_t Mask = umask(0);
    umask(Mask);
    fchmod(Fd, 0644 & ~Mask);
    if (WriteAndClose(Fd, pPath, pImage))
    {
        unlink(Temporary.c_str());
        return true;
    }
    if (rename(Temporary.c_str(), pPath) != 0)
    {
        ToolError("cannot replace %s: %s", pPath, strerror(errno));
        unlink(Temporary.c_str());
        return true;
    }
    return false;
}
}

bool WriteImageFile(const char* pPath, const uint8_t* pImage, bool Force)
{
    if (Force)
    {
        return ReplaceImageFile(pPath, pImage);
    }
    // O_EXCL: anything there, a dangling symbolic link too, is refused.
    int Fd = open(pPath, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
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
    return WriteAndClose(Fd, pPath, pImage);
}

bool SerialIsValid(const uint8_t* pSn)
{
    for (int i = 0; i < 6; i++)
    {
        if (pSn[i] < '0' || pSn[i] > '9')
        {
            return false;
        }
    }
    return true;
}

bool SerialArgumentIsBad(const char* pCommand, const char* pOption, const char* pSerial)
{
    if (strlen(pSerial) == 6 && SerialIsValid(reinterpret_cast<const uint8_t*>(pSerial)))
    {
        return false;
    }
    UsageError(pCommand, "%s '%s' is not six decimal digits", pOption, pSerial);
    return true;
}

bool StoreCheckedName(const char* pCommand, const char* pWhere, const char* pName, uint8_t* pStored)
{
    if (!Utf8IsValid(pName, strlen(pName)))
    {
        std::string Shown = EscapedText(reinterpret_cast<const uint8_t*>(pName), strlen(pName));
        UsageError(pCommand, "%s '%s' is not valid UTF-8", pWhere, Shown.c_str());
        return true;
    }
    cProm::CutUnitName(pName, pStored);
    std::string Stored = StoredName(pStored);
    if (Stored != pName)
    {
        ToolWarning("%s: at most 15 bytes are stored; it will be \"%s\"", pWhere, Stored.c_str());
    }
    return false;
}

bool ParseMac(const char* pText, uint8_t* pMac)
{
    if (strlen(pText) != 17)
    {
        return true;
    }
    for (int i = 0; i < 6; i++)
    {
        const char* p = pText + 3 * i;
        if (!isxdigit(static_cast<unsigned char>(p[0])) || !isxdigit(static_cast<unsigned char>(p[1]))
            || (i < 5 && p[2] != ':'))
        {
            return true;
        }
        char Hex[3] = {p[0], p[1], '\0'};
        pMac[i] = static_cast<uint8_t>(strtoul(Hex, nullptr, 16));
    }
    return false;
}

bool MacArgumentIsBad(const char* pCommand, const char* pOption, const char* pText, uint8_t* pMac)
{
    if (ParseMac(pText, pMac))
    {
        UsageError(pCommand, "%s '%s' is not a MAC address like 02:00:00:00:00:01", pOption, pText);
        return true;
    }
    WarnUnusualMac(pOption, pMac);
    return false;
}

void WarnUnusualMac(const char* pWhere, const uint8_t* pMac)
{
    static const uint8_t Zero[6] = {0, 0, 0, 0, 0, 0};
    static const uint8_t Broadcast[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    const char* pKind = 0 == memcmp(pMac, Zero, 6)        ? "the zero address"
                        : 0 == memcmp(pMac, Broadcast, 6) ? "the broadcast address"
                        : (pMac[0] & 0x01) != 0           ? "a multicast address"
                                                          : nullptr;
    if (pKind != nullptr)
    {
        ToolWarning("%s %s is %s, which no network interface has", pWhere, MacText(pMac).c_str(), pKind);
    }
}

std::string MacText(const uint8_t* pMac)
{
    char Text[18];
    GetMacStringFromBytes(Text, pMac);
    return Text;
}

std::string StoredName(const uint8_t* pUnitName)
{
    const char* pName = reinterpret_cast<const char*>(pUnitName);
    return std::string(pName, strnlen(pName, sizeof(eeprom_s::unit_name)));
}

json_t* RecordFieldsJson(const eeprom_s& Record)
{
    return json_pack("{s:s, s:s, s:s}", "serial", EscapedText(Record.sn, sizeof(Record.sn)).c_str(), "mac",
                     MacText(Record.mac).c_str(), "unit_name",
                     EscapedText(Record.unit_name, StoredName(Record.unit_name).size()).c_str());
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

const char* const InterruptedWriteText =
    "a chip write was cut short (a power loss?): the record's first block is blank, so it is no unit's; "
    "write the image again (promtool chip write IMAGE)";

bool WriteWasInterrupted(const uint8_t* pStored, const eeprom_s& Record, const Judge_s& Judge)
{
    // A first block that decrypts to the judge's MAC address is whole: the
    // service publishes such a record, and so it is one.
    if (ImageIsBlank(pStored) || (Judge.Have && 0 == memcmp(Record.mac, Judge.Mac, sizeof(Judge.Mac))))
    {
        return false;
    }
    const uint8_t Blank[CipherBlockBytes] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                             0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    if (0 == memcmp(pStored, Blank, sizeof(Blank)))
    {
        return true;
    }
    // A torn blanking, or a torn last write: blank at one end. A record
    // promtool makes always has six digits (image create refuses others).
    return (pStored[0] == 0xFF || pStored[CipherBlockBytes - 1] == 0xFF) && !SerialIsValid(Record.sn);
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

Judge_s Eth0Judge()
{
    Judge_s Judge;
    // Asked only where eth0 exists, so that its absence is no error report.
    Judge.Have = if_nametoindex("eth0") != 0 && !GetMacBytesFromIoctl(Judge.Mac);
    Judge.FromEth0 = Judge.Have;
    return Judge;
}

bool JudgeIsBad(const char* pCommand, const char* pMacArg, Judge_s* pJudge)
{
    if (pMacArg == nullptr)
    {
        *pJudge = Eth0Judge();
        return false;
    }
    pJudge->Have = !MacArgumentIsBad(pCommand, "--mac", pMacArg, pJudge->Mac);
    return !pJudge->Have;
}

int ShowRecord(const eeprom_u& Record, const Judge_s& Judge, const ShowFormat_s& Format, bool Interrupted)
{
    bool Valid = Judge.Have && 0 == memcmp(Record.s.mac, Judge.Mac, sizeof(Judge.Mac));
    std::string Repair;
    std::string Unpublished = UnpublishedReason(Record, &Repair);
    int Status = Valid && Unpublished.empty() ? ExitOk : ExitFailed;
    std::string Serial = EscapedText(Record.s.sn, sizeof(Record.s.sn));
    std::string Name = EscapedText(Record.s.unit_name, StoredName(Record.s.unit_name).size());
    if (Format.Json)
    {
        json_t* pjtRecord = RecordFieldsJson(Record.s);
        json_object_update_new(pjtRecord, json_pack("{s:o, s:o, s:b, s:b}", "judged_against",
                                                     Judge.Have ? json_string(MacText(Judge.Mac).c_str()) : json_null(),
                                                     "valid", Judge.Have ? json_boolean(Valid) : json_null(),
                                                     "publishable", Unpublished.empty(), "interrupted_write",
                                                     Interrupted));
        if (Format.Dump)
        {
            json_object_set_new(pjtRecord, "plaintext", json_string(HexText(Record.b, sizeof(Record.b)).c_str()));
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
    if (Format.Dump)
    {
        eeprom_u Copy = Record;
        PrintBuffer(Copy.b, sizeof(Copy.b));
    }
    return Status;
}

int ParseShowOptions(int argc, char* argv[], const char* pCommand, void (*pUsage)(FILE*),
                     const char* pMissingFile, ShowOptions_s* pOptions)
{
    const char* pMac = nullptr;
    CommandLine_s Line = {pCommand, pUsage,
                          {TextOption("mac", 0, &pMac), FlagOption("dump", &pOptions->Format.Dump),
                           FlagOption("json", &pOptions->Format.Json)},
                          pMissingFile};
    int Status = ParseCommandLine(argc, argv, Line, &pOptions->pFile);
    if (Status >= 0)
    {
        return Status;
    }
    return JudgeIsBad(pCommand, pMac, &pOptions->Judge) ? ExitUsage : -1;
}
