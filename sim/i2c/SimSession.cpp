// SimSession: the session state of the simulated buses: loading the
// description, the state file that the processes of a session share, and the
// mapping of the devices' image files.
//
// Hazards handled here: several processes of one session run transfers at
// the same time, possibly built for different architectures (an x86-64
// tool beside an armhf service under an emulator): the shared state has
// fixed-width fields only and is serialised by an open-file-description lock
// on the state file, which both understand and which the kernel drops when
// a process dies holding it; two processes create the state file or a blank
// image at once (each is built under a private name and linked into place,
// so nobody sees it half made); the description changes between processes
// (the state is laid out by a hash of the device list and rebuilt when it
// differs).
#include "SimSession.h"

#include <cerrno>
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

#include "SimBus.h"
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

// Everything the processes of a session share, guarded by the lock on the
// state file. Content is used by devices without an image file. Fixed-width
// fields at naturally aligned offsets: the same layout on every
// architecture the simulation is built for.
struct sSharedState
{
    uint64_t Magic;
    uint32_t Version;
    uint32_t Size;                  // sizeof(sSharedState) of the writer
    uint64_t SessionId;
    uint64_t LayoutHash;            // SimConfigLayoutHash of the description
    uint64_t TransferCount;         // transfers of the session so far
    sSimSharedDevice Devices[MaxSimDevices];
    uint8_t Content[MaxSimDevices][Chip24c32SizeBytes];
};
static_assert(sizeof(sChip24c32State) == 16 && sizeof(sSimSharedDevice) == 24, "same layout on every architecture");
static_assert(sizeof(sSharedState) == 40 + MaxSimDevices * (24 + Chip24c32SizeBytes), "same layout everywhere");

pthread_mutex_t s_LoadLock = PTHREAD_MUTEX_INITIALIZER;
int s_Status = -1;                  // eSimStatus, or -1 before the first load
sSimConfig s_Config;
sSharedState* s_pState = nullptr;
int s_StateFd = -1;                 // the state's file, locked around each step
uint8_t* s_pMemory[MaxSimDevices];  // each device's content
bool s_ImageMapped[MaxSimDevices];  // s_pMemory is a mapped image
int s_LogFd = -1;

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

void LockState()
{
    SetStateLock(s_StateFd, F_WRLCK);
}

void UnlockState()
{
    SetStateLock(s_StateFd, F_UNLCK);
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
void ResetDevices(sSharedState* pState, uint64_t LayoutHash)
{
    pState->LayoutHash = LayoutHash;
    pState->TransferCount = 0;
    memset(pState->Devices, 0, sizeof(pState->Devices));
    for (unsigned Index = 0; Index < MaxSimDevices; Index++)
    {
        memset(pState->Content[Index], 0xff, Chip24c32SizeBytes);
    }
}

void InitState(sSharedState* pState, uint64_t LayoutHash)
{
    pState->Version = StateVersion;
    pState->Size = sizeof(sSharedState);
    pState->SessionId = NewSessionId();
    ResetDevices(pState, LayoutHash);
    pState->Magic = StateMagic;
}

sSharedState* MapFd(int Fd)
{
    void* pMap = mmap(nullptr, sizeof(sSharedState), PROT_READ | PROT_WRITE, MAP_SHARED, Fd, 0);
    return pMap == MAP_FAILED ? nullptr : static_cast<sSharedState*>(pMap);
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
eAttach OpenStateFile(const char* pPath, uint64_t LayoutHash, sSharedState** ppState)
{
    int Fd = RealOpen(pPath, O_RDWR | O_CLOEXEC, 0);
    if (Fd < 0)
    {
        return ATTACH_FAILED;
    }
    struct stat Info;
    sSharedState* pState = nullptr;
    if (fstat(Fd, &Info) == 0 && Info.st_size == off_t(sizeof(sSharedState)))
    {
        pState = MapFd(Fd);
    }
    if (pState != nullptr && pState->Magic == StateMagic && pState->Version == StateVersion
        && pState->Size == sizeof(sSharedState))
    {
        s_StateFd = Fd;
        if (pState->LayoutHash != LayoutHash)
        {
            LockState();
            ResetDevices(pState, LayoutHash);
            UnlockState();
        }
        *ppState = pState;
        return ATTACH_DONE;
    }
    RealClose(Fd);
    // Left by another build of the simulation: start over.
    if (pState != nullptr)
    {
        munmap(pState, sizeof(sSharedState));
    }
    unlink(pPath);
    return ATTACH_RETRY;
}

// Makes the state file at pPath: built under a private name and linked into
// place, so nobody sees it half made; then mapped, its descriptor in
// s_StateFd.
eAttach CreateStateFile(const char* pPath, uint64_t LayoutHash, sSharedState** ppState)
{
    char Temp[PATH_MAX + 16];
    if (snprintf(Temp, sizeof(Temp), "%s.%d", pPath, static_cast<int>(getpid())) >= int(sizeof(Temp)))
    {
        return ATTACH_FAILED;
    }
    int Fd = RealOpen(Temp, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (Fd < 0)
    {
        return ATTACH_FAILED;
    }
    sSharedState* pState = nullptr;
    if (ftruncate(Fd, sizeof(sSharedState)) == 0)
    {
        pState = MapFd(Fd);
    }
    RealClose(Fd);
    if (pState == nullptr)
    {
        unlink(Temp);
        return ATTACH_FAILED;
    }
    InitState(pState, LayoutHash);
    int Linked = link(Temp, pPath);
    unlink(Temp);
    if (Linked == 0)
    {
        // The linked file, not our private name: both are one inode.
        s_StateFd = RealOpen(pPath, O_RDWR | O_CLOEXEC, 0);
        if (s_StateFd >= 0)
        {
            *ppState = pState;
            return ATTACH_DONE;
        }
    }
    munmap(pState, sizeof(sSharedState));
    // EEXIST: another process made it first; attach to theirs.
    return errno == EEXIST ? ATTACH_RETRY : ATTACH_FAILED;
}

// Maps the session state file of directory pDir, creating it when absent
// (or always when Fresh), and keeps its descriptor in s_StateFd. Returns
// null on failure, after a report.
sSharedState* MapStateFile(const char* pDir, bool Fresh, uint64_t LayoutHash)
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
        sSharedState* pState = nullptr;
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

// Maps a device's image file, creating a blank one (all 0xFF) when absent.
uint8_t* MapImage(const char* pPath)
{
    int Fd = RealOpen(pPath, O_RDWR | O_CLOEXEC, 0);
    if (Fd < 0 && errno == ENOENT)
    {
        char Temp[PATH_MAX + 32];
        int New = -1;
        if (snprintf(Temp, sizeof(Temp), "%s.unitsim-%d", pPath, static_cast<int>(getpid())) < int(sizeof(Temp)))
        {
            New = RealOpen(Temp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        }
        if (New >= 0)
        {
            uint8_t Blank[Chip24c32SizeBytes];
            memset(Blank, 0xff, sizeof(Blank));
            bool Written = RealWrite(New, Blank, sizeof(Blank)) == ssize_t(sizeof(Blank));
            RealClose(New);
            if (Written && link(Temp, pPath) != 0 && errno != EEXIST)
            {
                ReportError("cannot create the image %s: %s", pPath, strerror(errno));
            }
            unlink(Temp);
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

// Releases everything the process holds of the session.
void Drop()
{
    for (unsigned Index = 0; Index < MaxSimDevices; Index++)
    {
        if (s_ImageMapped[Index])
        {
            munmap(s_pMemory[Index], Chip24c32SizeBytes);
        }
        s_ImageMapped[Index] = false;
        s_pMemory[Index] = nullptr;
    }
    if (s_pState != nullptr)
    {
        munmap(s_pState, sizeof(sSharedState));
        s_pState = nullptr;
    }
    if (s_StateFd >= 0)
    {
        RealClose(s_StateFd);
        s_StateFd = -1;
    }
    if (s_LogFd >= 0)
    {
        RealClose(s_LogFd);
        s_LogFd = -1;
    }
}

// Sets up the process's view of the session from the description at
// pUnitPath; Fresh starts the session state anew.
eSimStatus Load(const char* pUnitPath, bool Fresh)
{
    static bool s_ForkHandled = false;  // Load runs under s_LoadLock
    if (!s_ForkHandled)
    {
        pthread_atfork(nullptr, nullptr, ReopenStateInChild);
        s_ForkHandled = true;
    }
    Drop();
    if (pUnitPath == nullptr || pUnitPath[0] == '\0')
    {
        return SIM_OFF;
    }
    if (SimConfigLoad(pUnitPath, &s_Config))
    {
        return SIM_BROKEN;
    }
    if (!s_Config.HasI2c)
    {
        return SIM_OFF;
    }
    uint64_t LayoutHash = SimConfigLayoutHash(&s_Config);
    const char* pStateDir = getenv("UNITSIM_STATE_DIR");
    if (pStateDir != nullptr && pStateDir[0] != '\0')
    {
        s_pState = MapStateFile(pStateDir, Fresh, LayoutHash);
    }
    else
    {
        // A session of this process (and its children) alone, in a file
        // without a name so that it can be locked like the shared one.
        s_StateFd = memfd_create("unitsim-state", MFD_CLOEXEC);
        if (s_StateFd >= 0 && ftruncate(s_StateFd, sizeof(sSharedState)) == 0)
        {
            s_pState = MapFd(s_StateFd);
        }
        if (s_pState != nullptr)
        {
            InitState(s_pState, LayoutHash);
        }
    }
    if (s_pState == nullptr)
    {
        return SIM_BROKEN;
    }
    for (unsigned Index = 0; Index < s_Config.NumDevices; Index++)
    {
        const sSimDeviceConfig* pDevice = &s_Config.Devices[Index];
        if (pDevice->HasImage)
        {
            s_pMemory[Index] = MapImage(pDevice->ImagePath);
            if (s_pMemory[Index] == nullptr)
            {
                Drop();
                return SIM_BROKEN;
            }
            s_ImageMapped[Index] = true;
        }
        else
        {
            s_pMemory[Index] = s_pState->Content[Index];
        }
    }
    if (s_Config.HasLog)
    {
        s_LogFd = RealOpen(s_Config.LogPath, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (s_LogFd < 0)
        {
            ReportError("cannot open the transfer log %s: %s", s_Config.LogPath, strerror(errno));
            Drop();
            return SIM_BROKEN;
        }
    }
    Trace("session %016llx from %s: %u buses, %u devices", static_cast<unsigned long long>(s_pState->SessionId),
          pUnitPath, s_Config.NumBuses, s_Config.NumDevices);
    return SIM_ON;
}
}

eSimStatus SimSessionStatus()
{
    int Status = __atomic_load_n(&s_Status, __ATOMIC_ACQUIRE);
    if (Status >= 0)
    {
        return static_cast<eSimStatus>(Status);
    }
    int Saved = errno;
    pthread_mutex_lock(&s_LoadLock);
    if (s_Status < 0)
    {
        __atomic_store_n(&s_Status, Load(getenv("UNITSIM_UNIT"), false), __ATOMIC_RELEASE);
    }
    Status = s_Status;
    pthread_mutex_unlock(&s_LoadLock);
    errno = Saved;
    return static_cast<eSimStatus>(Status);
}

bool SimSessionReload(const char* pUnitPath)
{
    pthread_mutex_lock(&s_LoadLock);
    if (pUnitPath == nullptr)
    {
        pUnitPath = getenv("UNITSIM_UNIT");
    }
    eSimStatus Status;
    if (pUnitPath == nullptr || pUnitPath[0] == '\0')
    {
        ReportError("no unit description given and UNITSIM_UNIT is not set");
        Drop();
        Status = SIM_BROKEN;
    }
    else
    {
        Status = Load(pUnitPath, true);
    }
    __atomic_store_n(&s_Status, Status, __ATOMIC_RELEASE);
    pthread_mutex_unlock(&s_LoadLock);
    return Status == SIM_BROKEN;
}

uint64_t SimSessionId()
{
    return s_pState == nullptr ? 0 : s_pState->SessionId;
}

const sSimConfig* SimSessionConfig()
{
    return &s_Config;
}

uint64_t SimSessionBegin()
{
    LockState();
    return ++s_pState->TransferCount;
}

void SimSessionEnd()
{
    UnlockState();
}

sSimSharedDevice* SimSessionDevice(unsigned Index)
{
    return &s_pState->Devices[Index];
}

uint8_t* SimSessionMemory(unsigned Index)
{
    return s_pMemory[Index];
}

int SimSessionLogFd()
{
    return s_LogFd;
}
}
