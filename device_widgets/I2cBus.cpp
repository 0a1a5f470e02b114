// I2cBus: opens, lends and closes the descriptors of the unit's I2C buses.
//
// The table is written only during start-up and read when devices are
// constructed, all on one thread, so it needs no locking.
#include "I2cBus.h"

#include <cassert>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

// Descriptor of each bus, or -1 while the bus is not open.
static int BusFileDescriptor[NUM_I2C_BUSSES] = {-1, -1, -1};

void InitI2cBus(eBusNames BusName)
{
    // The table has one entry per bus; any other number is a caller's bug.
    assert(NUM_I2C_BUSSES > BusName);
    // Room for "/dev/i2c-" and any bus number, terminator included.
    char DevicePath[20] = {};
    snprintf(DevicePath, sizeof(DevicePath) - 1, I2cBusPathFormat, static_cast<int>(BusName));

    int Result = open(DevicePath, O_RDWR);
    if (0 <= Result)
    {
        BusFileDescriptor[BusName] = Result;
    }
    else
    {
        printf("I2C Error : ");
        printf("Unable to open bus %d.  Result: %d\n", static_cast<int>(BusName), Result);
        fflush(stdout);
    }
}

void InitI2cBusses()
{
    InitI2cBus(I2C_BUS_0);
    InitI2cBus(I2C_BUS_1);
    InitI2cBus(I2C_BUS_2);
}

int GetBusFd(eBusNames BusName)
{
    assert(NUM_I2C_BUSSES > BusName);
    int RetVal = BusFileDescriptor[BusName];
    assert((-1) != RetVal);
    return RetVal;
}

void CloseI2cBusses()
{
    // A bus that was never opened passes -1; that close fails harmlessly.
    close(BusFileDescriptor[I2C_BUS_0]);
    close(BusFileDescriptor[I2C_BUS_1]);
    close(BusFileDescriptor[I2C_BUS_2]);
}
