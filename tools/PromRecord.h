// PromRecord: the identity record as promtool's commands show and check it:
// its fields (serial number, MAC address, unit name) wherever they enter or
// leave, chip image files (the chip's 4096 bytes, encrypted, in a file), and
// the MAC address a record is judged against.
#ifndef TOOLS_PROMRECORD_H
#define TOOLS_PROMRECORD_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include <jansson.h>

#include "Prom.h"

const size_t ImageBytes = sizeof(eeprom_u);

// True when the six bytes at pSn are ASCII digits, as a serial number is.
bool SerialIsValid(const uint8_t* pSn);
// The serial number argument of pOption: exactly six digits. Returns true
// after reporting a usage error.
bool SerialArgumentIsBad(const char* pCommand, const char* pOption, const char* pSerial);
// Stores the unit name pName (from pWhere) into pStored (16 bytes) as the
// record stores it: cut to at most 15 bytes on a character boundary, with a
// warning when the cut loses bytes. A name that is not UTF-8 is refused
// instead: a usage error is reported and true returned.
bool StoreCheckedName(const char* pCommand, const char* pWhere, const char* pName, uint8_t* pStored);
// Parses "aa:bb:cc:dd:ee:ff" (hex digits, either case) into 6 bytes.
// Returns true on failure.
bool ParseMac(const char* pText, uint8_t* pMac);
// The MAC address argument of pOption: parsed into pMac, with a warning for
// the zero, broadcast and multicast addresses. Returns true after reporting
// a usage error.
bool MacArgumentIsBad(const char* pCommand, const char* pOption, const char* pText, uint8_t* pMac);
// Warns when the MAC address from pWhere is one no interface has (zero,
// broadcast, multicast).
void WarnUnusualMac(const char* pWhere, const uint8_t* pMac);
// "aa:bb:cc:dd:ee:ff".
std::string MacText(const uint8_t* pMac);
// The unit name of a record: its bytes up to the first NUL.
std::string StoredName(const uint8_t* pUnitName);
// A new JSON object with the record's "serial", "mac" and "unit_name", the
// texts escaped as EscapedText escapes them.
json_t* RecordFieldsJson(const eeprom_s& Record);


// Reads a regular file of exactly ImageBytes bytes; anything else (a FIFO
// too) is refused at once. Returns true on failure (reported).
bool ReadImageFile(const char* pPath, uint8_t* pImage);
// Writes ImageBytes bytes to a new file at pPath. An existing file, or a
// symbolic link (a dangling one too), is replaced only with Force, and then
// by a new file renamed over it: nothing is written through a link.
// Returns true on failure (reported).
bool WriteImageFile(const char* pPath, const uint8_t* pImage, bool Force);

// True when every byte is 0xFF, as on a chip that was never written.
bool ImageIsBlank(const uint8_t* pImage);
// Why the service publishes no identity at all for this record when it is
// the unit's (its MAC address matches); empty when it publishes one. *pRepair
// gets what repairs it. A serial number that is not six digits is published
// as it stands.
std::string UnpublishedReason(const eeprom_u& Record, std::string* pRepair);

// The MAC address a record is judged against.
struct Judge_s
{
    bool Have = false;      // false: none (no --mac, and no eth0 here)
    bool FromEth0 = false;  // true: eth0's address, not a --mac argument
    uint8_t Mac[6] = {};
};
// eth0's MAC address, when this machine has eth0 and its address can be
// read (nothing is reported when it has none).
Judge_s Eth0Judge();
// The --mac argument pMacArg, or eth0's address when it is null. Returns
// true after reporting a usage error.
bool JudgeIsBad(const char* pCommand, const char* pMacArg, Judge_s* pJudge);

// True when the chip image pStored (Record decrypted from it) is what a chip
// write cut short leaves: promtool chip write blanks the record's first
// cipher block first and writes it last, so that block is blank, or begins
// or ends blank where a cut tore its write (and then decrypts to no serial
// number of six digits); the rest of the chip is not blank. A record valid
// for Judge's MAC address is never one, whatever its bytes.
bool WriteWasInterrupted(const uint8_t* pStored, const eeprom_s& Record, const Judge_s& Judge);
// What to tell about such an image.
extern const char* const InterruptedWriteText;
// How a record is shown: as text (the default) or as one JSON object, with
// or without the whole plaintext.
struct ShowFormat_s
{
    bool Dump = false;      // add the whole plaintext as a hex dump
    bool Json = false;      // one JSON object instead of text
};

// Prints a decrypted record as `image show` and `chip show` do: serial
// number, MAC address, unit name and whether the record is valid for the
// judge's MAC address, in Format. A valid record the service cannot publish gets a line saying
// why. Returns ExitOk when the record is valid for that address and the
// service publishes it, otherwise (not valid, no address to judge against,
// nothing published) ExitFailed. Interrupted (WriteWasInterrupted) is shown
// in JSON as "interrupted_write".
int ShowRecord(const eeprom_u& Record, const Judge_s& Judge, const ShowFormat_s& Format, bool Interrupted);

// The options of `image show` and `chip show`: --mac MAC, --dump, --json.
struct ShowOptions_s
{
    Judge_s Judge;          // the --mac address, or eth0's
    ShowFormat_s Format;    // --dump, --json
    const char* pFile = nullptr;    // the one file argument, where there is one
};
// Parses them for pCommand ("image" or "chip"), whose usage pUsage prints
// for --help; pMissingFile is the complaint when the file argument is
// missing, null when the command takes none. Returns -1 to go on, else the
// exit status (help printed, or a usage error reported).
int ParseShowOptions(int argc, char* argv[], const char* pCommand, void (*pUsage)(FILE*),
                     const char* pMissingFile, ShowOptions_s* pOptions);

#endif
