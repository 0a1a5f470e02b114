// SimOfd: the open file descriptions of the emulated /dev/i2c-N and this
// process's fixed table of descriptors that refer to them.
//
// Hazards: a descriptor number may be closed behind the simulation's back
// (dup2 over it, close_range, a raw system call) and reused, so each use
// checks the inode; descriptors inherited across exec or made by dup are
// not in the table until a C library call on them fails with EBADF, as
// every call on an O_PATH descriptor does, and they are adopted.
#include "SimOfd.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "SimLibc.h"
#include "SimSession.h"

namespace unitsim
{
namespace
{
const char* const MemfdName = "unitsim-i2c";
const char* const MemfdLink = "/memfd:unitsim-i2c (deleted)";
const char OfdMagic[16] = "unitsim-i2c-ofd";
const unsigned MaxEntries = 64;
const size_t OfdMapBytes = 4096;

// One descriptor of this process that refers to an emulated device.
struct sEntry
{
    int Fd;
    dev_t Dev;              // identity of the memfd, to notice a reused number
    ino_t Ino;
    sSimOfd* pOfd;          // this process's mapping of the memfd
};

pthread_mutex_t s_TableLock = PTHREAD_MUTEX_INITIALIZER;
sEntry s_Entries[MaxEntries];
unsigned s_NumEntries = 0;

bool AddEntry(int Fd, const struct stat* pInfo, sSimOfd* pOfd)
{
    pthread_mutex_lock(&s_TableLock);
    bool Added = s_NumEntries < MaxEntries;
    if (Added)
    {
        s_Entries[s_NumEntries] = {Fd, pInfo->st_dev, pInfo->st_ino, pOfd};
        __atomic_store_n(&s_NumEntries, s_NumEntries + 1, __ATOMIC_RELEASE);
    }
    pthread_mutex_unlock(&s_TableLock);
    return Added;
}

void RemoveEntry(int Fd)
{
    pthread_mutex_lock(&s_TableLock);
    for (unsigned Index = 0; Index < s_NumEntries; Index++)
    {
        if (s_Entries[Index].Fd == Fd)
        {
            munmap(s_Entries[Index].pOfd, OfdMapBytes);
            s_Entries[Index] = s_Entries[s_NumEntries - 1];
            __atomic_store_n(&s_NumEntries, s_NumEntries - 1, __ATOMIC_RELEASE);
            break;
        }
    }
    pthread_mutex_unlock(&s_TableLock);
}

// Maps the memfd behind the O_PATH descriptor Fd.
sSimOfd* MapOfd(int Fd)
{
    char Path[64];
    snprintf(Path, sizeof(Path), "/proc/self/fd/%d", Fd);
    int Open = RealOpen(Path, O_RDWR | O_CLOEXEC, 0);
    if (Open < 0)
    {
        return nullptr;
    }
    void* pMap = mmap(nullptr, OfdMapBytes, PROT_READ | PROT_WRITE, MAP_SHARED, Open, 0);
    RealClose(Open);
    return pMap == MAP_FAILED ? nullptr : static_cast<sSimOfd*>(pMap);
}
}

sSimOfd* SimOfdLookup(int Fd)
{
    if (__atomic_load_n(&s_NumEntries, __ATOMIC_ACQUIRE) == 0)
    {
        return nullptr;
    }
    sEntry Entry = {-1, 0, 0, nullptr};
    pthread_mutex_lock(&s_TableLock);
    for (unsigned Index = 0; Index < s_NumEntries; Index++)
    {
        if (s_Entries[Index].Fd == Fd)
        {
            Entry = s_Entries[Index];
            break;
        }
    }
    pthread_mutex_unlock(&s_TableLock);
    if (Entry.pOfd == nullptr)
    {
        return nullptr;
    }
    // The number may have been closed behind our back (dup2 over it,
    // close_range, a raw system call) and reused.
    int Saved = errno;
    struct stat Info;
    bool Same = fstat(Fd, &Info) == 0 && Info.st_dev == Entry.Dev && Info.st_ino == Entry.Ino;
    errno = Saved;
    if (!Same || Entry.pOfd->SessionId != SimSessionId())
    {
        RemoveEntry(Fd);
        return nullptr;
    }
    return Entry.pOfd;
}

int SimOfdOpen(unsigned Bus, int Flags)
{
    int Mem = memfd_create(MemfdName, MFD_CLOEXEC);
    if (Mem < 0)
    {
        return -1;
    }
    sSimOfd* pOfd = nullptr;
    if (ftruncate(Mem, OfdMapBytes) == 0)
    {
        void* pMap = mmap(nullptr, OfdMapBytes, PROT_READ | PROT_WRITE, MAP_SHARED, Mem, 0);
        pOfd = pMap == MAP_FAILED ? nullptr : static_cast<sSimOfd*>(pMap);
    }
    int Fd = -1;
    if (pOfd != nullptr)
    {
        memcpy(pOfd->Magic, OfdMagic, sizeof(OfdMagic));
        pOfd->SessionId = SimSessionId();
        pOfd->Bus = Bus;
        pOfd->AccessMode = (Flags & O_PATH) != 0 ? SimAccessPathOnly : (Flags & O_ACCMODE);
        pOfd->Address = 0;
        pOfd->ClientFlags = 0;
        char Path[64];
        snprintf(Path, sizeof(Path), "/proc/self/fd/%d", Mem);
        Fd = RealOpen(Path, O_PATH | (Flags & O_CLOEXEC), 0);
    }
    int Saved = errno;
    RealClose(Mem);
    struct stat Info;
    if (Fd >= 0 && (fstat(Fd, &Info) != 0 || !AddEntry(Fd, &Info, pOfd)))
    {
        RealClose(Fd);
        Fd = -1;
        Saved = EMFILE;
    }
    if (Fd < 0 && pOfd != nullptr)
    {
        munmap(pOfd, OfdMapBytes);
    }
    errno = Saved;
    return Fd;
}

void SimOfdClose(int Fd)
{
    if (__atomic_load_n(&s_NumEntries, __ATOMIC_ACQUIRE) != 0)
    {
        RemoveEntry(Fd);
    }
}

bool SimOfdAdopt(int Fd)
{
    if (Fd < 0)
    {
        return false;
    }
    int Saved = errno;
    char Path[64];
    char Link[64];
    snprintf(Path, sizeof(Path), "/proc/self/fd/%d", Fd);
    ssize_t Length = readlink(Path, Link, sizeof(Link) - 1);
    bool Adopted = false;
    if (Length > 0)
    {
        Link[Length] = '\0';
    }
    if (Length > 0 && strcmp(Link, MemfdLink) == 0 && SimSessionStatus() == SIM_ON)
    {
        sSimOfd* pOfd = MapOfd(Fd);
        struct stat Info;
        if (pOfd != nullptr && memcmp(pOfd->Magic, OfdMagic, sizeof(OfdMagic)) == 0
            && pOfd->SessionId == SimSessionId() && fstat(Fd, &Info) == 0)
        {
            RemoveEntry(Fd);
            Adopted = AddEntry(Fd, &Info, pOfd);
        }
        if (!Adopted && pOfd != nullptr)
        {
            munmap(pOfd, OfdMapBytes);
        }
        Trace("descriptor %d %s", Fd, Adopted ? "adopted" : "not adopted");
    }
    errno = Saved;
    return Adopted;
}

void SimOfdForgetAll()
{
    pthread_mutex_lock(&s_TableLock);
    for (unsigned Index = 0; Index < s_NumEntries; Index++)
    {
        munmap(s_Entries[Index].pOfd, OfdMapBytes);
    }
    __atomic_store_n(&s_NumEntries, 0u, __ATOMIC_RELEASE);
    pthread_mutex_unlock(&s_TableLock);
}
}
