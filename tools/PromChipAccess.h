// PromChipAccess: the identity EEPROM itself as promtool's chip commands and
// doctor reach it on the unit (a simulated one on a PC): through i2c-dev and
// the record's own transfers (PromChipIo), moving the chip's bytes as they
// are stored; and where the chip is, for messages.
#ifndef TOOLS_PROMCHIPACCESS_H
#define TOOLS_PROMCHIPACCESS_H

#include <cstdint>
#include <string>

#include "I2cBus.h"
#include "I2cDevice.h"
#include "Timer.h"

// "0x50 on bus 1".
std::string ChipAddressText();
// "the EEPROM at 0x50 on I2C bus 1".
std::string ChipPlace();
// "/dev/i2c-<Bus>".
std::string BusPath(unsigned Bus);

// The chip at its address on its bus.
class cPromChip
{
public:
    // Opens /dev/i2c-<Bus> as the service does (the bus table of I2cBus).
    // Returns the errno of a failed open, 0 when the bus is open.
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
    // Writes the whole chip, polling after each write, so that a cut at any
    // point leaves the old record, the new one, or a record whose first
    // cipher block is still (partly) blank: never a valid mixture of the
    // two. Then reads it back into pReadBack. Returns true when the
    // read-back failed.
    bool Write(const uint8_t* pImage, uint8_t* pReadBack);

private:
    // Writes Bytes bytes (within one page) at Address and polls until the
    // chip has stored them. Returns true on a time-out (reported).
    bool WriteSpan(uint16_t Address, const uint8_t* pData, uint16_t Bytes);

    cI2cDevice Chip;    // the EEPROM's device on its bus
    cTimer WriteTimer;  // the limit of each acknowledge polling
    int SelectErrno;    // of the address selection at construction
};

#endif
