// SimSession: the process's view of the running session of the simulated
// buses: loading the description, mapping the shared state and the devices'
// image files (SimShared.cpp), opening the transfer log.
//
// The first bus call of a process loads the session. Threads may make that
// call at once, so loading is serialised by a lock; the status it leaves is
// read without one afterwards.
#include "SimSession.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <pthread.h>

#include "SimConfig.h"
#include "SimLibc.h"

namespace unitsim
{
namespace
{
pthread_mutex_t s_LoadLock = PTHREAD_MUTEX_INITIALIZER;
int s_Status = -1;                  // eSimStatus, or -1 before the first load
sSimConfig s_Config;
sSimSharedState* s_pState = nullptr;
uint8_t* s_pMemory[MaxSimDevices];  // each device's content
bool s_ImageMapped[MaxSimDevices];  // s_pMemory is a mapped image
int s_LogFd = -1;

// Releases everything the process holds of the session.
void Drop()
{
    for (unsigned Index = 0; Index < MaxSimDevices; Index++)
    {
        if (s_ImageMapped[Index])
        {
            SimSharedUnmapImage(s_pMemory[Index]);
        }
        s_ImageMapped[Index] = false;
        s_pMemory[Index] = nullptr;
    }
    SimSharedClose();
    s_pState = nullptr;
    if (s_LogFd >= 0)
    {
        RealClose(s_LogFd);
        s_LogFd = -1;
    }
}

// Sets up the process's view of the session from the description at
// pUnitPath; Fresh starts the session state anew. Runs under s_LoadLock.
eSimStatus Load(const char* pUnitPath, bool Fresh)
{
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
    s_pState = SimSharedOpen(getenv("UNITSIM_STATE_DIR"), Fresh, SimConfigLayoutHash(&s_Config));
    if (s_pState == nullptr)
    {
        return SIM_BROKEN;
    }
    for (unsigned Index = 0; Index < s_Config.NumDevices; Index++)
    {
        const sSimDeviceConfig* pDevice = &s_Config.Devices[Index];
        if (pDevice->HasImage)
        {
            s_pMemory[Index] = SimSharedMapImage(pDevice->ImagePath);
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
    SimSharedLock();
    return ++s_pState->TransferCount;
}

void SimSessionEnd()
{
    SimSharedUnlock();
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
