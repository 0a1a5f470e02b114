// SimSession: the state of the running session of the simulated buses, as
// the transfer engine (SimBus.cpp) sees it: the description's "i2c"
// section, each device's volatile chip state and content, the transfer
// log. Private to the simulation; the session's public calls are in
// SimBus.h.
#ifndef SIM_I2C_SIMSESSION_H
#define SIM_I2C_SIMSESSION_H

#include <cstdint>

#include "Chip24c32.h"
#include "SimConfig.h"

namespace unitsim
{
// What the processes of a session share of one device. Fixed-width fields:
// the same layout on every architecture the simulation is built for.
struct sSimSharedDevice
{
    sChip24c32State Chip;       // the chip's volatile state
    uint32_t StoredWrites;      // data writes stored this session (power cut)
    uint32_t Transfers;         // transfers addressed to the device this session
};

// CLOCK_MONOTONIC in nanoseconds.
int64_t SimNowNs();

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
