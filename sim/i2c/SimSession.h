// SimSession: the running session of the simulated I2C buses in this
// process: its status, the description's "i2c" section, each device's
// volatile chip state and content, the transfer log.
//
// A session is one run of unitsim-run (or one unitsim_i2c_load in a test
// binary). The description is parsed once per process, on first use. The
// volatile state that real hardware would keep in the chips (address
// counters, write cycles) and the session's counters (transfer numbers,
// fault counts) live in a file in UNITSIM_STATE_DIR that every process of
// the session maps, guarded by a lock on that file; without that variable
// they live in memory shared only with forked children (SimShared.cpp).
// Chip content lives in mapped image files, so it outlasts the session like
// a non-volatile part. The transfer engine that works on all this is
// SimBus.cpp.
#ifndef SIM_I2C_SIMSESSION_H
#define SIM_I2C_SIMSESSION_H

#include <cstdint>

#include "SimConfigI2c.h"
#include "SimShared.h"

namespace unitsim
{
enum eSimStatus
{
    SIM_OFF,        // no description or no "i2c" section: nothing is emulated
    SIM_ON,         // buses are emulated
    SIM_BROKEN,     // the section is malformed (reported): bus opens fail
};

// The session's status, loading the description named by UNITSIM_UNIT on
// the first call of the process.
eSimStatus SimSessionStatus();

// Drops the process's session (descriptors opened before are no longer
// emulated) and starts a new one from the description at pUnitPath, or
// UNITSIM_UNIT when null, with fresh session state. Returns true on failure.
bool SimSessionReload(const char* pUnitPath);

// Identity of the running session; descriptors remember it.
uint64_t SimSessionId();

// The description of the running session (empty when none was loaded).
const sSimConfig* SimSessionConfig();

// Takes the session state's lock for one transfer and returns the
// transfer's number, from 1, counted across all processes of the session.
// The session must be SIM_ON.
uint64_t SimSessionBegin();
// Releases the lock SimSessionBegin took.
void SimSessionEnd();

// The shared state of device Index of the configuration; only between
// SimSessionBegin and SimSessionEnd.
sSimSharedDevice* SimSessionDevice(unsigned Index);
// The content of device Index: its mapped image, or the session's memory.
uint8_t* SimSessionMemory(unsigned Index);

// The descriptor of the transfer log, -1 when there is none.
int SimSessionLogFd();
}

#endif
