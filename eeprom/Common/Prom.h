// Prom: the unit's identity record, held in the identity chip (PromChipIo).
//
// The record is 4096 bytes: serial number, the MAC address it belongs to, a
// unit name, and areas carried through unchanged. The chip holds the whole
// record encrypted as one AES-128-CBC message under a fixed key and IV;
// cProm keeps the decrypted image in memory and moves it to and from the
// chip only as a whole: one 4096-byte read, or 128 page writes of 32 bytes
// with acknowledge polling.
//
// What can go wrong, and what the record does about it:
// - The chip does not answer: reads fail (the image keeps what it held),
//   page writes time out one by one and are reported; after 15 consecutive
//   failures the I2C layer declares the chip dead for the rest of the run.
// - The crypto library or one of its AES entry points is missing: the record
//   is never decrypted, counts as not valid, and EncryptWrite never writes
//   it (writing would destroy it); one "EEPROM ERR: " line at construction
//   says why.
// - A write the chip did not take (read-back differs, or fails): reported,
//   and the image is left as the chip last verifiably held.
// The record operations return no errors; failures show in printed lines and
// in the image. Single-threaded.
#ifndef EEPROM_COMMON_PROM_H
#define EEPROM_COMMON_PROM_H

#include <cstddef>
#include <cstdint>

#include "I2cDevice.h"
#include "PromChipIo.h"
#include "Timer.h"

// Record layout, as decrypted.
struct eeprom_s
{
    uint8_t sn[6];              // serial number: six ASCII digits, no terminator
    uint8_t mac[6];             // MAC address the record belongs to, first byte first
    uint8_t filler1[4];         // not used; carried unchanged
    uint8_t opaque_area[4032];  // not interpreted here; carried unchanged
    uint8_t unit_name[16];      // ASCII/UTF-8, NUL-padded; 16 bytes without NUL = 16 chars
    uint8_t PollArea[32];       // the chip's last page, with the poll location 0x0FFE
};

union eeprom_u
{
    eeprom_s s;
    uint8_t b[4096];
};

// The serial number and the unit name as strings: the field and a NUL.
const size_t SerialNumberTextBytes = sizeof(eeprom_s::sn) + 1;
const size_t UnitNameTextBytes = sizeof(eeprom_s::unit_name) + 1;
// The record cipher's block (AES: 16 bytes). The first one holds the serial
// number and the MAC address, so it alone decides whose record it is.
const uint16_t CipherBlockBytes = 16;

static_assert(sizeof(eeprom_s) == PromSizeBytes, "the record fills the chip exactly");
static_assert(offsetof(eeprom_s, PollArea) + sizeof(eeprom_s::PollArea) == PromSizeBytes
                  && offsetof(eeprom_s, PollArea) <= PollAddress,
              "the chip's last page, with its poll address, is the record's PollArea");
static_assert(offsetof(eeprom_s, filler1) + sizeof(eeprom_s::filler1) == CipherBlockBytes,
              "serial number and MAC address make up the first cipher block");

class cProm : public cI2cDevice
{
public:
    // Binds the chip (0x50 on bus 1, name "EEPROM"), binds the crypto
    // library and reads and decrypts the record. Has no failure result:
    // failures are printed by the layers below.
    cProm();

    // True when the record belongs to this unit: the MAC address of eth0
    // could be read (asked again on every call) and equals the stored one.
    // False when the record could not be decrypted for want of a cipher.
    bool HasValidData();
    // True once after each write of the chip; asking clears it.
    bool HasChanged();
    // True while the image holds a change not yet written to the chip.
    bool WriteRequired();
    // Copies the serial number out as a string; pSn holds at least
    // SerialNumberTextBytes (7).
    void GetSerialNumber(char* pSn);
    // Copies the unit name out as a string; pName holds at least
    // UnitNameTextBytes (17).
    void GetUnitName(char* pName);
    // Stores a new unit name in the image (at most 15 bytes, cut on a UTF-8
    // character boundary) and marks the image as needing a write, even when
    // the name is unchanged. A null pName changes nothing.
    void SetUnitName(const char* pName);
    // A requested name: stored as SetUnitName stores it, but only when that
    // changes the stored name (compared as it would be stored, so a long
    // name repeated does not ask for a write each time). Returns true when
    // it did; the image then needs a write. A null pName changes nothing.
    bool RenameUnit(const char* pName);
    // Reads the whole chip and decrypts it into the image.
    void DecryptRead();
    // Encrypts the image, writes all 128 pages, reads the chip back and
    // checks it: on a mismatch or a failed read it reports and keeps the
    // image the chip last verifiably held. Never writes without a cipher.
    void EncryptWrite();
    // Fills the chip with 0xFF, without encryption; the image then holds the
    // raw bytes read back.
    void Erase();

    // The unit name as SetUnitName would store it: pStored (16 bytes) gets
    // at most 15 bytes of pName, never a split UTF-8 character, NUL-padded.
    static void CutUnitName(const char* pName, uint8_t* pStored);
    // The record's cipher on any 4096 bytes, as EncryptOrDecrypt: for tools
    // that make and read chip images.
    static void Cipher(uint8_t* pImage, int Mode);

private:
    // Reads the 4096 bytes of the chip into pRdBuf in one combined transfer.
    // Returns true on failure; the buffer is then unchanged.
    bool ReadProm(uint8_t* pRdBuf);
    // Decrypts the image just read (or left as it was by a failed read) and
    // clears WriteNeeded; a good read becomes the verified image.
    void Decrypt(bool ReadFailed);
    // Writes the 4096 bytes at pWrBuf page by page, polling after each page;
    // reports each page that times out and goes on with the next.
    void WriteProm(uint8_t* pWrBuf);
    // Polls the chip until it acknowledges (true) or 20 ms pass (false).
    bool PollWriteFinished();
    // Encrypts (mode 1) or decrypts (any other mode) 4096 bytes in place with
    // the record key and IV. Does nothing without a usable cipher.
    static void EncryptOrDecrypt(uint8_t* buf, int mode);

    cTimer WriteTimer;          // 20 ms limit of the acknowledge polling
    eeprom_u leeprom;           // the decrypted image
    bool Written;               // the chip was written since HasChanged was asked
    bool WriteNeeded;           // the image holds an unwritten change
    eeprom_u VerifiedImage;     // the image as the chip last verifiably held it

    static const uint8_t PtKey[17];         // key: the first 16 bytes
    static const uint8_t InitVector[17];    // IV: the first 16 bytes
};

// The one record object, from CreateProm to DestroyProm.
extern cProm* pProm;

// Creates the record object (reading the chip) and stores it in pProm.
void CreateProm();
// Deletes the record object; pProm becomes null.
void DestroyProm();

#endif
