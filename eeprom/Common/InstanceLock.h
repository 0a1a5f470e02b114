// InstanceLock: one EEPROM manager per unit.
//
// Two managers on one unit would each bind the unit's endpoints (the second
// bind replaces the ipc socket files, so the first becomes unreachable while
// it still heart-beats) and both would own the chip. The manager therefore
// holds a write lock on a file of its own (mode 0600) in the unit's endpoint
// directory for its whole life. The lock is a POSIX record lock: the kernel
// releases it when the holder exits in any way (SIGKILL included), so it can
// never go stale, and F_GETLK names the holder's pid. A unit's endpoint directory is its own, so
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
// Returns 0 when taken, the pid of the running holder of a write lock when
// another process has it (InstanceLockPidUnknown when its pid cannot be seen
// from here), and -1 when it cannot be taken (errno ENOENT: no endpoint
// directory; otherwise InstanceLockFailure tells why). Whatever is at the
// path and is not a lock file of ours (a link, a FIFO, another user's file)
// or is only read-locked is replaced by a fresh file. Decides after a few
// attempts: a path that changes between them is tried again, but never
// without end.
pid_t InstanceLockTake();

// The pid of the process holding the write lock (a running manager of this
// unit; InstanceLockPidUnknown when its pid cannot be seen from here), 0
// when none does (a read lock is not a manager's) or there is no lock file,
// -1 when it cannot be asked or the path holds no lock file of ours
// (InstanceLockFailure tells why). Takes nothing and never blocks: for tools
// that must not work on the chip while a manager owns it.
pid_t InstanceLockHolder();

// Why the last InstanceLockTake or InstanceLockHolder that returned -1
// failed: the lock's path, what was found there and the cause, e.g.
// "/run/shm/zmq/eeprom-manager.lock is a FIFO, not a lock file".
const char* InstanceLockFailure();

// Writes "pid N", or "pid unknown: ..." for InstanceLockPidUnknown, into
// pText (Size bytes) for messages naming a holder. Returns pText.
const char* InstanceLockDescribe(pid_t Holder, char* pText, size_t Size);

#endif
