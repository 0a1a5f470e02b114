// SimShared: the memory the processes of a session share: the session state
// (each device's volatile chip state and counters, the content of devices
// without an image file) in a file locked around each step, and the chips'
// image files.
//
// The processes of one session may be built for different architectures
// (an x86-64 tool beside an armhf service under an emulator), so the state
// has fixed-width fields at naturally aligned offsets only, and the lock is
// an open-file-description lock, which both understand and which the kernel
// drops when a process dies holding it.
#ifndef SIM_I2C_SIMSHARED_H
#define SIM_I2C_SIMSHARED_H

#include <cstdint>
#include <fcntl.h>

#include "Chip24c32.h"
#include "SimConfigI2c.h"

namespace unitsim
{
// What the processes of a session share of one device.
struct sSimSharedDevice
{
    sChip24c32State Chip;       // the chip's volatile state
    uint32_t StoredWrites;      // data writes stored this session (power cut)
    uint32_t Transfers;         // transfers addressed to the device this session
};

// Everything the processes of a session share, guarded by the state's lock.
// Content is used by devices without an image file.
struct sSimSharedState
{
    uint64_t Magic;
    uint32_t Version;
    uint32_t Size;                  // sizeof(sSimSharedState) of the writer
    uint64_t SessionId;
    uint64_t LayoutHash;            // SimConfigLayoutHash of the description
    uint64_t TransferCount;         // transfers of the session so far
    sSimSharedDevice Devices[MaxSimDevices];
    uint8_t Content[MaxSimDevices][Chip24c32SizeBytes];
};
static_assert(sizeof(sChip24c32State) == 16 && sizeof(sSimSharedDevice) == 24, "same layout on every architecture");
static_assert(sizeof(sSimSharedState) == 40 + MaxSimDevices * (24 + Chip24c32SizeBytes), "same layout everywhere");

// CLOCK_MONOTONIC in nanoseconds: the clock of the times the state keeps
// (the end of a write cycle), the same in every process of the session.
int64_t SimNowNs();

// Maps the session state file of directory pDir, creating it when absent
// (or always when Fresh); with pDir null or empty, a state of this process
// and its children alone, in a file without a name so that it can be locked
// like the shared one. A state laid out for another LayoutHash is reset to
// power-on. Returns null on failure (reported for a file in pDir).
sSimSharedState* SimSharedOpen(const char* pDir, bool Fresh, uint64_t LayoutHash);

// Unmaps the state and closes its file; also after a failed SimSharedOpen,
// and when nothing is open.
void SimSharedClose();

// Takes the state's lock (aborts when it cannot); only while it is open.
void SimSharedLock();
// Releases the lock SimSharedLock took.
void SimSharedUnlock();

// POSIX record locks on the emulated /dev/i2c-N (fcntl F_SETLK, F_SETLKW,
// F_GETLK): each bus is one device file, and its lock is one byte of the
// state file (after the byte the state's own lock takes), so the processes
// of a session see each other's locks, F_GETLK names the holder's pid, and
// the kernel drops a lock when its holder dies. Command is F_SETLK64,
// F_SETLKW64 or F_GETLK64; only pLock->l_type is read, and a lock always
// covers the whole device. Returns 0, or -1 with errno set.
int SimSharedBusLock(unsigned Bus, int Command, struct flock64* pLock);
// Drops this process's lock on bus Bus, as closing any descriptor of a
// device file drops the closing process's locks on it.
void SimSharedBusUnlock(unsigned Bus);

// Maps a device's image file, creating a blank one (all 0xFF) when absent.
// Returns null after a report when it cannot, or when the file is not the
// size of a 24c32 image.
uint8_t* SimSharedMapImage(const char* pPath);

// Unmaps an image SimSharedMapImage mapped.
void SimSharedUnmapImage(uint8_t* pImage);
}

#endif
