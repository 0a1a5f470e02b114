// InstanceLock: the EEPROM manager's single-instance lock.
#include "InstanceLock.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

const char* const InstanceLockPath = "/run/shm/zmq/eeprom-manager.lock";

namespace
{
// Attempts at taking a lock whose holder keeps exiting between the attempt
// and the question who holds it. Each such round means a holder ended, so a
// few suffice; past them the lock counts as held by someone unknown.
const int MaxTakeAttempts = 8;

// The pid of the process holding a conflicting lock on Fd, 0 when none,
// InstanceLockPidUnknown when it is held from a PID namespace we cannot see
// (the kernel then reports pid 0), -1 when the question fails.
pid_t HolderOf(int Fd)
{
    struct flock Query = {};
    Query.l_type = F_WRLCK;
    Query.l_whence = SEEK_SET;
    if (0 != fcntl(Fd, F_GETLK, &Query))
    {
        return -1;
    }
    if (F_UNLCK == Query.l_type)
    {
        return 0;
    }
    return Query.l_pid > 0 ? Query.l_pid : InstanceLockPidUnknown;
}
}

pid_t InstanceLockTake()
{
    int Fd = open(InstanceLockPath, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (Fd < 0)
    {
        return -1;
    }
    struct flock Lock = {};
    Lock.l_type = F_WRLCK;
    Lock.l_whence = SEEK_SET;
    int Attempt = 0;
    while (0 != fcntl(Fd, F_SETLK, &Lock))
    {
        if (EACCES != errno && EAGAIN != errno)
        {
            int Error = errno;
            close(Fd);
            errno = Error;
            return -1;
        }
        // Held: name the holder. It may have exited since; then try again,
        // a bounded number of times.
        pid_t Holder = HolderOf(Fd);
        if (0 != Holder || ++Attempt >= MaxTakeAttempts)
        {
            int Error = errno;
            close(Fd);
            errno = Error;
            // Still free after every attempt: someone keeps taking it.
            return 0 == Holder ? InstanceLockPidUnknown : Holder;
        }
    }
    // Held for the life of the process: the descriptor is never closed,
    // since closing any descriptor of the file would drop a POSIX lock.
    char Text[24];
    int Length = snprintf(Text, sizeof(Text), "%d\n", static_cast<int>(getpid()));
    // The pid text is a courtesy to people; the lock is what counts.
    if (0 == ftruncate(Fd, 0))
    {
        ssize_t Written = write(Fd, Text, static_cast<size_t>(Length));
        (void)Written;
    }
    return 0;
}

pid_t InstanceLockHolder()
{
    int Fd = open(InstanceLockPath, O_RDONLY | O_CLOEXEC);
    if (Fd < 0)
    {
        return ENOENT == errno ? 0 : -1;
    }
    // Closing drops this process's own locks on the file, and it has none.
    pid_t Holder = HolderOf(Fd);
    close(Fd);
    return Holder;
}

const char* InstanceLockDescribe(pid_t Holder, char* pText, size_t Size)
{
    if (InstanceLockPidUnknown == Holder)
    {
        snprintf(pText, Size, "pid unknown: it runs in a PID namespace not visible from here");
    }
    else
    {
        snprintf(pText, Size, "pid %d", static_cast<int>(Holder));
    }
    return pText;
}
