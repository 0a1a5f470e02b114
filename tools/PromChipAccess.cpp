// PromChipAccess: the identity chip through i2c-dev, for promtool.
#include "PromChipAccess.h"

#include <cerrno>
#include <cstdio>
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
    // Opened here first for the errno: the bus table keeps none, and a
    // device on a bus it could not open is a fatal assertion.
    int Fd = open(BusPath(Bus).c_str(), O_RDWR | O_CLOEXEC);
    if (Fd < 0)
    {
        return errno;
    }
    close(Fd);
    InitI2cBus(Bus);
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
    return PromChipPoll(Chip, WriteTimer);
}

bool cPromChip::Read(uint8_t* pImage)
{
    return PromChipReadAtStart(Chip, WriteTimer, pImage);
}

bool cPromChip::WriteSpan(uint16_t Address, const uint8_t* pData, uint16_t Bytes)
{
    PromChipSend(Chip, Address, pData, Bytes);
    if (PromChipPoll(Chip, WriteTimer))
    {
        return false;
    }
    printf("%s", PromErrorTag);
    printf("Timed out while writing 0x%03x.\n", static_cast<unsigned>(Address));
    return true;
}

bool cPromChip::Write(const uint8_t* pImage, uint8_t* pReadBack)
{
    // The chip holds one record, encrypted as one CBC chain from its first
    // byte: pages of the new image over the old one decrypt as a mixture of
    // both (the new serial number with the old name, say), and such a record
    // would be valid. So the first cipher block, which holds the serial
    // number and the MAC address, is blanked first and written last: cut
    // anywhere, the chip holds the old record, the new one, or a record whose
    // first block is (partly) blank, which matches no unit and which
    // WriteWasInterrupted recognises.
    const uint8_t Blank[CipherBlockBytes] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                             0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    WriteSpan(0, Blank, CipherBlockBytes);
    for (uint16_t Page = 1; Page < PromNumPages; Page++)
    {
        uint16_t Address = static_cast<uint16_t>(Page * PromPageSizeBytes);
        WriteSpan(Address, &pImage[Address], PromPageSizeBytes);
    }
    // The rest of the first page, then its first block: the record is whole.
    WriteSpan(CipherBlockBytes, &pImage[CipherBlockBytes], PromPageSizeBytes - CipherBlockBytes);
    WriteSpan(0, pImage, CipherBlockBytes);
    return PromChipRead(Chip, pReadBack);
}
