// PromRecord: the identity record as promtool's commands show and check it,
// and chip image files (the chip's 4096 bytes, encrypted, in a file).
#ifndef TOOLS_PROMRECORD_H
#define TOOLS_PROMRECORD_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "Prom.h"

const size_t ImageBytes = sizeof(eeprom_u);

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
// True when the chip image pStored (Record decrypted from it) is what a chip
// write cut short leaves: promtool chip write blanks the record's first
// cipher block first and writes it last, so that block is blank, or starts
// or ends blank when the cut tore its write, and it decrypts to no serial
// number of six digits; the rest of the chip is not blank.
bool WriteWasInterrupted(const uint8_t* pStored, const eeprom_s& Record);
// What to tell about such an image.
extern const char* const InterruptedWriteText;
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
// The --mac argument pMacArg, or eth0's address when it is null. Returns
// true after reporting a usage error.
bool JudgeIsBad(const char* pCommand, const char* pMacArg, Judge_s* pJudge);

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
