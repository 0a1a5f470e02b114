// PromDoctor: promtool doctor.
//
// Each check runs whatever came before it; one that has nothing to work on
// (no chip read, no cipher) is shown as skipped with the reason. A failed
// check names a cause; the causes are ordered as the checks, so the first
// failed check is the one a fix should start with (a chip that does not
// answer also fails its read, and only the first is the cause).
#include "PromDoctor.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <link.h>
#include <climits>
#include <unistd.h>
#include <memory>
#include <string>
#include <vector>

#include <jansson.h>

#include "AesLibHandler.h"
#include "ChipLock.h"
#include "PromChipAccess.h"
#include "PromClientOptions.h"
#include "PromCommandLine.h"
#include "PromContract.h"
#include "PromImage.h"
#include "PromOutput.h"
#include "PromRecord.h"
#include "PromServiceProbe.h"

namespace
{
const char* const HelpCommand = "doctor";
const long DefaultTimeoutS = 3;

void DoctorUsage(FILE* pOut)
{
    fprintf(pOut,
        "Usage: promtool doctor [--json] [--timeout SECONDS]\n"
        "\n"
        "On the unit: checks what the unit's identity depends on, one line each,\n"
        "in this order, and every check even after one failed:\n"
        "  buses      %s (the chip's bus) opens; 0 and 2 are noted\n"
        "  chip       the EEPROM acknowledges at %s\n"
        "  read       the whole chip can be read\n"
        "  crypto     liblibaes.so.1.0.so.1 loads with its six entry points\n"
        "  record     the service can publish the record: its serial number and\n"
        "             unit name are UTF-8 (a blank chip is all 0xFF; a chip write\n"
        "             cut short leaves its first block blank)\n"
        "  mac        the stored MAC address against eth0's\n"
        "  service    eeprom-manager runs (its single-instance lock)\n"
        "  published  its identity and heartbeat come, within SECONDS (default %ld)\n"
        "The last line names the first cause of a missing or invalid identity.\n"
        "Exit status 0 when there is none, 1 when there is one.\n"
        "\n"
        "  --json             one JSON object: \"checks\" (a list of {\"check\",\n"
        "                     \"status\": \"ok\"|\"fail\"|\"skipped\", \"detail\"}),\n"
        "                     \"cause\" (a key such as \"no_ack\", or null), \"diagnosis\"\n"
        "  --timeout SECONDS  longest wait for the identity and heartbeat, 1 to 3600\n"
        "  -h, --help         show this help\n",
        BusPath(PromI2cBus).c_str(), ChipAddressText().c_str(), DefaultTimeoutS);
}

enum eState
{
    ST_OK,
    ST_FAIL,
    ST_SKIPPED
};

struct Check_s
{
    const char* pName;      // its key
    const char* pTitle;     // for the text line
    eState State;
    std::string Detail;
};

// A cause of a missing or invalid identity: its key and what to tell.
struct Cause_s
{
    const char* pKey;
    std::string Diagnosis;
};

class cDoctor
{
public:
    explicit cDoctor(bool Json) : Json(Json) {}

    // Shows a check's result (in text at once) and keeps the first cause.
    void Report(const char* pName, const char* pTitle, eState State, const std::string& Detail,
                const char* pCause = nullptr, const std::string& Diagnosis = std::string())
    {
        Checks.push_back({pName, pTitle, State, Detail});
        if (State == ST_FAIL && pCause != nullptr && Cause.pKey == nullptr)
        {
            Cause = {pCause, Diagnosis};
        }
        if (!Json)
        {
            static const char* const States[] = {"ok", "FAIL", "--"};
            printf("%-4s  %-24s %s\n", States[State], pTitle, Detail.c_str());
            fflush(stdout);
        }
    }

    // The last line, or the JSON object. Returns the exit status.
    int Finish()
    {
        std::string Diagnosis =
            Cause.pKey != nullptr ? Cause.Diagnosis : "healthy: the identity is valid and published";
        if (Json)
        {
            static const char* const States[] = {"ok", "fail", "skipped"};
            json_t* pjtChecks = json_array();
            for (const Check_s& Check : Checks)
            {
                json_array_append_new(pjtChecks, json_pack("{s:s, s:s, s:s}", "check", Check.pName, "status",
                                                           States[Check.State], "detail", Check.Detail.c_str()));
            }
            PrintJson(json_pack("{s:o, s:o, s:s}", "checks", pjtChecks, "cause",
                                Cause.pKey != nullptr ? json_string(Cause.pKey) : json_null(), "diagnosis",
                                Diagnosis.c_str()));
        }
        else
        {
            printf("Diagnosis: %s\n", Diagnosis.c_str());
        }
        return Cause.pKey != nullptr ? ExitFailed : ExitOk;
    }

private:
    bool Json;
    std::vector<Check_s> Checks;
    Cause_s Cause = {nullptr, std::string()};
};

// Where the loader found the crypto library.
std::string LibraryPath()
{
    link_map* pMap = nullptr;
    if (aeslib == nullptr || dlinfo(aeslib, RTLD_DI_LINKMAP, &pMap) != 0 || pMap == nullptr)
    {
        return "liblibaes.so.1.0.so.1";
    }
    return pMap->l_name;
}

// What the checks found, for the checks after them.
struct Findings_s
{
    bool Bus1Open = false;
    std::unique_ptr<cPromChip> pChip;   // bound when bus 1 is open
    int SelectError = 0;                // of the chip's address selection
    eeprom_u Record;                    // as read; decrypted when Decrypted
    bool Read = false;                  // the whole chip was read
    bool Cipher = false;                // the crypto library is complete
    Judge_s Eth0;                       // eth0's MAC address, if any
    bool Decrypted = false;
};

// I2C buses, opened as the service opens them. Only bus 1, the chip's, is
// needed: the service reports a missing bus 0 or 2 and runs without it, and
// so does this check.
void CheckBuses(cDoctor& Doctor, Findings_s* pFound)
{
    std::string Opened;
    std::string Missing;
    int Bus1Error = 0;
    {
        // The layers below report on standard output; that is ours here.
        cReportsToStderr Reports;
        for (unsigned Bus = I2C_BUS_0; Bus < NUM_I2C_BUSSES; Bus++)
        {
            int Error = cPromChip::OpenBus(static_cast<eBusNames>(Bus));
            Bus1Error = Bus == PromI2cBus ? Error : Bus1Error;
            std::string& List = Error == 0 ? Opened : Missing;
            List += (List.empty() ? "" : ", ") + BusPath(Bus);
            List += Error == 0 ? "" : std::string(": ") + strerror(Error);
        }
    }
    pFound->Bus1Open = Bus1Error == 0;
    std::string Detail = Opened.empty() ? "none open" : Opened + " open";
    Detail += Missing.empty() ? "" : "; " + Missing + (pFound->Bus1Open ? " (not needed)" : "");
    Doctor.Report("buses", "I2C buses 0-2", pFound->Bus1Open ? ST_OK : ST_FAIL, Detail, "bus_missing",
                  "the chip's I2C bus cannot be opened (" + BusPath(PromI2cBus) + ": " + strerror(Bus1Error)
                      + "): is its driver loaded?");
}

// What the kernel says of the device at the chip's address, when one of
// its drivers holds it (the usual cause of a busy address: an at24 bound
// through a device-tree node or new_device): which driver, where the device
// comes from, and how to free the address. Empty when sysfs tells nothing.
std::string AddressHolder()
{
    char Device[24];
    snprintf(Device, sizeof(Device), "%u-%04x", static_cast<unsigned>(PromI2cBus), PromI2cAddress);
    const std::string Path = std::string("/sys/bus/i2c/devices/") + Device;
    char Target[PATH_MAX];
    ssize_t Length = readlink((Path + "/driver").c_str(), Target, sizeof(Target) - 1);
    if (Length <= 0)
    {
        return std::string();
    }
    Target[Length] = '\0';
    const std::string Driver = strrchr(Target, '/') != nullptr ? strrchr(Target, '/') + 1 : Target;
    std::string Holder = "the kernel's " + Driver + " driver holds it (device " + Device;
    char Name[64] = "";
    FILE* pName = fopen((Path + "/name").c_str(), "r");
    if (pName != nullptr && fgets(Name, sizeof(Name), pName) != nullptr)
    {
        Name[strcspn(Name, "\n")] = '\0';
        Holder += std::string(", \"") + Name + "\"";
    }
    if (pName != nullptr)
    {
        fclose(pName);
    }
    const std::string Unbind = "echo " + std::string(Device) + " > /sys/bus/i2c/drivers/" + Driver + "/unbind";
    Length = readlink((Path + "/of_node").c_str(), Target, sizeof(Target) - 1);
    if (Length > 0)
    {
        Target[Length] = '\0';
        const char* pNode = strstr(Target, "/devicetree/base");
        return Holder + ", from the device-tree node " + (pNode != nullptr ? pNode + strlen("/devicetree/base") : Target)
               + "): drop that node from the unit's device tree, or free the address until the next boot ("
               + Unbind + ")";
    }
    char Delete[80];
    snprintf(Delete, sizeof(Delete), "echo 0x%02x > /sys/bus/i2c/devices/i2c-%u/delete_device", PromI2cAddress,
             static_cast<unsigned>(PromI2cBus));
    return Holder + ", made at run time): free the address (" + Unbind + ", or " + Delete + ")";
}

// Why the chip checks are skipped.
std::string BusNotOpen()
{
    return "bus " + std::to_string(PromI2cBus) + " is not open";
}

// The chip at its address.
void CheckChip(cDoctor& Doctor, Findings_s* pFound)
{
    static const std::string Title = "chip at " + ChipAddressText();
    if (!pFound->Bus1Open)
    {
        Doctor.Report("chip", Title.c_str(), ST_SKIPPED, BusNotOpen());
        return;
    }
    bool Answers = false;
    {
        cReportsToStderr Reports;
        pFound->pChip.reset(new cPromChip);
        pFound->SelectError = pFound->pChip->SelectError();
        Answers = pFound->SelectError == 0 && pFound->pChip->Acknowledges();
    }
    if (pFound->SelectError != 0)
    {
        std::string Holder = AddressHolder();
        Doctor.Report("chip", Title.c_str(), ST_FAIL,
                      std::string("address busy (I2C_SLAVE: ") + strerror(pFound->SelectError) + ")", "slave_busy",
                      "address " + ChipAddressText() + " is busy: "
                          + (Holder.empty() ? std::string("another driver (such as the kernel's at24) holds it")
                                            : Holder));
        return;
    }
    Doctor.Report("chip", Title.c_str(), Answers ? ST_OK : ST_FAIL,
                  Answers ? "acknowledges" : "no acknowledge within " + std::to_string(PromWriteTimeoutMs) + " ms",
                  "no_ack",
                  "the chip does not answer at " + ChipAddressText()
                      + ": not fitted, not powered, or the bus is broken");
}

// The whole chip, as the service reads it at start.
void CheckRead(cDoctor& Doctor, Findings_s* pFound)
{
    if (!pFound->pChip)
    {
        Doctor.Report("read", "whole-chip read", ST_SKIPPED, BusNotOpen());
        return;
    }
    {
        cReportsToStderr Reports;
        pFound->Read = !pFound->pChip->Read(pFound->Record.b);
    }
    Doctor.Report("read", "whole-chip read", pFound->Read ? ST_OK : ST_FAIL,
                  pFound->Read          ? "4096 bytes"
                  : pFound->SelectError ? "failed: the address cannot be selected"
                                        : "failed, retried for " + std::to_string(PromWriteTimeoutMs) + " ms",
                  "read_fail", "the chip answers, but reads of it fail");
}

// The crypto library and its entry points.
void CheckCrypto(cDoctor& Doctor, Findings_s* pFound)
{
    {
        cReportsToStderr Reports;
        init_aes_lib();
    }
    const char* const Names[] = {"aes_setkey_enc", "aes_setkey_dec", "aes_crypt_cbc",
                                 "sha2_starts",    "sha2_update",    "sha2_finish"};
    const bool Found[] = {p_aes_setkey_enc != nullptr, p_aes_setkey_dec != nullptr, p_aes_crypt_cbc != nullptr,
                          p_sha2_starts != nullptr,    p_sha2_update != nullptr,    p_sha2_finish != nullptr};
    std::string Missing;
    for (size_t i = 0; i < sizeof(Names) / sizeof(Names[0]); i++)
    {
        Missing += Found[i] ? "" : std::string(Missing.empty() ? "" : ", ") + Names[i];
    }
    pFound->Cipher = aeslib != nullptr && Missing.empty();
    std::string Detail = aeslib == nullptr ? "liblibaes.so.1.0.so.1 cannot be loaded"
                         : pFound->Cipher  ? LibraryPath() + ", six entry points"
                                           : LibraryPath() + " lacks " + Missing;
    Doctor.Report("crypto", "crypto library", pFound->Cipher ? ST_OK : ST_FAIL, Detail, "no_crypto",
                  "the crypto library is missing or incomplete (" + Detail + "): no record can be decrypted");
}

// eth0's MAC address, which the record is judged against.
void FindEth0(Findings_s* pFound)
{
    cReportsToStderr Reports;
    pFound->Eth0 = Eth0Judge();
}

// The record, judged as the service judges it: a serial number that is not
// six digits is still published, and only noted here.
void CheckRecord(cDoctor& Doctor, Findings_s* pFound)
{
    eeprom_u& Record = pFound->Record;
    if (!pFound->Read || !pFound->Cipher)
    {
        Doctor.Report("record", "record", ST_SKIPPED,
                      !pFound->Read ? "the chip was not read" : "no cipher to decrypt it");
        return;
    }
    if (ImageIsBlank(Record.b))
    {
        Doctor.Report("record", "record", ST_FAIL, "blank chip (all 0xFF)", "blank_chip",
                      "the chip is blank: write a chip image to it (promtool chip write)");
        return;
    }
    uint8_t Stored[ImageBytes];
    memcpy(Stored, Record.b, sizeof(Stored));
    cPromImage::Decrypt(Record.b);
    if (WriteWasInterrupted(Stored, Record.s, pFound->Eth0))
    {
        Doctor.Report("record", "record", ST_FAIL, "interrupted write: the first block is blank",
                      "interrupted_write", InterruptedWriteText);
        return;
    }
    pFound->Decrypted = true;
    std::string Repair;
    std::string Unpublished = UnpublishedReason(Record, &Repair);
    const Judge_s& Eth0 = pFound->Eth0;
    bool Ours = Eth0.Have && 0 == memcmp(Record.s.mac, Eth0.Mac, sizeof(Eth0.Mac));
    std::string Sn = EscapedText(Record.s.sn, sizeof(Record.s.sn));
    Doctor.Report("record", "record", Unpublished.empty() ? ST_OK : ST_FAIL,
                  Unpublished.empty()
                      ? "serial number " + Sn + (SerialIsValid(Record.s.sn) ? "" : " (not six digits)")
                            + ", unit name \""
                            + EscapedText(Record.s.unit_name, StoredName(Record.s.unit_name).size()) + "\""
                      : Unpublished,
                  "bad_record",
                  Ours ? "the service publishes nothing for this record: " + Unpublished + "; " + Repair
                       : "the record is broken (" + Unpublished
                             + ") and not this unit's: write a chip image for this unit "
                               "(promtool image create, promtool chip write)");
}

// The stored MAC address against eth0's.
void CheckMac(cDoctor& Doctor, const Findings_s& Found)
{
    const Judge_s& Eth0 = Found.Eth0;
    std::string Stored = Found.Decrypted ? "record " + MacText(Found.Record.s.mac) : "no record";
    if (!Eth0.Have)
    {
        Doctor.Report("mac", "MAC address", ST_FAIL, Stored + ", no eth0", "no_eth0",
                      "this unit has no eth0: without its MAC address no record is valid");
        return;
    }
    if (!Found.Decrypted)
    {
        Doctor.Report("mac", "MAC address", ST_SKIPPED, "no record, eth0 " + MacText(Eth0.Mac));
        return;
    }
    bool Same = 0 == memcmp(Found.Record.s.mac, Eth0.Mac, sizeof(Eth0.Mac));
    std::string Detail = Stored + ", eth0 " + MacText(Eth0.Mac);
    Doctor.Report("mac", "MAC address", Same ? ST_OK : ST_FAIL, Detail, "mac_mismatch",
                  "the record belongs to another unit (" + Detail + ")");
}

// The service, by the chip's lock: the manager holds it for its whole life.
// Another holder (promtool writing the chip) is named; one in a PID
// namespace not visible from here is taken for the service, whose identity
// and heartbeat the next check looks for.
void CheckService(cDoctor& Doctor)
{
    ChipHolder_s Holder;
    eChipLock Lock = ChipLockHolder(&Holder);
    char Text[96];
    std::string Detail = CHIP_LOCK_FREE == Lock ? std::string("not running")
                         : CHIP_LOCK_HELD != Lock
                             ? std::string("cannot tell: cannot ") + (CHIP_LOCK_NO_BUS == Lock ? "open " : "lock ")
                                   + PromBusPath + ": " + strerror(errno)
                         : ChipHolderIsManager(Holder) ? "running, pid " + std::to_string(Holder.Pid)
                         : ChipHolderPidUnknown == Holder.Pid
                             ? std::string("running, pid unknown: it runs in a PID namespace not visible from here")
                             : std::string("not running: the chip is held by ") + ChipHolderText(Holder, Text, sizeof(Text));
    bool Running = CHIP_LOCK_HELD == Lock && (ChipHolderIsManager(Holder) || ChipHolderPidUnknown == Holder.Pid);
    Doctor.Report("service", "eeprom-manager", Running ? ST_OK : ST_FAIL, Detail, "not_running",
                  CHIP_LOCK_HELD == Lock && !Running ? "eeprom-manager is " + Detail
                                                     : std::string("eeprom-manager is not running"));
}

// What the service publishes.
void CheckPublished(cDoctor& Doctor, long TimeoutS)
{
    const char* const Title = "identity and heartbeat";
    ClientOptions_s Options = {PromZmqDir, TimeoutS};
    ServiceProbe_s Probe;
    if (ProbeService(Options, "heartbeats cannot be checked from here", &Probe))
    {
        Doctor.Report("published", Title, ST_FAIL, "cannot listen on " + Options.ZmqDir, "not_published",
                      "eeprom-manager's endpoints cannot be reached");
        return;
    }
    std::string Beat = !Probe.BeatsChecked ? "heartbeat not checked (a health monitor owns it)"
                       : Probe.SawBeat     ? "heartbeat"
                                           : "no heartbeat";
    std::string Identity = Probe.SawIdentity ? "identity " + WireText(Probe.Identity) : "no identity";
    std::string Within = " within " + std::to_string(TimeoutS) + " s";
    if (!Probe.SawIdentity || (Probe.BeatsChecked && !Probe.SawBeat))
    {
        Doctor.Report("published", Title, ST_FAIL, Identity + ", " + Beat + Within, "not_published",
                      "eeprom-manager publishes no " + std::string(Probe.SawIdentity ? "heartbeat" : "identity")
                          + Within);
        return;
    }
    // An identity that is no identity object with a serial number, or says INVLD, is invalid.
    IdentityText_s Published = ReadIdentity(Probe.Identity);
    Doctor.Report("published", Title, !Published.HasSerial || Published.SaysInvalid ? ST_FAIL : ST_OK,
                  Identity + ", " + Beat,
                  "invalid_identity",
                  "eeprom-manager publishes the identity as invalid although the checks pass: restart it, "
                  "it reads the chip only at start");
}

// Runs the checks in order, every one of them, and names the first cause.
int Diagnose(bool Json, long TimeoutS)
{
    cDoctor Doctor(Json);
    Findings_s Found;
    CheckBuses(Doctor, &Found);
    CheckChip(Doctor, &Found);
    CheckRead(Doctor, &Found);
    CheckCrypto(Doctor, &Found);
    FindEth0(&Found);
    CheckRecord(Doctor, &Found);
    CheckMac(Doctor, Found);
    CheckService(Doctor);
    CheckPublished(Doctor, TimeoutS);
    return Doctor.Finish();
}
}

int PromDoctorCommand(int argc, char* argv[])
{
    bool Json = false;
    long TimeoutS = DefaultTimeoutS;
    CommandLine_s Line = {HelpCommand, DoctorUsage, {FlagOption("json", &Json), TimeoutOption(HelpCommand, &TimeoutS)}};
    int Status = ParseCommandLine(argc, argv, Line);
    if (Status >= 0)
    {
        return Status;
    }
    return Diagnose(Json, TimeoutS);
}
