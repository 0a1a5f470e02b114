// PromChipAccess: the identity EEPROM itself as promtool's chip commands and
// doctor reach it on the unit (a simulated one on a PC): through i2c-dev and
// the chip's transfers that the service uses too (PromChipIo), moving the
// chip's bytes as they are stored; and where the chip is, for messages.
#ifndef TOOLS_PROMCHIPACCESS_H
#define TOOLS_PROMCHIPACCESS_H

#include <cstdint>
#include <string>

#include "I2cBus.h"
#include "I2cDevice.h"
#include "PromChipIo.h"
#include "Timer.h"

// "0x50 on bus 1".
std::string ChipAddressText();
// "the EEPROM at 0x50 on I2C bus 1".
std::string ChipPlace();
// "/dev/i2c-<Bus>".
std::string BusPath(unsigned Bus);

// How far a chip write came.
enum eChipWriteStep
{
    CHIP_WRITE_BLANKING,    // blanking the first block: nothing else was written
    CHIP_WRITE_BODY,        // writing the rest: the first block is blank
    CHIP_WRITE_FIRST_BLOCK, // writing the first block last
    CHIP_WRITE_DONE,        // written and read back whole: identical
};
// Why a step failed.
enum eChipWriteFault
{
    CHIP_NOT_ACKNOWLEDGED,  // a write was not acknowledged, or its poll timed out
    CHIP_NOT_READ,          // the read-back that checks the step failed
    CHIP_DIFFERS,           // the chip does not hold what the step wrote
};
// The outcome of cPromChip::Write: the step it stopped in and why, and the
// whole chip as read back after it stopped (or was done), where it could be
// read.
struct ChipWrite_s
{
    eChipWriteStep Step = CHIP_WRITE_BLANKING;
    eChipWriteFault Fault = CHIP_NOT_ACKNOWLEDGED;
    uint16_t Address = 0;       // of the write not acknowledged
    bool ReadBack = false;      // ReadBackImage holds the chip
    uint8_t ReadBackImage[PromSizeBytes];
};

// The chip at its address on its bus.
class cPromChip
{
public:
    // Opens /dev/i2c-<Bus> as the service does (the bus table of I2cBus),
    // once. Returns the errno of a failed open, 0 when the bus is open.
    static int OpenBus(eBusNames Bus);
    // Binds the chip; nothing is sent. Bus 1 must be open.
    cPromChip();
    // 0 when the chip's address could be selected on the bus, otherwise the
    // errno of I2C_SLAVE (EBUSY: a kernel driver holds the address).
    int SelectError() const;
    // True when the chip acknowledges its address within the 20 ms of a
    // write cycle (acknowledge polling).
    bool Acknowledges();
    // Reads the whole chip as stored, retried as at the service's start.
    // Returns true on failure.
    bool Read(uint8_t* pImage);
    // Writes the whole chip, so that a cut or a fault at any point leaves
    // the old record, the new one, or a record whose first cipher block is
    // (partly) blank: never a valid mixture of the two. Each step that the
    // next one relies on is checked on the chip before that step is taken,
    // never judged by the poll after a write alone: the blanked first block
    // is read back before any page is written, the rest of the chip before
    // the first block makes the record whole, and the whole chip at the
    // end. Stops at the first step that fails; see ChipWrite_s.
    ChipWrite_s Write(const uint8_t* pImage);

private:
    // Writes Bytes bytes (within one page) at Address and polls until the
    // chip has stored them. Returns true when the chip did not acknowledge
    // the write or the poll timed out (reported).
    bool WriteSpan(uint16_t Address, const uint8_t* pData, uint16_t Bytes);
    // Reads the chip's first Bytes bytes into pData, twice when the first
    // read fails. Returns true when read.
    bool ReadBack(uint8_t* pData, uint16_t Bytes);

    cI2cDevice Chip;    // the EEPROM's device on its bus
    cTimer WriteTimer;  // the limit of each acknowledge polling
    int SelectErrno;    // of the address selection at construction
};

#endif
