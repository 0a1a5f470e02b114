// FakeClock: clock_gettime and usleep of a test binary, faked on demand.
#include "FakeClock.h"

#include <cerrno>
#include <dlfcn.h>
#include <time.h>
#include <unistd.h>

FakeClock_s FakeClock = {false, false, 0, 0};

// With 64-bit time on a 32-bit target <time.h> names clock_gettime
// __clock_gettime64, and so this definition; the real one is found by the
// same name.
#if defined(__USE_TIME_BITS64) && __TIMESIZE == 32
static const char* const RealClockGettime = "__clock_gettime64";
#else
static const char* const RealClockGettime = "clock_gettime";
#endif

extern "C" int clock_gettime(clockid_t ClockId, struct timespec* pTime)
{
    if (CLOCK_MONOTONIC == ClockId && FakeClock.Set)
    {
        pTime->tv_sec = static_cast<time_t>(FakeClock.Ns / 1000000000u);
        pTime->tv_nsec = static_cast<long>(FakeClock.Ns % 1000000000u);
        return FakeClock.Fails ? (errno = EINVAL, -1) : 0;
    }
    return reinterpret_cast<int (*)(clockid_t, timespec*)>(dlsym(RTLD_NEXT, RealClockGettime))(ClockId, pTime);
}

extern "C" int usleep(useconds_t Us)
{
    if (FakeClock.Set)
    {
        FakeClock.Ns += FakeClock.PauseNs;
        return 0;
    }
    return reinterpret_cast<int (*)(useconds_t)>(dlsym(RTLD_NEXT, "usleep"))(Us);
}
