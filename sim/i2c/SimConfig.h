// SimConfig: reads the unit description, checks it whole, and keeps its
// "i2c" section (SimConfigI2c.h).
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
// member; what it quotes from the description is escaped. JSON is parsed
// with jansson, loaded at run time so that programs that never open a bus
// never load it.
#ifndef SIM_I2C_SIMCONFIG_H
#define SIM_I2C_SIMCONFIG_H

#include "SimConfigI2c.h"

namespace unitsim
{
// Reads and checks the unit description at pPath, and keeps its "i2c"
// section in *pConfig. A description without one gives HasI2c false.
// Returns true on failure (unreadable file, bad JSON, a malformed member),
// after one line on standard error: "FILE:LINE: MEMBER: problem".
bool SimConfigLoad(const char* pPath, sSimConfig* pConfig);
}

#endif
