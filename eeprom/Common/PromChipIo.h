// PromChipIo: the identity chip's transfers on its I2C device (a 24xx32 at
// 0x50 on bus 1): the whole-chip read in one combined transfer, the same
// read at start-up that waits out a write cycle still running, a write
// within one page, and the acknowledge polling that follows it, against a
// time limit. cProm
// moves its record with them; promtool's chip commands move a chip image's
// bytes as they are stored. They send what they are asked to and print only
// what the device layer prints; the callers report.
#ifndef EEPROM_COMMON_PROMCHIPIO_H
#define EEPROM_COMMON_PROMCHIPIO_H

#include <cstdint>

#include "I2cDevice.h"
#include "Timer.h"

// Reads the whole chip (PromSizeBytes) into pImage in one combined
// transfer. Returns true on failure; pImage is then unchanged.
bool PromChipRead(cI2cDevice& Chip, uint8_t* pImage);
// Reads the chip's first Bytes bytes into pData in one combined transfer.
// Returns true on failure; pData is then unchanged.
bool PromChipReadFirst(cI2cDevice& Chip, uint8_t* pData, uint16_t Bytes);
// PromChipRead for a chip that may still be in a write cycle (its previous
// owner stopped in the middle of a write): waits, with Timer as the limit,
// until the chip answers an untracked probe, then makes the one reported
// read. Returns true on failure, never declaring the chip dead by retrying.
bool PromChipReadAtStart(cI2cDevice& Chip, cTimer& Timer, uint8_t* pImage);
// Polls the chip until it acknowledges (true) or Timer's limit passes
// (false); a time-out always follows a poll made after the limit.
bool PromChipPoll(cI2cDevice& Chip, cTimer& Timer);
// Sends a write of Bytes bytes (at most one page, not across its end) at
// Address; the chip then stores them in its write cycle (PromChipPoll waits
// for it). Returns true when the chip did not acknowledge the write (the
// device layer prints it): no write cycle started, and the poll after it
// answers at once.
bool PromChipSend(cI2cDevice& Chip, uint16_t Address, const uint8_t* pData, uint16_t Bytes);

#endif
