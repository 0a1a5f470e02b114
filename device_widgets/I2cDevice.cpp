// I2cDevice: transfers, register access, retries and health of one I2C slave.
//
// All transfers go through the i2c-dev I2C_RDWR request: one message for a
// plain write or read, two (write the map address, repeated start, read) for
// a register read. The request copies read data back only when the whole
// transfer succeeded, so a failed read leaves the caller's buffer untouched.
// The errno of a failed request is taken before anything is printed.
#include "I2cDevice.h"

#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>

// Tag printed before every report of this module.
static const char* const I2cErrorTag = "I2C Error : ";
// A count above this declares the device dead: the 15th consecutive error.
static const uint8_t MaxConsecutiveErrors = 14;
// Attempts of the retrying register operations, back to back, no delay.
static const int NumRegAttempts = 5;

static void PrintI2cError()
{
    fputs(I2cErrorTag, stdout);
}

// Keeps the first 15 characters of pNewName; shorter names are NUL-padded.
static void CopyDeviceName(char (&Name)[16], const char* pNewName)
{
    size_t Length = strnlen(pNewName, sizeof(Name) - 1);
    memset(Name, 0, sizeof(Name));
    memcpy(Name, pNewName, Length);
}

// Selects the slave address on the bus and sets the starting health from the
// outcome. A failure leaves the count alone: nothing reads it before
// DeviceExists() makes the device operational again and resets it.
static void SelectSlave(int BusFd, uint8_t Address, const char* pName, DeviceHealth_s& Health)
{
    int Result = ioctl(BusFd, I2C_SLAVE, Address);
    if (0 <= Result)
    {
        Health.NumConsecutiveErrors = 0;
        Health.DeviceIsOperational = true;
    }
    else
    {
        int Error = errno;
        PrintI2cError();
        printf("%s creation failed with result: %d (%s)\n", pName, Result, strerror(Error));
        Health.DeviceIsOperational = false;
    }
}

// One I2C_RDWR request. Returns true on failure with the request's errno in
// ErrorNumber.
static bool Transfer(int BusFd, struct i2c_msg* pMsgs, uint32_t NumMsgs, int& ErrorNumber)
{
    struct i2c_rdwr_ioctl_data Request = {};
    Request.msgs = pMsgs;
    Request.nmsgs = NumMsgs;
    if (ioctl(BusFd, I2C_RDWR, &Request) < 0)
    {
        ErrorNumber = errno;
        return true;
    }
    return false;
}

cI2cDevice::cI2cDevice(uint8_t NewAddress, eBusNames NewBusName, const char* NewDeviceName, bool Init)
{
    Address = NewAddress;
    assert(nullptr != NewDeviceName);
    assert(NUM_I2C_BUSSES > NewBusName);
    CopyDeviceName(Name, NewDeviceName);
    BusFd = GetBusFd(NewBusName);
    if (!Init)
    {
        // Presence unknown: nothing is sent until DeviceExists() finds it.
        DeviceHealth.DeviceIsOperational = false;
        DeviceHealth.NumConsecutiveErrors = 0;
        return;
    }
    SelectSlave(BusFd, Address, Name, DeviceHealth);
}

cI2cDevice::cI2cDevice(uint8_t NewAddress, eBusNames NewBusName, const char* NewDeviceName)
{
    Address = NewAddress;
    assert(nullptr != NewDeviceName);
    assert(NUM_I2C_BUSSES > NewBusName);
    CopyDeviceName(Name, NewDeviceName);
    BusFd = GetBusFd(NewBusName);
    SelectSlave(BusFd, Address, Name, DeviceHealth);
}

bool cI2cDevice::DeviceExists(eBusNames BusName, uint8_t I2cAddress)
{
    cI2cDevice Probe(I2cAddress, BusName, "AddressTest");
    uint8_t Byte = 0;
    // Untracked: reaches the bus even when the address selection failed.
    return !Probe.Read(&Byte, 1, false);
}

bool cI2cDevice::DeviceExists()
{
    uint8_t Byte = 0;
    if (Read(&Byte, 1, false))
    {
        return false;
    }
    DeviceHealth.DeviceIsOperational = true;
    DeviceHealth.NumConsecutiveErrors = 0;
    return true;
}

bool cI2cDevice::Write(uint8_t* pWrBuf, uint16_t NumBytes, bool PrintError)
{
    if (!DeviceHealth.DeviceIsOperational)
    {
        return true;
    }
    assert(nullptr != pWrBuf);
    if (0 == NumBytes)
    {
        return false;
    }

    struct i2c_msg Msg = {};
    Msg.addr = Address;
    Msg.flags = 0;
    Msg.len = NumBytes;
    Msg.buf = pWrBuf;
    int ErrorNumber = 0;
    bool Error = Transfer(BusFd, &Msg, 1, ErrorNumber);
    if (Error && PrintError)
    {
        PrintI2cError();
        printf("I2C Device %s Write failed with: %s\n", Name, strerror(ErrorNumber));
    }
    UpdateDeviceHealth(Error);
    return Error;
}

bool cI2cDevice::Read(uint8_t* pRdBuf, uint16_t NumBytes, bool TrackErrors)
{
    if (TrackErrors && !DeviceHealth.DeviceIsOperational)
    {
        return true;
    }
    if (0 == NumBytes)
    {
        return false;
    }
    assert(nullptr != pRdBuf);

    struct i2c_msg Msg = {};
    Msg.addr = Address;
    Msg.flags = I2C_M_RD;
    Msg.len = NumBytes;
    Msg.buf = pRdBuf;
    int ErrorNumber = 0;
    bool Error = Transfer(BusFd, &Msg, 1, ErrorNumber);
    if (TrackErrors)
    {
        if (Error)
        {
            PrintI2cError();
            printf("I2C Device %s Read failed with: %s\n", Name, strerror(ErrorNumber));
        }
        UpdateDeviceHealth(Error);
    }
    return Error;
}

bool cI2cDevice::ReadRegs16(uint16_t Map, uint8_t* pRdBuf, uint16_t NumBytes, bool PrintError)
{
    // Least significant byte first: the value's order in memory on the
    // little-endian target, which the devices read with this call expect.
    uint8_t MapBytes[2] = {static_cast<uint8_t>(Map & 0xFF), static_cast<uint8_t>(Map >> 8)};
    return ReadRegsArbMapSize(MapBytes, sizeof(MapBytes), pRdBuf, NumBytes, PrintError);
}

bool cI2cDevice::ReadRegs(uint8_t Map, uint8_t* pRdBuf, uint16_t NumBytes, bool PrintError)
{
    return ReadRegsArbMapSize(&Map, 1, pRdBuf, NumBytes, PrintError);
}

bool cI2cDevice::ReadOneReg(RwRegister_s* pReg, bool TrackErrors)
{
    if (!DeviceHealth.DeviceIsOperational)
    {
        return true;
    }
    if (0 == pReg->Mask)
    {
        pReg->Value = 0;
        return false;
    }
    uint8_t RegValue = 0;
    bool Error = ReadRegs(pReg->Map, &RegValue, 1, true);
    if (!Error)
    {
        pReg->Value = RegValue & pReg->Mask;
    }
    if (TrackErrors)
    {
        UpdateDeviceHealth(Error);
    }
    return Error;
}

bool cI2cDevice::ReadRegsWithAttempts(uint8_t Map, uint8_t* pRdBuf, uint16_t NumBytes)
{
    if (!DeviceHealth.DeviceIsOperational)
    {
        return true;
    }
    if (0 == NumBytes)
    {
        return false;
    }
    assert(nullptr != pRdBuf);

    bool Error = true;
    for (int Attempt = 0; Error && Attempt < NumRegAttempts; Attempt++)
    {
        Error = ReadRegs(Map, pRdBuf, NumBytes, false);
    }
    if (Error)
    {
        PrintI2cError();
        printf("All attempts to read %s, MAP 0x%02x failed.\n", Name, Map);
    }
    UpdateDeviceHealth(Error);
    return Error;
}

bool cI2cDevice::WriteOneReg(const RwRegister_s* pReg, bool PrintError)
{
    if (!DeviceHealth.DeviceIsOperational)
    {
        return true;
    }
    if (0 == pReg->Mask)
    {
        return false;
    }

    uint8_t FieldBits = pReg->Value & pReg->Mask;
    uint8_t WrBuf[2] = {pReg->Map, FieldBits};
    bool Error = false;
    if (0xFF == pReg->Mask)
    {
        Error = Write(WrBuf, sizeof(WrBuf), true);
    }
    else
    {
        // Read-modify-write: the register's bits outside the field stay.
        uint8_t Current = 0;
        Error = ReadRegs(pReg->Map, &Current, 1, true);
        if (!Error)
        {
            WrBuf[1] = FieldBits | (Current & static_cast<uint8_t>(~pReg->Mask));
            Error = Write(WrBuf, sizeof(WrBuf), true);
        }
    }
    if (Error && PrintError)
    {
        PrintI2cError();
        printf("Unable to write to register 0x%02x of %s.\n", pReg->Map, Name);
    }
    UpdateDeviceHealth(Error);
    return Error;
}

bool cI2cDevice::WriteReadCompare(const RwRegister_s* pReg, bool TrackErrors)
{
    if (!DeviceHealth.DeviceIsOperational)
    {
        return true;
    }
    if (0 == pReg->Mask)
    {
        return false;
    }

    uint8_t Expected = pReg->Value & pReg->Mask;
    // Without tracking a caller wants one quiet try it can judge itself.
    int NumAttempts = TrackErrors ? NumRegAttempts : 1;
    bool Error = true;
    for (int Attempt = 0; Error && Attempt < NumAttempts; Attempt++)
    {
        Error = WriteOneReg(pReg, false);
        if (!Error)
        {
            uint8_t ReadBack = 0;
            Error = ReadRegs(pReg->Map, &ReadBack, 1, true);
            // Only the field's bits are compared; others may change on their own.
            if (!Error && (ReadBack & pReg->Mask) != Expected)
            {
                Error = true;
            }
        }
    }
    if (!TrackErrors)
    {
        return Error;
    }
    if (Error)
    {
        PrintI2cError();
        printf("All attempts to write %s (WRC), Map: 0x%02x failed.\n", Name, pReg->Map);
    }
    UpdateDeviceHealth(Error);
    return Error;
}

bool cI2cDevice::WriteOneRegWithAttempts(const WoRegister_s* pReg)
{
    if (!DeviceHealth.DeviceIsOperational)
    {
        return true;
    }

    uint8_t WrBuf[2] = {pReg->Map, pReg->Value};
    bool Error = true;
    for (int Attempt = 0; Error && Attempt < NumRegAttempts; Attempt++)
    {
        Error = Write(WrBuf, sizeof(WrBuf), false);
    }
    if (Error)
    {
        PrintI2cError();
        printf("All attempts to write %s (WORWA), Map: 0x%02x failed.\n", Name, pReg->Map);
    }
    UpdateDeviceHealth(Error);
    return Error;
}

void cI2cDevice::UpdateDeviceHealth(bool Error)
{
    if (!Error)
    {
        // A success never revives a dead device; only DeviceExists() does.
        DeviceHealth.NumConsecutiveErrors = 0;
        return;
    }
    // Wraps from 255 to 0; the device then stays dead.
    DeviceHealth.NumConsecutiveErrors = static_cast<uint8_t>(DeviceHealth.NumConsecutiveErrors + 1);
    if (DeviceHealth.NumConsecutiveErrors > MaxConsecutiveErrors)
    {
        DeviceHealth.DeviceIsOperational = false;
        PrintI2cError();
        printf("%s (Addr 0x%02x) is being declared dead due to communication errors.\n", Name, Address);
    }
}

bool cI2cDevice::ReadRegsArbMapSize(uint8_t* Map, uint8_t NumBytesMap, uint8_t* pRdBuf,
                                    uint16_t NumBytesPacket, bool PrintError)
{
    assert(nullptr != pRdBuf);
    if (!DeviceHealth.DeviceIsOperational)
    {
        return true;
    }
    if (0 == NumBytesPacket)
    {
        return false;
    }

    // Map address out, repeated start, data in: one transaction.
    struct i2c_msg Msgs[2] = {};
    Msgs[0].addr = Address;
    Msgs[0].flags = 0;
    Msgs[0].len = NumBytesMap;
    Msgs[0].buf = Map;
    Msgs[1].addr = Address;
    Msgs[1].flags = I2C_M_RD;
    Msgs[1].len = NumBytesPacket;
    Msgs[1].buf = pRdBuf;
    int ErrorNumber = 0;
    bool Error = Transfer(BusFd, Msgs, 2, ErrorNumber);
    if (Error && PrintError)
    {
        PrintI2cError();
        printf("I2C Device %s read failed:\n", Name);
        PrintI2cError();
        printf(" - Error:  %s\n", strerror(ErrorNumber));
    }
    UpdateDeviceHealth(Error);
    return Error;
}
