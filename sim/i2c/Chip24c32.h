// Chip24c32: the 24xx32 serial EEPROM (4096 bytes, 32-byte pages, 16-bit
// word address sent high byte first), as it behaves on the bus.
//
// The model knows only what the chip sees of one message: a write (word
// address, then data) or a read, and whether a STOP or a repeated START
// follows it. Whether the chip acknowledges at all (write cycle, faults) is
// decided by the caller with Chip24c32IsBusy; the content lives in memory
// the caller provides (a mapped image file), the volatile state in a record
// the caller may share between processes.
#ifndef SIM_I2C_CHIP24C32_H
#define SIM_I2C_CHIP24C32_H

#include <cstdint>

namespace unitsim
{
// 32 Kbit; 32-byte pages and a 5 ms maximum write cycle from the datasheet.
const unsigned Chip24c32SizeBytes = 32768 / 8;
const unsigned Chip24c32PageBytes = 32;
const unsigned Chip24c32WriteCycleMs = 5;

// Volatile state of one chip: lost at power-off, kept between transfers.
struct sChip24c32State
{
    int64_t BusyUntilNs;    // end of the write cycle, CLOCK_MONOTONIC
    uint16_t Pointer;       // internal address counter, 0..4095
};

// Returns true while the chip is in its write cycle at NowNs; it then
// acknowledges nothing.
bool Chip24c32IsBusy(const sChip24c32State* pState, int64_t NowNs);

// Takes a write message of Len bytes. 0 bytes: nothing. 1 byte: latches the
// high address byte (the low byte of the counter is kept). 2 bytes: sets the
// counter. More: sets the counter and takes the data bytes, wrapping inside
// the 32-byte page; the counter ends after the last byte, within the page.
// The data is programmed only when a STOP follows (StopFollows); a repeated
// START aborts the write. Of the bytes the write cycle programs, only the
// first ProgramBytes reach the memory (Chip24c32PageBytes: all of them; 0:
// none, as after a power cut; in between, a page torn by one). A write ended
// by a STOP that carried data starts a write cycle of WriteCycleNs from
// NowNs, however many bytes reach the memory.
// Returns true when the write started a write cycle.
bool Chip24c32Write(sChip24c32State* pState, uint8_t* pMemory, const uint8_t* pData, unsigned Len,
                    bool StopFollows, unsigned ProgramBytes, int64_t NowNs, int64_t WriteCycleNs);

// Reads Len bytes sequentially from the counter into pOut; the counter
// advances and rolls over from the last byte to the first.
void Chip24c32Read(sChip24c32State* pState, const uint8_t* pMemory, uint8_t* pOut, unsigned Len);
}

#endif
