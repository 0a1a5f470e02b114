// InstanceLock: the EEPROM manager's single-instance lock.
//
// The endpoint directory may be writable by others (mode 1777 on older
// units), so anything may wait at the lock path: a symbolic or hard link to
// another file (opening it for writing would truncate that file), a FIFO
// (an open that waits for a writer), a file of another user's (who could
// then hold a read lock on it and pass for a running manager). The lock is
// therefore opened without following links and without blocking, and only a
// regular file of ours with one link counts; anything else is removed and a
// fresh file made in its place, or the lock is not taken. The file is kept
// at mode 0600 so that no one else can open it to lock it.
#include "InstanceLock.h"

#include "PromContract.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

const char* const InstanceLockPath = PromLockPath;

namespace
{
// Attempts at taking the lock while the path keeps changing under us: a
// holder that exits between the attempt and the question who holds it, or
// an impostor put back after we removed one. Each round means another
// process acted, so a few suffice.
const int MaxTakeAttempts = 8;
const mode_t LockMode = 0600;
// A link at the path is never followed; a FIFO there never blocks the open.
const int SafeOpenFlags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
// Returned by the helpers when the path changed meanwhile: try again.
const int Retry = -2;

// Why the last call returned -1, for InstanceLockFailure.
char Failure[200];

// What was found at the path, for messages: " is a FIFO," and the like.
void DescribeFound(const struct stat& Found, char* pText, size_t Size)
{
    if (S_ISLNK(Found.st_mode))
    {
        snprintf(pText, Size, " is a symbolic link,");
    }
    else if (!S_ISREG(Found.st_mode))
    {
        snprintf(pText, Size, " is %s,", S_ISFIFO(Found.st_mode)  ? "a FIFO"
                                         : S_ISDIR(Found.st_mode) ? "a directory"
                                                                  : "not a regular file");
    }
    else if (1 != Found.st_nlink)
    {
        snprintf(pText, Size, " is a file with %lu links,", static_cast<unsigned long>(Found.st_nlink));
    }
    else
    {
        snprintf(pText, Size, " is a file of uid %u,", static_cast<unsigned>(Found.st_uid));
    }
}

// Records why the lock fails: what was found at the path (pFound, may be
// null) and the step that failed, with errno's text when WithErrno. Returns
// -1 and leaves errno as it was.
int Fail(const struct stat* pFound, const char* pStep, bool WithErrno = true)
{
    int Error = errno;
    char Found[64] = "";
    if (pFound != nullptr)
    {
        DescribeFound(*pFound, Found, sizeof(Found));
    }
    snprintf(Failure, sizeof(Failure), "%s%s %s%s%s", InstanceLockPath, Found, pStep, WithErrno ? ": " : "",
             WithErrno ? strerror(Error) : "");
    errno = Error;
    return -1;
}

// A lock file a manager of ours can have made: a regular file with one link,
// owned by this process's user or by root (only root makes root's files; a
// link to one of them has two links).
bool Ours(const struct stat& Found)
{
    return S_ISREG(Found.st_mode) && 1 == Found.st_nlink && (geteuid() == Found.st_uid || 0 == Found.st_uid);
}

// Removes what was found at the path (*pFound, from lstat or fstat) and
// creates a fresh lock file in its place. Returns its descriptor (*pFound
// then describes it), Retry when the path changed meanwhile (another
// instance replaced it first, or someone put a new file there), -1 on
// failure.
int Replace(struct stat* pFound)
{
    struct stat Now;
    if (0 != lstat(InstanceLockPath, &Now))
    {
        return ENOENT == errno ? Retry : Fail(pFound, "which cannot be examined");
    }
    // Only what was examined: the file there now may be a manager's.
    if (Now.st_dev != pFound->st_dev || Now.st_ino != pFound->st_ino)
    {
        return Retry;
    }
    if (0 != unlink(InstanceLockPath) && ENOENT != errno)
    {
        return Fail(pFound, "which cannot be removed");
    }
    int Fd = open(InstanceLockPath, O_RDWR | O_CREAT | O_EXCL | SafeOpenFlags, LockMode);
    if (Fd < 0)
    {
        return EEXIST == errno ? Retry : Fail(nullptr, "cannot be created");
    }
    if (0 != fstat(Fd, pFound))
    {
        Fail(nullptr, "cannot be examined");
        close(Fd);
        return -1;
    }
    return Fd;
}

// Opens the lock file for writing, creating it when absent, or replaces
// what is there when it is not ours. Returns the descriptor (*pFound
// describes its file), Retry, or -1 on failure (errno ENOENT: no endpoint
// directory).
int OpenOurs(struct stat* pFound)
{
    int Fd = open(InstanceLockPath, O_RDWR | O_CREAT | SafeOpenFlags, LockMode);
    if (Fd < 0)
    {
        int OpenError = errno;
        if (ENOENT == OpenError)
        {
            return Fail(nullptr, "cannot be created");
        }
        // A link, a directory, a socket, another user's file: see what it is.
        // When nothing is there, or it is a lock file of ours, the open's
        // own error is the cause (a directory we may not write in, say).
        bool Seen = 0 == lstat(InstanceLockPath, pFound);
        if (!Seen || Ours(*pFound))
        {
            errno = OpenError;
            return Fail(nullptr, Seen ? "cannot be opened" : "cannot be created");
        }
        return Replace(pFound);
    }
    // The open descriptor, not the path: what we judge is what we hold.
    if (0 != fstat(Fd, pFound))
    {
        Fail(nullptr, "cannot be examined");
        close(Fd);
        return -1;
    }
    if (!Ours(*pFound))
    {
        close(Fd);
        return Replace(pFound);
    }
    if (0 != (pFound->st_mode & 077))
    {
        // Made 0644 by an older version: no one else may open it to lock it.
        // Root's file is not ours to change when we are not root.
        (void)fchmod(Fd, LockMode);
    }
    return Fd;
}

// Asks who holds a lock on Fd that conflicts with a write lock. Returns
// true when the question fails.
bool Query(int Fd, struct flock* pLock)
{
    *pLock = {};
    pLock->l_type = F_WRLCK;
    pLock->l_whence = SEEK_SET;
    return 0 != fcntl(Fd, F_GETLK, pLock);
}

// The pid of a lock's holder: InstanceLockPidUnknown when it holds it from
// a PID namespace we cannot see (the kernel then reports pid 0).
pid_t PidOf(const struct flock& Lock)
{
    return Lock.l_pid > 0 ? Lock.l_pid : InstanceLockPidUnknown;
}
// After Fd's file was locked: keeps the lock when the path still names that
// file (another instance may have replaced it between our open and the
// lock), writing our pid into it. Returns true when kept.
bool KeepIfStillAtPath(int Fd, const struct stat& Found)
{
    struct stat Now;
    if (0 != lstat(InstanceLockPath, &Now) || Now.st_dev != Found.st_dev || Now.st_ino != Found.st_ino)
    {
        return false;
    }
    // Held for the life of the process: the descriptor is never closed,
    // since closing any descriptor of the file would drop a POSIX lock. The
    // pid text is a courtesy to people.
    char Text[24];
    int Length = snprintf(Text, sizeof(Text), "%d\n", static_cast<int>(getpid()));
    if (0 == ftruncate(Fd, 0))
    {
        ssize_t Written = write(Fd, Text, static_cast<size_t>(Length));
        (void)Written;
    }
    return true;
}
}

pid_t InstanceLockTake()
{
    struct stat Found;
    int Fd = Retry;
    for (int Attempt = 0; Attempt < MaxTakeAttempts; Attempt++)
    {
        if (Fd < 0)
        {
            Fd = OpenOurs(&Found);
        }
        if (Retry == Fd)
        {
            continue;
        }
        if (Fd < 0)
        {
            return -1;
        }
        struct flock Lock = {};
        Lock.l_type = F_WRLCK;
        Lock.l_whence = SEEK_SET;
        if (0 == fcntl(Fd, F_SETLK, &Lock))
        {
            if (KeepIfStillAtPath(Fd, Found))
            {
                return 0;
            }
            close(Fd);
            Fd = Retry;
            continue;
        }
        if (EACCES != errno && EAGAIN != errno)
        {
            Fail(nullptr, "cannot be locked");
            close(Fd);
            return -1;
        }
        struct flock Holder;
        if (Query(Fd, &Holder))
        {
            Fail(nullptr, "cannot be asked who holds it");
            close(Fd);
            return -1;
        }
        if (F_WRLCK == Holder.l_type)
        {
            close(Fd);
            return PidOf(Holder);
        }
        if (F_RDLCK == Holder.l_type)
        {
            // A manager holds a write lock; a read lock is someone who opened
            // the file while others could. Their lock stays on the old file.
            int Old = Fd;
            Fd = Replace(&Found);
            close(Old);
            if (-1 == Fd)
            {
                return -1;
            }
        }
        // Unlocked now: the holder exited meanwhile; try again.
    }
    if (Fd >= 0)
    {
        close(Fd);
    }
    errno = EAGAIN;
    return Fail(nullptr, "changed at every attempt to take it", false);
}

pid_t InstanceLockHolder()
{
    int Fd = open(InstanceLockPath, O_RDONLY | SafeOpenFlags);
    struct stat Found;
    if (Fd < 0)
    {
        if (ENOENT == errno)
        {
            return 0;
        }
        return ELOOP == errno && 0 == lstat(InstanceLockPath, &Found) ? Fail(&Found, "not a lock file", false)
                                                                      : Fail(nullptr, "cannot be opened");
    }
    // Closing drops this process's own locks on the file, and it has none.
    struct flock Holder;
    pid_t Result = 0 != fstat(Fd, &Found) ? Fail(nullptr, "cannot be examined")
                   : !Ours(Found)         ? Fail(&Found, "not a lock file", false)
                   : Query(Fd, &Holder)   ? Fail(nullptr, "cannot be asked who holds it")
                   // Only a manager holds a write lock; a read lock is not one.
                   : F_WRLCK == Holder.l_type ? PidOf(Holder)
                                              : 0;
    close(Fd);
    return Result;
}

const char* InstanceLockFailure()
{
    return Failure;
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
