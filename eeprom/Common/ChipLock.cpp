// ChipLock: the POSIX write lock on the identity chip's bus device.
#include "ChipLock.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "PromContract.h"

namespace
{
const char* const ManagerProgram = "eeprom-manager";

// The last path element of the NUL-terminated text at pText.
const char* BaseName(const char* pText)
{
    const char* pSlash = strrchr(pText, '/');
    return pSlash != nullptr ? pSlash + 1 : pText;
}

// The program a process runs, from its command line: the base name of its
// first argument, or of the second when the first is a user-mode emulator
// (qemu-arm-static PROGRAM, as an armhf build runs on a PC). Empty when the
// process cannot be looked at.
void ProgramOf(pid_t Pid, char* pProgram, size_t Size)
{
    pProgram[0] = '\0';
    char Path[40];
    snprintf(Path, sizeof(Path), "/proc/%d/cmdline", static_cast<int>(Pid));
    FILE* pFile = fopen(Path, "re");
    if (pFile == nullptr)
    {
        return;
    }
    char Line[512];
    size_t Length = fread(Line, 1, sizeof(Line) - 1, pFile);
    fclose(pFile);
    Line[Length] = '\0';
    const char* pArgument = Line;
    size_t First = strlen(Line);
    if (0 == strncmp(BaseName(Line), "qemu-", 5) && First + 1 < Length)
    {
        pArgument = Line + First + 1;
    }
    const char* pName = BaseName(pArgument);
    size_t Copied = strnlen(pName, Size - 1);
    memcpy(pProgram, pName, Copied);
    pProgram[Copied] = '\0';
}

// Asks who holds a lock on Fd that would conflict with a write lock.
eChipLock Ask(int Fd, ChipHolder_s* pHolder)
{
    struct flock Lock = {};
    Lock.l_type = F_WRLCK;
    Lock.l_whence = SEEK_SET;
    if (0 != fcntl(Fd, F_GETLK, &Lock))
    {
        return CHIP_LOCK_FAILED;
    }
    if (F_UNLCK == Lock.l_type)
    {
        return CHIP_LOCK_FREE;
    }
    pHolder->Pid = Lock.l_pid > 0 ? Lock.l_pid : ChipHolderPidUnknown;
    pHolder->Program[0] = '\0';
    if (Lock.l_pid > 0)
    {
        ProgramOf(Lock.l_pid, pHolder->Program, sizeof(pHolder->Program));
    }
    return CHIP_LOCK_HELD;
}
}

eChipLock ChipLockTake(ChipHolder_s* pHolder)
{
    // Never closed: closing it would drop the lock.
    int Fd = open(PromBusPath, O_RDWR | O_CLOEXEC);
    if (Fd < 0)
    {
        return CHIP_LOCK_NO_BUS;
    }
    // A holder that exits between our attempt and our question leaves no
    // lock to name: try again, a few times (each round, another process
    // acted).
    for (int Attempt = 0; Attempt < 8; Attempt++)
    {
        struct flock Lock = {};
        Lock.l_type = F_WRLCK;
        Lock.l_whence = SEEK_SET;
        if (0 == fcntl(Fd, F_SETLK, &Lock))
        {
            return CHIP_LOCK_TAKEN;
        }
        if (EACCES != errno && EAGAIN != errno)
        {
            break;
        }
        eChipLock Result = Ask(Fd, pHolder);
        if (CHIP_LOCK_FREE != Result)
        {
            int Error = errno;
            close(Fd);
            errno = Error;
            return Result;
        }
    }
    int Error = errno;
    close(Fd);
    errno = Error;
    return CHIP_LOCK_FAILED;
}

eChipLock ChipLockHolder(ChipHolder_s* pHolder)
{
    int Fd = open(PromBusPath, O_RDONLY | O_CLOEXEC);
    if (Fd < 0)
    {
        return CHIP_LOCK_NO_BUS;
    }
    eChipLock Result = Ask(Fd, pHolder);
    int Error = errno;
    close(Fd);
    errno = Error;
    return Result;
}

bool ChipHolderIsManager(const ChipHolder_s& Holder)
{
    return 0 == strcmp(Holder.Program, ManagerProgram);
}

const char* ChipHolderText(const ChipHolder_s& Holder, char* pText, size_t Size)
{
    if (ChipHolderPidUnknown == Holder.Pid)
    {
        snprintf(pText, Size, "a process (pid unknown: it runs in a PID namespace not visible from here)");
    }
    else if (Holder.Program[0] == '\0')
    {
        snprintf(pText, Size, "a process (pid %d)", static_cast<int>(Holder.Pid));
    }
    else
    {
        snprintf(pText, Size, "%s (pid %d)", Holder.Program, static_cast<int>(Holder.Pid));
    }
    return pText;
}
