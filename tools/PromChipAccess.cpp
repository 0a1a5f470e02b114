// PromChipAccess: the identity chip through i2c-dev, for promtool.
#include "PromChipAccess.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "Prom.h"
#include "PromChipIo.h"
#include "PromContract.h"

std::string ChipAddressText()
{
    char Text[32];
    snprintf(Text, sizeof(Text), "0x%02x on bus %u", PromI2cAddress, static_cast<unsigned>(PromI2cBus));
    return Text;
}

std::string ChipPlace()
{
    char Text[48];
    snprintf(Text, sizeof(Text), "the EEPROM at 0x%02x on I2C bus %u", PromI2cAddress,
             static_cast<unsigned>(PromI2cBus));
    return Text;
}

std::string BusPath(unsigned Bus)
{
    char Path[24];
    snprintf(Path, sizeof(Path), I2cBusPathFormat, static_cast<int>(Bus));
    return Path;
}

int cPromChip::OpenBus(eBusNames Bus)
{
    // Once: closing a descriptor of the chip's bus would drop the chip's
    // lock (ChipLock) of a process that holds it.
    static bool s_Open[NUM_I2C_BUSSES];
    if (s_Open[Bus])
    {
        return 0;
    }
    // Opened here first for the errno: the bus table keeps none, and a
    // device on a bus it could not open is a fatal assertion.
    int Fd = open(BusPath(Bus).c_str(), O_RDWR | O_CLOEXEC);
    if (Fd < 0)
    {
        return errno;
    }
    close(Fd);
    InitI2cBus(Bus);
    s_Open[Bus] = true;
    return 0;
}

cPromChip::cPromChip()
    : Chip(PromI2cAddress, PromI2cBus, "EEPROM"), WriteTimer(PromWriteTimeoutMs), SelectErrno(0)
{
    // The device keeps no errno of its failed selection; ask the bus again.
    if (!Chip.DeviceIsOk())
    {
        SelectErrno = ioctl(GetBusFd(PromI2cBus), I2C_SLAVE, PromI2cAddress) < 0 ? errno : EIO;
    }
}

int cPromChip::SelectError() const
{
    return SelectErrno;
}

bool cPromChip::Acknowledges()
{
    return !PromChipWaitReady(Chip, WriteTimer);
}

bool cPromChip::Read(uint8_t* pImage)
{
    return PromChipReadAtStart(Chip, WriteTimer, pImage);
}

bool cPromChip::WriteSpan(uint16_t Address, const uint8_t* pData, uint16_t Bytes)
{
    // A write the chip does not acknowledge starts no write cycle: the poll
    // after it would answer at once, as after a write it took.
    if (PromChipSend(Chip, Address, pData, Bytes))
    {
        return true;
    }
    if (!PromChipWaitReady(Chip, WriteTimer))
    {
        return false;
    }
    printf("%s", PromErrorTag);
    printf("Timed out while writing 0x%03x.\n", static_cast<unsigned>(Address));
    return true;
}

bool cPromChip::ReadBack(uint8_t* pData, uint16_t Bytes)
{
    // A read the chip missed says nothing of what it holds: once more.
    return !PromChipReadFirst(Chip, pData, Bytes) || !PromChipReadFirst(Chip, pData, Bytes);
}

ChipWrite_s cPromChip::Write(const uint8_t* pImage)
{
    // The chip holds one record, encrypted as one CBC chain from its first
    // byte: pages of the new image over the old one decrypt as a mixture of
    // both (the new serial number with the old name, say), and such a record
    // would be valid. So the first cipher block, which holds the serial
    // number and the MAC address, is blanked first and written last: cut
    // anywhere, the chip holds the old record, the new one, or a record whose
    // first block is (partly) blank, which matches no unit and which
    // WriteWasInterrupted recognises. That holds only if the blanking was
    // taken before the first page, and the pages before the first block:
    // each is read back before the step that relies on it.
    ChipWrite_s Outcome;
    auto Stop = [&](eChipWriteStep Step, eChipWriteFault Fault, uint16_t Address) {
        Outcome.Step = Step;
        Outcome.Fault = Fault;
        Outcome.Address = Address;
        Outcome.ReadBack = ReadBack(Outcome.ReadBackImage, PromSizeBytes);
        return Outcome;
    };
    uint8_t Expected[PromSizeBytes];
    memcpy(Expected, pImage, sizeof(Expected));
    memset(Expected, 0xFF, CipherBlockBytes);

    if (WriteSpan(0, Expected, CipherBlockBytes))
    {
        return Stop(CHIP_WRITE_BLANKING, CHIP_NOT_ACKNOWLEDGED, 0);
    }
    uint8_t First[CipherBlockBytes];
    if (!ReadBack(First, sizeof(First)))
    {
        return Stop(CHIP_WRITE_BLANKING, CHIP_NOT_READ, 0);
    }
    if (0 != memcmp(First, Expected, sizeof(First)))
    {
        return Stop(CHIP_WRITE_BLANKING, CHIP_DIFFERS, 0);
    }
    // Pages 1 to 127, then the rest of the first page (page 128 is page 0
    // past its first block): then the chip must hold the image with its
    // first block still blank.
    for (unsigned Page = 1; Page <= PromNumPages; Page++)
    {
        uint16_t Skip = Page == PromNumPages ? CipherBlockBytes : 0;
        uint16_t Address = static_cast<uint16_t>(Page % PromNumPages * PromPageSizeBytes + Skip);
        if (WriteSpan(Address, &pImage[Address], static_cast<uint16_t>(PromPageSizeBytes - Skip)))
        {
            return Stop(CHIP_WRITE_BODY, CHIP_NOT_ACKNOWLEDGED, Address);
        }
    }
    Outcome.Step = CHIP_WRITE_BODY;
    Outcome.ReadBack = ReadBack(Outcome.ReadBackImage, PromSizeBytes);
    if (!Outcome.ReadBack || 0 != memcmp(Outcome.ReadBackImage, Expected, sizeof(Expected)))
    {
        Outcome.Fault = Outcome.ReadBack ? CHIP_DIFFERS : CHIP_NOT_READ;
        return Outcome;
    }
    // The first block: the record is whole.
    if (WriteSpan(0, pImage, CipherBlockBytes))
    {
        return Stop(CHIP_WRITE_FIRST_BLOCK, CHIP_NOT_ACKNOWLEDGED, 0);
    }
    Outcome.Step = CHIP_WRITE_FIRST_BLOCK;
    Outcome.ReadBack = ReadBack(Outcome.ReadBackImage, PromSizeBytes);
    Outcome.Fault = Outcome.ReadBack ? CHIP_DIFFERS : CHIP_NOT_READ;
    if (Outcome.ReadBack && 0 == memcmp(Outcome.ReadBackImage, pImage, PromSizeBytes))
    {
        Outcome.Step = CHIP_WRITE_DONE;
    }
    return Outcome;
}
