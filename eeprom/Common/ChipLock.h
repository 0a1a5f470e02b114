// ChipLock: one writer per identity chip.
//
// Whatever may write the identity chip (the EEPROM manager, for its whole
// life; promtool chip write, while it writes) holds a POSIX write lock on
// the chip's bus device, /dev/i2c-1. Every writer opens that device anyway,
// and only who may open it can lock it (root, on a unit): the lock rests on
// no name in a directory that others may write, so nobody short of the
// chip's own users can fake it, take it first or remove it, and taking it
// can only fail because someone holds it. The kernel drops the lock when its
// holder exits in any way (SIGKILL and power loss included), so it never
// goes stale, and F_GETLK names the holder's pid.
//
// A POSIX lock belongs to the process and the file: closing any descriptor
// of the bus device in the holding process drops it. The lock therefore
// keeps a descriptor of its own open until the process ends, and a holder
// closes no other descriptor of the device while it writes (promtool opens
// the bus, which closes a probe descriptor, before it takes the lock).
#ifndef EEPROM_COMMON_CHIPLOCK_H
#define EEPROM_COMMON_CHIPLOCK_H

#include <cstddef>
#include <sys/types.h>

// Who holds the lock.
struct ChipHolder_s
{
    // The holder's pid; ChipHolderPidUnknown when it holds the lock from a
    // PID namespace that cannot be seen from here (the kernel then reports
    // pid 0 for a lock that is nevertheless held).
    pid_t Pid;
    // Its program's name ("eeprom-manager", "promtool"); empty when the
    // process cannot be looked at (another user's, under hidepid).
    char Program[32];
};

// Above every pid Linux hands out.
const pid_t ChipHolderPidUnknown = 0x7FFFFFFF;

enum eChipLock
{
    CHIP_LOCK_TAKEN = 0,    // ChipLockTake: this process holds it now
    CHIP_LOCK_FREE = 0,     // ChipLockHolder: nobody holds it
    CHIP_LOCK_HELD,         // another process holds it (*pHolder)
    CHIP_LOCK_NO_BUS,       // the bus device cannot be opened (errno; ENOENT: no bus)
    CHIP_LOCK_FAILED,       // the lock could not be set or asked (errno)
};

// Takes the lock for this process until it exits. Never blocks.
eChipLock ChipLockTake(ChipHolder_s* pHolder);

// Asks who holds the lock, taking nothing; never blocks. Not for a process
// that holds it (its own query's close would drop it).
eChipLock ChipLockHolder(ChipHolder_s* pHolder);

// True when the holder is an EEPROM manager.
bool ChipHolderIsManager(const ChipHolder_s& Holder);

// Names the holder for messages, into pText (Size bytes): "promtool (pid
// 123)", "a process (pid 123)" when its program cannot be seen, or "a
// process (pid unknown: it runs in a PID namespace not visible from here)".
// Returns pText.
const char* ChipHolderText(const ChipHolder_s& Holder, char* pText, size_t Size);

#endif
