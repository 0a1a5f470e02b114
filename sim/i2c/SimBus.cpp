// SimBus: session state, devices and the transfer engine of the simulated
// buses.
//
// Hazards handled here: several processes of one session run transfers at
// the same time, possibly built for different architectures (an x86-64
// tool beside an armhf service under an emulator): the shared state has
// fixed-width fields only and is serialised by an open-file-description lock
// on the state file, which both understand and which the kernel drops when
// a process dies holding it; two
// processes create the state file or a blank image at once (each is built
// under a private name and linked into place, so nobody sees it half made);
// the description changes between processes (the state is laid out by a
// hash of the device list and rebuilt when it differs).
#include "SimBus.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <linux/i2c.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Chip24c32.h"
#include "SimConfig.h"
#include "SimLibc.h"

namespace unitsim
{
namespace
{
const char* const StateFileName = "i2c-state";
const uint64_t StateMagic = 0x3263326973746e75ull;   // "unstsi2c"
const uint32_t StateVersion = 2;
// Data bytes a log line shows.
const unsigned LogDataBytes = 16;
// The largest count byte an I2C_M_RECV_LEN read accepts.
const unsigned SmbusBlockMax = 32;

struct sSharedDevice
{
    sChip24c32State Chip;       // the chip's volatile state
    uint32_t StoredWrites;      // data writes stored this session (power cut)
    uint32_t Transfers;         // transfers addressed to the device this session
};

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
    sSharedDevice Devices[MaxSimDevices];
    uint8_t Content[MaxSimDevices][Chip24c32SizeBytes];
};
static_assert(sizeof(sChip24c32State) == 16 && sizeof(sSharedDevice) == 24, "same layout on every architecture");
static_assert(sizeof(sSharedState) == 40 + MaxSimDevices * (24 + Chip24c32SizeBytes), "same layout everywhere");

pthread_mutex_t s_LoadLock = PTHREAD_MUTEX_INITIALIZER;
int s_Status = -1;                  // eSimStatus, or -1 before the first load
sSimConfig s_Config;
sSharedState* s_pState = nullptr;
int s_StateFd = -1;                 // the state's file, locked around each step
uint8_t* s_pMemory[MaxSimDevices];  // each device's content
bool s_ImageMapped[MaxSimDevices];  // s_pMemory is a mapped image
int s_LogFd = -1;

int64_t NowNs()
{
    struct timespec Now;
    clock_gettime(CLOCK_MONOTONIC, &Now);
    return int64_t(Now.tv_sec) * 1000000000 + Now.tv_nsec;
}

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
        Id = uint64_t(NowNs()) ^ (uint64_t(getpid()) << 32) ^ 1;
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

// Maps the session state file of directory pDir, creating it when absent
// (or always when Fresh), and keeps its descriptor in s_StateFd. Returns
// null on failure, after a report.
sSharedState* MapStateFile(const char* pDir, bool Fresh, uint64_t LayoutHash)
{
    char Path[PATH_MAX];
    char Temp[PATH_MAX + 16];
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
        int Fd = RealOpen(Path, O_RDWR | O_CLOEXEC, 0);
        if (Fd >= 0)
        {
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
                return pState;
            }
            RealClose(Fd);
            // Left by another build of the simulation: start over.
            if (pState != nullptr)
            {
                munmap(pState, sizeof(sSharedState));
            }
            unlink(Path);
            continue;
        }
        if (errno != ENOENT)
        {
            break;
        }
        if (snprintf(Temp, sizeof(Temp), "%s.%d", Path, static_cast<int>(getpid())) >= int(sizeof(Temp)))
        {
            break;
        }
        Fd = RealOpen(Temp, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (Fd < 0)
        {
            break;
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
            break;
        }
        InitState(pState, LayoutHash);
        int Linked = link(Temp, Path);
        unlink(Temp);
        if (Linked == 0)
        {
            // The linked file, not our private name: both are one inode.
            s_StateFd = RealOpen(Path, O_RDWR | O_CLOEXEC, 0);
            if (s_StateFd >= 0)
            {
                return pState;
            }
        }
        munmap(pState, sizeof(sSharedState));
        if (errno != EEXIST)
        {
            break;
        }
        // Another process made it first: attach to theirs.
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

int FindDevice(unsigned Bus, unsigned Addr)
{
    for (unsigned Index = 0; Index < s_Config.NumDevices; Index++)
    {
        if (s_Config.Devices[Index].Bus == Bus && s_Config.Devices[Index].Address == Addr)
        {
            return static_cast<int>(Index);
        }
    }
    return -1;
}

// Appends "<t>.<m> i2c-<bus> <W|R> 0x<aa> len=<L> <ack|nack>[ <hh>...]" to
// the log (one write, so lines of several processes never mix) and to the
// trace.
void LogMessage(uint64_t Transfer, unsigned Index, unsigned Bus, const sSimMsg* pMsg, bool Ack)
{
    if (s_LogFd < 0 && !TraceOn())
    {
        return;
    }
    static const char Hex[] = "0123456789abcdef";
    bool Read = (pMsg->Flags & I2C_M_RD) != 0;
    char Line[128 + 3 * LogDataBytes];
    int Length = snprintf(Line, sizeof(Line), "%llu.%u i2c-%u %c 0x%02x len=%u %s",
                          static_cast<unsigned long long>(Transfer), Index, Bus, Read ? 'R' : 'W',
                          static_cast<unsigned>(pMsg->Addr), static_cast<unsigned>(pMsg->Len), Ack ? "ack" : "nack");
    if (!Read || Ack)
    {
        for (unsigned Byte = 0; Byte < pMsg->Len && Byte < LogDataBytes; Byte++)
        {
            Line[Length++] = ' ';
            Line[Length++] = Hex[pMsg->pBuf[Byte] >> 4];
            Line[Length++] = Hex[pMsg->pBuf[Byte] & 0xf];
        }
    }
    Line[Length++] = '\n';
    if (s_LogFd >= 0)
    {
        int Saved = errno;
        RealWrite(s_LogFd, Line, static_cast<size_t>(Length));
        errno = Saved;
    }
    Trace("%.*s", Length - 1, Line);
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

bool SimBusExists(unsigned Bus)
{
    for (unsigned Index = 0; Index < s_Config.NumBuses; Index++)
    {
        if (s_Config.Buses[Index] == Bus)
        {
            return true;
        }
    }
    return false;
}

bool SimBusAddressBusy(unsigned Bus, unsigned Addr)
{
    int Device = FindDevice(Bus, Addr);
    return Device >= 0 && s_Config.Devices[Device].Faults.SlaveBusy;
}

int SimBusTransfer(unsigned Bus, sSimMsg* pMsgs, unsigned NumMsgs)
{
    // A long read from a device with long_read_fail is refused as the kernel
    // refuses a message beyond an adapter's read limit: before anything
    // reaches the bus, so it is neither logged nor counted.
    for (unsigned Index = 0; Index < NumMsgs; Index++)
    {
        int Device = (pMsgs[Index].Flags & I2C_M_TEN) != 0 ? -1 : FindDevice(Bus, pMsgs[Index].Addr);
        if (Device >= 0 && s_Config.Devices[Device].Faults.LongReadFail && (pMsgs[Index].Flags & I2C_M_RD) != 0
            && pMsgs[Index].Len > 1)
        {
            return -EOPNOTSUPP;
        }
    }
    LockState();
    uint64_t Transfer = ++s_pState->TransferCount;
    int64_t Now = NowNs();
    uint32_t Counted = 0;   // devices whose transfer count this transfer raised
    int Result = static_cast<int>(NumMsgs);
    for (unsigned Index = 0; Index < NumMsgs; Index++)
    {
        sSimMsg* pMsg = &pMsgs[Index];
        bool Read = (pMsg->Flags & I2C_M_RD) != 0;
        int Device = (pMsg->Flags & I2C_M_TEN) != 0 ? -1 : FindDevice(Bus, pMsg->Addr);

        // Address phase: does anybody acknowledge?
        bool Ack = Device >= 0;
        if (Ack)
        {
            const sSimFaults* pFaults = &s_Config.Devices[Device].Faults;
            sSharedDevice* pShared = &s_pState->Devices[Device];
            if ((Counted & (1u << Device)) == 0)
            {
                Counted |= 1u << Device;
                pShared->Transfers++;
                Ack = pShared->Transfers != pFaults->NackTransfer;
                if (pShared->Transfers == 1 && pFaults->BusyAtStartNs > 0)
                {
                    // The session begins inside a write cycle, as when a
                    // program was stopped right after a page write.
                    pShared->Chip.BusyUntilNs = Now + pFaults->BusyAtStartNs;
                }
            }
            Ack = Ack && !pFaults->NoAck && !(Read && pFaults->ReadFail)
               && !Chip24c32IsBusy(&pShared->Chip, Now);
        }
        if (!Ack)
        {
            LogMessage(Transfer, Index, Bus, pMsg, false);
            Result = -SimNackErrno;
            break;
        }

        // Data phase.
        const sSimDeviceConfig* pConfig = &s_Config.Devices[Device];
        sSharedDevice* pShared = &s_pState->Devices[Device];
        uint8_t* pMemory = s_pMemory[Device];
        if (!Read)
        {
            bool Program = pConfig->Faults.PowerCutAfterPage < 0
                        || int64_t(pShared->StoredWrites) < pConfig->Faults.PowerCutAfterPage;
            bool Last = Index + 1 == NumMsgs;
            if (Chip24c32Write(&pShared->Chip, pMemory, pMsg->pBuf, pMsg->Len, Last, Program, Now,
                               pConfig->WriteCycleNs)
                && Program)
            {
                pShared->StoredWrites++;
            }
        }
        else if ((pMsg->Flags & I2C_M_RECV_LEN) != 0)
        {
            // The first byte read is the count of bytes that follow.
            Chip24c32Read(&pShared->Chip, pMemory, pMsg->pBuf, 1);
            unsigned Count = pMsg->pBuf[0];
            if (Count == 0 || Count > SmbusBlockMax)
            {
                uint16_t Len = pMsg->Len;
                pMsg->Len = 1;
                LogMessage(Transfer, Index, Bus, pMsg, true);
                pMsg->Len = Len;
                Result = -EPROTO;
                break;
            }
            Chip24c32Read(&pShared->Chip, pMemory, pMsg->pBuf + 1, pMsg->Len - 1 + Count);
            pMsg->Len = static_cast<uint16_t>(pMsg->Len + Count);
        }
        else
        {
            Chip24c32Read(&pShared->Chip, pMemory, pMsg->pBuf, pMsg->Len);
        }
        LogMessage(Transfer, Index, Bus, pMsg, true);
    }
    UnlockState();
    return Result;
}
}
