// PromChipIo: the identity chip and its transfers. The chip is a 24xx32
// EEPROM (at 0x50 on I2C bus 1); its geometry and timing are here, and the
// transfers that move bytes on its I2C device: the whole-chip read in one
// combined transfer, the same read at start-up that waits out a write cycle
// still running, a write within one page, and the acknowledge polling that
// waits for the write cycle after it, against a time limit. cProm moves its
// record with them; promtool's chip commands move a chip image's bytes as
// they are stored. Each returns true on failure. They send what they are
// asked to and print only what the device layer prints; the callers report.
#ifndef EEPROM_COMMON_PROMCHIPIO_H
#define EEPROM_COMMON_PROMCHIPIO_H

#include <cstdint>

#include "I2cDevice.h"
#include "Timer.h"

// Chip geometry, from the 24xx32 datasheet: 32 Kbit = 4096 bytes in pages of
// 32 bytes, addressed with 16 bits sent high byte first.
const uint16_t PromSizeBytes = 32768 / 8;
const uint16_t PromPageSizeBytes = 32;
const uint16_t PromNumPages = PromSizeBytes / PromPageSizeBytes;
// Acknowledge polling sets the chip's address pointer to 0x0FFE, inside its
// last page, and programs nothing.
const uint16_t PollAddress = 0x0FFE;
// The datasheet allows 5 ms a write cycle; a page (and the start-up read of
// a chip still in its cycle) is given up after 20 ms.
const uint32_t PromWriteTimeoutMs = 20;

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
// Sends a write of Bytes bytes (at most one page, not across its end) at
// Address; the chip then stores them in its write cycle (PromChipWaitReady
// waits for it). Returns true when the chip did not acknowledge the write
// (the device layer prints it): no write cycle started, and the poll after
// it answers at once.
bool PromChipSend(cI2cDevice& Chip, uint16_t Address, const uint8_t* pData, uint16_t Bytes);
// Polls the chip until it acknowledges, which it does once its write cycle
// has ended. Returns true when Timer's limit passed first; a time-out
// always follows a poll made after the limit. Unanswered polls are not
// printed.
bool PromChipWaitReady(cI2cDevice& Chip, cTimer& Timer);

#endif
