// SimConfigI2c: the "i2c" section of a unit description as the simulation
// keeps it once checked (SimConfig.h reads it), and the hash of the layout
// it gives the session state.
#ifndef SIM_I2C_SIMCONFIGI2C_H
#define SIM_I2C_SIMCONFIGI2C_H

#include <climits>
#include <cstdint>

namespace unitsim
{
const unsigned MaxSimDevices = 32;
const unsigned MaxSimBuses = 32;
const unsigned MaxSimBusNumber = 1023;
// Transfers one device may miss ("nack_transfer" as a list).
const unsigned MaxSimNacks = 8;

enum eSimModel
{
    SIM_MODEL_24C32 = 0,
};

struct sSimFaults
{
    bool NoAck;                 // nothing is acknowledged
    bool SlaveBusy;             // I2C_SLAVE on the address fails with EBUSY
    bool ReadFail;              // read messages are not acknowledged
    bool LongReadFail;          // reads of more than one byte are refused (EOPNOTSUPP)
    int64_t PowerCutAfterPage;  // data writes stored before the power cut; -1: never
    uint32_t TornPageBytes;     // bytes the write at the cut still stores (a torn page); 0: none
    uint32_t NackTransfers[MaxSimNacks];   // 1-based transfers to the device that are not acknowledged
    uint32_t NumNacks;
    int64_t BusyAtStartNs;      // write cycle begun by the session's first transfer to it; 0: none
};

struct sSimDeviceConfig
{
    unsigned Bus;               // bus number
    unsigned Address;           // 7-bit address
    eSimModel Model;
    int64_t WriteCycleNs;       // length of the write cycle
    bool HasImage;              // content in ImagePath, else in the session state
    char ImagePath[PATH_MAX];   // absolute or relative to the working directory
    sSimFaults Faults;
};

struct sSimConfig
{
    bool HasI2c;                // the description has an "i2c" section
    unsigned NumBuses;
    unsigned Buses[MaxSimBuses];    // bus numbers present
    unsigned NumDevices;
    sSimDeviceConfig Devices[MaxSimDevices];
    bool HasLog;
    char LogPath[PATH_MAX];
};

// A number that changes when anything the session state depends on changes
// (buses, devices, their models and order).
uint64_t SimConfigLayoutHash(const sSimConfig* pConfig);
}

#endif
