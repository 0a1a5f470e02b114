// SimShared: the session state file and the chips' image files, as the
// processes of a session map them.
//
// Hazards handled here: two processes create the state file or a blank
// image at once (each is built under a private name and linked into place,
// so nobody sees it half made, and the loser attaches to the winner's); a
// state file left by another build of the simulation (removed and made
// anew); the description changes between processes (the state is laid out
// by a hash of the device list and reset when it differs); a child made by
// fork shares its parent's open file description, and so its lock (the
// child gets one of its own).
#include "SimShared.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "SimLibc.h"

namespace unitsim
{
int64_t SimNowNs()
{
    struct timespec Now;
    clock_gettime(CLOCK_MONOTONIC, &Now);
    return int64_t(Now.tv_sec) * 1000000000 + Now.tv_nsec;
}

namespace
{
const char* const StateFileName = "i2c-state";
const uint64_t StateMagic = 0x3263326973746e75ull;   // "unstsi2c"
const uint32_t StateVersion = 2;

sSimSharedState* s_pState = nullptr;
int s_StateFd = -1;                 // the state's file, locked around each step

// Locks byte 0 of the state file for this open file description. A
// process that dies holding it loses it with its descriptors; its half-done
// step is as good as a transfer cut short on the bus.
void SetStateLock(int Fd, short Type)
{
    struct flock Lock = {};
    Lock.l_type = Type;
    Lock.l_whence = SEEK_SET;
    Lock.l_len = 1;
    while (fcntl(Fd, F_UNLCK == Type ? F_OFD_SETLK : F_OFD_SETLKW, &Lock) != 0)
    {
        if (errno != EINTR)
        {
            ReportError("cannot lock the session state: %s", strerror(errno));
            abort();
        }
    }
}

// A child made by fork shares the parent's open file description, and so its
// locks: give it one of its own on the same file.
void ReopenStateInChild()
{
    char Path[32];
    snprintf(Path, sizeof(Path), "/proc/self/fd/%d", s_StateFd);
    int Fd = s_StateFd < 0 ? -1 : RealOpen(Path, O_RDWR | O_CLOEXEC, 0);
    if (Fd >= 0)
    {
        dup3(Fd, s_StateFd, O_CLOEXEC);
        RealClose(Fd);
    }
}

uint64_t NewSessionId()
{
    uint64_t Id = 0;
    if (getrandom(&Id, sizeof(Id), 0) != sizeof(Id) || Id == 0)
    {
        Id = uint64_t(SimNowNs()) ^ (uint64_t(getpid()) << 32) ^ 1;
    }
    return Id;
}

// Resets the device part of the state to power-on (counters to zero).
void ResetDevices(sSimSharedState* pState, uint64_t LayoutHash)
{
    pState->LayoutHash = LayoutHash;
    pState->TransferCount = 0;
    memset(pState->Devices, 0, sizeof(pState->Devices));
    for (unsigned Index = 0; Index < MaxSimDevices; Index++)
    {
        memset(pState->Content[Index], 0xff, Chip24c32SizeBytes);
    }
}

void InitState(sSimSharedState* pState, uint64_t LayoutHash)
{
    pState->Version = StateVersion;
    pState->Size = sizeof(sSimSharedState);
    pState->SessionId = NewSessionId();
    ResetDevices(pState, LayoutHash);
    pState->Magic = StateMagic;
}

sSimSharedState* MapFd(int Fd)
{
    void* pMap = mmap(nullptr, sizeof(sSimSharedState), PROT_READ | PROT_WRITE, MAP_SHARED, Fd, 0);
    return pMap == MAP_FAILED ? nullptr : static_cast<sSimSharedState*>(pMap);
}

// How an attempt to make a file in place ended.
enum eMake
{
    MAKE_LINKED,        // the file is in place
    MAKE_NOT_BUILT,     // its private copy could not be made; errno tells why
    MAKE_NOT_LINKED,    // errno tells why; EEXIST: another process made it first
};

// Makes the file pPath from an empty new file that pFill fills (returning
// false when it cannot): built under a private name (pPath, ".", pTag and
// the process id) and linked into place, so nobody sees it half made. The
// private name is gone afterwards, whatever happened.
eMake MakeInPlace(const char* pPath, const char* pTag, mode_t Mode, bool (*pFill)(int Fd, void* pContext),
                  void* pContext)
{
    char Temp[PATH_MAX + 32];
    if (snprintf(Temp, sizeof(Temp), "%s.%s%d", pPath, pTag, static_cast<int>(getpid())) >= int(sizeof(Temp)))
    {
        return MAKE_NOT_BUILT;
    }
    int Fd = RealOpen(Temp, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, Mode);
    if (Fd < 0)
    {
        return MAKE_NOT_BUILT;
    }
    bool Filled = pFill(Fd, pContext);
    RealClose(Fd);
    if (!Filled)
    {
        unlink(Temp);
        return MAKE_NOT_BUILT;
    }
    int Linked = link(Temp, pPath);
    unlink(Temp);
    return Linked == 0 ? MAKE_LINKED : MAKE_NOT_LINKED;
}

// How an attempt to attach to the state file ended.
enum eAttach
{
    ATTACH_DONE,        // mapped, descriptor in s_StateFd
    ATTACH_RETRY,       // try again: a stale file was removed, or another process made it first
    ATTACH_FAILED,      // errno tells why
};

// Maps the state file at pPath when it holds a state of this build, and
// keeps its descriptor in s_StateFd. A state of another layout is reset.
eAttach OpenStateFile(const char* pPath, uint64_t LayoutHash, sSimSharedState** ppState)
{
    int Fd = RealOpen(pPath, O_RDWR | O_CLOEXEC, 0);
    if (Fd < 0)
    {
        return ATTACH_FAILED;
    }
    struct stat Info;
    sSimSharedState* pState = nullptr;
    if (fstat(Fd, &Info) == 0 && Info.st_size == off_t(sizeof(sSimSharedState)))
    {
        pState = MapFd(Fd);
    }
    if (pState != nullptr && pState->Magic == StateMagic && pState->Version == StateVersion
        && pState->Size == sizeof(sSimSharedState))
    {
        s_StateFd = Fd;
        if (pState->LayoutHash != LayoutHash)
        {
            SimSharedLock();
            ResetDevices(pState, LayoutHash);
            SimSharedUnlock();
        }
        *ppState = pState;
        return ATTACH_DONE;
    }
    RealClose(Fd);
    // Left by another build of the simulation: start over.
    if (pState != nullptr)
    {
        munmap(pState, sizeof(sSimSharedState));
    }
    unlink(pPath);
    return ATTACH_RETRY;
}

// What a new state file is made from.
struct sNewState
{
    uint64_t LayoutHash;
    sSimSharedState* pState;    // mapped by FillState
};

bool FillState(int Fd, void* pContext)
{
    sNewState* pNew = static_cast<sNewState*>(pContext);
    if (ftruncate(Fd, sizeof(sSimSharedState)) == 0)
    {
        pNew->pState = MapFd(Fd);
    }
    if (pNew->pState == nullptr)
    {
        return false;
    }
    InitState(pNew->pState, pNew->LayoutHash);
    return true;
}

// Makes the state file at pPath, then maps it and keeps its descriptor in
// s_StateFd.
eAttach CreateStateFile(const char* pPath, uint64_t LayoutHash, sSimSharedState** ppState)
{
    sNewState New = {LayoutHash, nullptr};
    eMake Made = MakeInPlace(pPath, "", 0600, FillState, &New);
    if (Made == MAKE_NOT_BUILT)
    {
        return ATTACH_FAILED;
    }
    if (Made == MAKE_LINKED)
    {
        // The linked file, not our private name: both are one inode.
        s_StateFd = RealOpen(pPath, O_RDWR | O_CLOEXEC, 0);
        if (s_StateFd >= 0)
        {
            *ppState = New.pState;
            return ATTACH_DONE;
        }
    }
    munmap(New.pState, sizeof(sSimSharedState));
    // EEXIST: another process made it first; attach to theirs.
    return errno == EEXIST ? ATTACH_RETRY : ATTACH_FAILED;
}

// Maps the session state file of directory pDir, creating it when absent
// (or always when Fresh), and keeps its descriptor in s_StateFd. Returns
// null on failure, after a report.
sSimSharedState* MapStateFile(const char* pDir, bool Fresh, uint64_t LayoutHash)
{
    char Path[PATH_MAX];
    if (snprintf(Path, sizeof(Path), "%s/%s", pDir, StateFileName) >= int(sizeof(Path)))
    {
        ReportError("UNITSIM_STATE_DIR is too long");
        return nullptr;
    }
    if (mkdir(pDir, 0755) != 0 && errno != EEXIST)
    {
        ReportError("cannot create UNITSIM_STATE_DIR %s: %s", pDir, strerror(errno));
        return nullptr;
    }
    if (Fresh)
    {
        unlink(Path);
    }
    for (int Attempt = 0; Attempt < 3; Attempt++)
    {
        sSimSharedState* pState = nullptr;
        eAttach Result = OpenStateFile(Path, LayoutHash, &pState);
        if (Result == ATTACH_FAILED && errno == ENOENT)
        {
            Result = CreateStateFile(Path, LayoutHash, &pState);
        }
        if (Result == ATTACH_DONE)
        {
            return pState;
        }
        if (Result == ATTACH_FAILED)
        {
            break;
        }
    }
    ReportError("cannot set up the session state %s: %s", Path, strerror(errno));
    return nullptr;
}

// Maps a state of this process and its children alone.
sSimSharedState* MapPrivateState(uint64_t LayoutHash)
{
    sSimSharedState* pState = nullptr;
    s_StateFd = memfd_create("unitsim-state", MFD_CLOEXEC);
    if (s_StateFd >= 0 && ftruncate(s_StateFd, sizeof(sSimSharedState)) == 0)
    {
        pState = MapFd(s_StateFd);
    }
    if (pState != nullptr)
    {
        InitState(pState, LayoutHash);
    }
    return pState;
}

bool FillBlankImage(int Fd, void*)
{
    uint8_t Blank[Chip24c32SizeBytes];
    memset(Blank, 0xff, sizeof(Blank));
    return RealWrite(Fd, Blank, sizeof(Blank)) == ssize_t(sizeof(Blank));
}
}

sSimSharedState* SimSharedOpen(const char* pDir, bool Fresh, uint64_t LayoutHash)
{
    // Runs under the session's load lock, like every open.
    static bool s_ForkHandled = false;
    if (!s_ForkHandled)
    {
        pthread_atfork(nullptr, nullptr, ReopenStateInChild);
        s_ForkHandled = true;
    }
    s_pState = pDir != nullptr && pDir[0] != '\0' ? MapStateFile(pDir, Fresh, LayoutHash) : MapPrivateState(LayoutHash);
    return s_pState;
}

void SimSharedClose()
{
    if (s_pState != nullptr)
    {
        munmap(s_pState, sizeof(sSimSharedState));
        s_pState = nullptr;
    }
    if (s_StateFd >= 0)
    {
        RealClose(s_StateFd);
        s_StateFd = -1;
    }
}

void SimSharedLock()
{
    SetStateLock(s_StateFd, F_WRLCK);
}

void SimSharedUnlock()
{
    SetStateLock(s_StateFd, F_UNLCK);
}

int SimSharedBusLock(unsigned Bus, int Command, struct flock64* pLock)
{
    struct flock64 Lock = {};
    Lock.l_type = pLock->l_type;
    Lock.l_whence = SEEK_SET;
    Lock.l_start = 1 + off64_t(Bus);     // byte 0 is the state's own lock
    Lock.l_len = 1;
    if (RealFcntl64(s_StateFd, Command, &Lock) != 0)
    {
        return -1;
    }
    if (Command == F_GETLK64)
    {
        pLock->l_type = Lock.l_type;
        pLock->l_pid = Lock.l_type == F_UNLCK ? 0 : Lock.l_pid;
        pLock->l_whence = SEEK_SET;
        pLock->l_start = 0;
        pLock->l_len = 0;
    }
    return 0;
}

void SimSharedBusUnlock(unsigned Bus)
{
    int Saved = errno;
    struct flock64 Lock = {};
    Lock.l_type = F_UNLCK;
    SimSharedBusLock(Bus, F_SETLK64, &Lock);
    errno = Saved;
}

uint8_t* SimSharedMapImage(const char* pPath)
{
    int Fd = RealOpen(pPath, O_RDWR | O_CLOEXEC, 0);
    if (Fd < 0 && errno == ENOENT)
    {
        if (MakeInPlace(pPath, "unitsim-", 0644, FillBlankImage, nullptr) == MAKE_NOT_LINKED && errno != EEXIST)
        {
            ReportError("cannot create the image %s: %s", pPath, strerror(errno));
        }
        Fd = RealOpen(pPath, O_RDWR | O_CLOEXEC, 0);
    }
    if (Fd < 0)
    {
        ReportError("cannot open the image %s: %s", pPath, strerror(errno));
        return nullptr;
    }
    struct stat Info;
    void* pMap = MAP_FAILED;
    if (fstat(Fd, &Info) != 0)
    {
        ReportError("cannot examine the image %s: %s", pPath, strerror(errno));
    }
    else if (Info.st_size != off_t(Chip24c32SizeBytes))
    {
        ReportError("the image %s holds %lld bytes; a 24c32 image holds %u", pPath,
                    static_cast<long long>(Info.st_size), Chip24c32SizeBytes);
    }
    else
    {
        pMap = mmap(nullptr, Chip24c32SizeBytes, PROT_READ | PROT_WRITE, MAP_SHARED, Fd, 0);
        if (pMap == MAP_FAILED)
        {
            ReportError("cannot map the image %s: %s", pPath, strerror(errno));
        }
    }
    RealClose(Fd);
    return pMap == MAP_FAILED ? nullptr : static_cast<uint8_t*>(pMap);
}

void SimSharedUnmapImage(uint8_t* pImage)
{
    munmap(pImage, Chip24c32SizeBytes);
}
}
