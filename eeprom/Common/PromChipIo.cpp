// PromChipIo: reads, page writes and acknowledge polling of the identity chip.
#include "PromChipIo.h"

#include <cassert>
#include <cstring>
#include <unistd.h>

namespace
{
const uint16_t PromStartAddr = 0;
// Between two acknowledge polls.
const useconds_t PollPauseUs = 1000;
}

bool PromChipRead(cI2cDevice& Chip, uint8_t* pImage)
{
    return PromChipReadFirst(Chip, pImage, PromSizeBytes);
}

bool PromChipReadFirst(cI2cDevice& Chip, uint8_t* pData, uint16_t Bytes)
{
    // One combined transfer: the two address bytes, then the data.
    return Chip.ReadRegs16(PromStartAddr, pData, Bytes, true);
}

bool PromChipReadAtStart(cI2cDevice& Chip, cTimer& Timer, uint8_t* pImage)
{
    // A chip still finishing a write cycle acknowledges nothing for up to one
    // cycle. Try quietly; on failure wait for the chip to answer an untracked
    // one-byte probe (which leaves the health record alone), for at most the
    // write-cycle limit, then make the one reported read. A chip that answers
    // the probe is out of its write cycle, so a read that fails then is a
    // fault of its own: retrying it would pile up tracked errors, declare the
    // chip dead and so silence the report of its cause. Only two tracked
    // reads are made. A device that is not operational gets no transfer.
    Timer.Restart();
    if (!Chip.ReadRegs16(PromStartAddr, pImage, PromSizeBytes, false))
    {
        return false;
    }
    while (Chip.DeviceIsOk() && !Timer.HasTimedOut())
    {
        usleep(PollPauseUs);
        uint8_t Probe = 0;
        if (!Chip.Read(&Probe, 1, false))
        {
            break;
        }
    }
    return PromChipRead(Chip, pImage);
}

bool PromChipSend(cI2cDevice& Chip, uint16_t Address, const uint8_t* pData, uint16_t Bytes)
{
    // Within one page: the chip would wrap to the page's start otherwise.
    assert(Bytes <= PromPageSizeBytes && Address % PromPageSizeBytes + Bytes <= PromPageSizeBytes);
    // Address bytes (high first) and the data in one message.
    uint8_t Message[2 + PromPageSizeBytes];
    Message[0] = static_cast<uint8_t>(Address >> 8);
    Message[1] = static_cast<uint8_t>(Address & 0xFF);
    memcpy(&Message[2], pData, Bytes);
    return Chip.Write(Message, static_cast<uint16_t>(2 + Bytes), true);
}

bool PromChipWaitReady(cI2cDevice& Chip, cTimer& Timer)
{
    uint8_t PollBuf[2] = {static_cast<uint8_t>(PollAddress >> 8), static_cast<uint8_t>(PollAddress & 0xFF)};
    Timer.Restart();
    // The chip ignores its address until the write cycle ends. Only the time
    // limit ends the loop: a dead device fails every poll at once, so a
    // count limit would give up in microseconds instead of 20 ms. The clock
    // is read before each poll, so the poll that follows a pause is always
    // made: a pause that overran the limit on a busy machine cannot turn a
    // chip that finished meanwhile into a time-out.
    while (true)
    {
        bool TimedOut = Timer.HasTimedOut();
        if (!Chip.Write(PollBuf, sizeof(PollBuf), false))
        {
            return false;
        }
        if (TimedOut)
        {
            return true;
        }
        usleep(PollPauseUs);
    }
}
