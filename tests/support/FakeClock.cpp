// FakeClock: a clock_gettime interposer for timer tests.
#include "FakeClock.h"

#include <cerrno>
#include <ctime>
#include <dlfcn.h>

namespace
{
bool FakeActive = false;
bool FakeFailing = false;
uint64_t FakeNs = 0;

using ClockGettimeFn = int (*)(clockid_t, struct timespec*);

ClockGettimeFn RealClockGettime()
{
    static ClockGettimeFn pReal =
        reinterpret_cast<ClockGettimeFn>(dlsym(RTLD_NEXT, "clock_gettime"));
    return pReal;
}
}

void FakeClockSetMs(uint64_t Ms, uint32_t ExtraNs)
{
    FakeActive = true;
    FakeNs = Ms * 1000000u + ExtraNs;
}

void FakeClockAdvanceMs(uint64_t Ms)
{
    FakeNs += Ms * 1000000u;
}

void FakeClockSetFailing(bool Failing)
{
    FakeFailing = Failing;
}

void FakeClockRelease()
{
    FakeActive = false;
    FakeFailing = false;
}

extern "C" int clock_gettime(clockid_t ClockId, struct timespec* pTime)
{
    if (ClockId == CLOCK_MONOTONIC && FakeFailing)
    {
        errno = EINVAL;
        return -1;
    }
    if (ClockId == CLOCK_MONOTONIC && FakeActive)
    {
        pTime->tv_sec = static_cast<time_t>(FakeNs / 1000000000u);
        pTime->tv_nsec = static_cast<long>(FakeNs % 1000000000u);
        return 0;
    }
    return RealClockGettime()(ClockId, pTime);
}
