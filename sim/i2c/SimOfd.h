// SimOfd: the open file descriptions of the emulated /dev/i2c-N and this
// process's table of the descriptors that refer to them.
//
// An emulated open hands out an O_PATH descriptor of a private memfd that
// holds what i2c-dev keeps per open file description, so dup'd and
// inherited descriptors share it as they would in the kernel. The table
// (at most 64 descriptors) is checked against the descriptor's inode on
// every use, since the number may be closed and reused behind the
// simulation's back. Descriptors a process inherited, or made with dup, are
// taken into the table when a C library call on them fails with EBADF, as
// every call on an O_PATH descriptor does (SimOfdAdopt).
#ifndef SIM_I2C_SIMOFD_H
#define SIM_I2C_SIMOFD_H

#include <cstdint>

namespace unitsim
{
// sSimOfd::AccessMode of a descriptor opened with O_PATH.
const int SimAccessPathOnly = -1;

// What i2c-dev keeps per open file description; lives in the memfd.
struct sSimOfd
{
    char Magic[16];
    uint64_t SessionId;     // the session that opened it
    uint32_t Bus;
    int32_t AccessMode;     // O_RDONLY, O_WRONLY, O_RDWR or SimAccessPathOnly
    uint32_t Address;       // selected with I2C_SLAVE; 0 after open
    uint32_t ClientFlags;   // I2C_M_TEN and the PEC flag, as i2c-core keeps them
};

// Opens a new open file description of Bus with the open flags Flags and
// takes its descriptor into the table. Returns the descriptor, or -1 with
// errno set (EMFILE when the table is full).
int SimOfdOpen(unsigned Bus, int Flags);

// The open file description behind Fd when Fd is an emulated descriptor of
// the running session, else null. errno is left as it was.
sSimOfd* SimOfdLookup(int Fd);

// Forgets Fd before it is closed.
void SimOfdClose(int Fd);

// Checks whether Fd, which the C library just refused with EBADF, is an
// emulated descriptor of the running session (inherited or dup'd) and if so
// takes it into the table. errno is left as it was.
bool SimOfdAdopt(int Fd);

// Forgets every descriptor; they stop being emulated (calls on them then
// fail with EBADF).
void SimOfdForgetAll();
}

#endif
