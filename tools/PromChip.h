// PromChip: the identity EEPROM itself, on the unit (a simulated one on a
// PC): promtool chip read|show|write, through i2c-dev and the record's own
// transfers (cProm): the start-up read with its retry, page writes with
// acknowledge polling. Writing the chip lives here, in the tools package,
// and never in the service.
#ifndef TOOLS_PROMCHIP_H
#define TOOLS_PROMCHIP_H

#include <cstdint>
#include <string>

#include "I2cBus.h"
#include "Prom.h"

// The chip at 0x50 on bus 1, without the service's record logic.
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

    cProm Prom;
    int SelectErrno;    // of the address selection at construction
};

// Where the chip is, for messages.
extern const char* const ChipPlace;

// promtool chip read|show|write ...; argv[0] is the verb. Returns the exit
// status.
int PromChipCommand(int argc, char* argv[]);

#endif
