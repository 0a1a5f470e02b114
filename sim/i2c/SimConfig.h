// SimConfig: the unit description, checked whole, and its "i2c" section.
//
//   "i2c": {
//     "log": "transfers.log",                  optional, relative to the description
//     "buses": {
//       "1": [ { "model": "24c32", "address": "0x50", "image": "chip.bin",
//                "write_cycle_ms": 5,
//                "faults": { "no_ack": false, "slave_busy": false, "read_fail": false,
//                            "long_read_fail": false, "power_cut_after_page": 3, "torn_page_bytes": 8,
//                            "nack_transfer": 7, "busy_at_start_ms": 4 } } ],
//       "2": []
//     }
//   }
//
// The other members ("eth0", "zel_sysapp") are checked too, and kept by
// unitsim-run, which sets them up. Checking is strict: an unknown key, a
// wrong type or a value out of range rejects the whole description with one
// line on standard error naming the description file, the line and the
// member; what it quotes from the description is escaped. JSON is parsed with jansson, loaded at run time so that programs
// that never open a bus never load it.
#ifndef SIM_I2C_SIMCONFIG_H
#define SIM_I2C_SIMCONFIG_H

#include <climits>
#include <cstddef>
#include <cstdint>

namespace unitsim
{
const unsigned MaxSimDevices = 32;
const unsigned MaxSimBuses = 32;
const unsigned MaxSimBusNumber = 1023;

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
    uint32_t NackTransfer;      // 1-based transfer to the device that is not acknowledged; 0: none
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

// Reads and checks the unit description at pPath, and keeps its "i2c"
// section in *pConfig. A description without one gives HasI2c false.
// Returns true on failure (unreadable file, bad JSON, a malformed member),
// after one line on standard error: "FILE:LINE: MEMBER: problem".
bool SimConfigLoad(const char* pPath, sSimConfig* pConfig);

// pText for a message: control bytes, DEL, C1 controls and bytes that are
// not UTF-8 as \xNN, the rest as it is. pOut (Size bytes) gets as much as
// fits, NUL-terminated.
void SimConfigEscape(const char* pText, char* pOut, size_t Size);

// The line of the description at pPath on which the member
// pKey[Index].pMember starts (as zel_sysapp[2].source), for messages about
// it; 0 when the description cannot be read.
int SimConfigLineOf(const char* pPath, const char* pKey, unsigned Index, const char* pMember);

// A number that changes when anything the session state depends on changes
// (buses, devices, their models and order).
uint64_t SimConfigLayoutHash(const sSimConfig* pConfig);
}

#endif
