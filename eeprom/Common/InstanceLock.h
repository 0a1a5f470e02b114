// InstanceLock: one EEPROM manager per unit.
//
// Two managers on one unit would each bind the unit's endpoints (the second
// bind replaces the ipc socket files, so the first becomes unreachable while
// it still heart-beats) and both would own the chip. The manager therefore
// holds a write lock on a file in the unit's endpoint directory for its whole
// life. The lock is a POSIX record lock: the kernel releases it when the
// holder exits in any way (SIGKILL included), so it can never go stale, and
// F_GETLK names the holder's pid. A unit's endpoint directory is its own, so
// units side by side (simulated ones) each have their own lock.
//
// Without the endpoint directory there is nothing to guard: no endpoint can
// be bound there, by this instance or another.
#ifndef EEPROM_COMMON_INSTANCELOCK_H
#define EEPROM_COMMON_INSTANCELOCK_H

#include <cstddef>
#include <sys/types.h>

// The lock file; it also holds the holder's pid as text, for people.
extern const char* const InstanceLockPath;

// What stands for the holder's pid when the holder lives in a PID namespace
// the caller cannot see (a container, a unit with its own PID namespace):
// the kernel then reports pid 0 for a lock that is nevertheless held. Above
// every pid Linux hands out.
const pid_t InstanceLockPidUnknown = 0x7FFFFFFF;

// Takes the lock for this process and keeps it until the process ends.
// Returns 0 when taken, the pid of the running holder when another process
// has it (InstanceLockPidUnknown when its pid cannot be seen from here), and
// -1 when it cannot be taken (errno tells why; ENOENT: no endpoint
// directory). Decides after a few attempts: a holder that exits between the
// attempt and the question is tried again, but never without end.
pid_t InstanceLockTake();

// The pid of the process holding the lock (a running manager of this unit;
// InstanceLockPidUnknown when its pid cannot be seen from here), 0 when none
// does or there is no lock file, -1 when it cannot be asked (errno tells
// why). Takes nothing: for tools that must not work on the chip while a
// manager owns it.
pid_t InstanceLockHolder();

// Writes "pid N", or "pid unknown: ..." for InstanceLockPidUnknown, into
// pText (Size bytes) for messages naming a holder. Returns pText.
const char* InstanceLockDescribe(pid_t Holder, char* pText, size_t Size);

#endif
