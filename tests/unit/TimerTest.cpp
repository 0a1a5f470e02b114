// cTimer against a monotonic clock the test sets: this binary defines
// clock_gettime, so the timer reads FakeNs while FakeSet is true; other
// clocks, and the monotonic one otherwise, are the real ones.
#include <gtest/gtest.h>

#include <cerrno>
#include <dlfcn.h>

#include "Timer.h"

static bool FakeSet = false, FakeFails = false;
static uint64_t FakeNs = 0;
const uint64_t Ms = 1000000;          // in ns
const uint64_t WrapMs = 1ull << 32;   // where the 32-bit millisecond reading wraps

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
    if (CLOCK_MONOTONIC == ClockId && FakeSet)
    {
        pTime->tv_sec = static_cast<time_t>(FakeNs / 1000000000u);
        pTime->tv_nsec = static_cast<long>(FakeNs % 1000000000u);
        return FakeFails ? (errno = EINVAL, -1) : 0;
    }
    return reinterpret_cast<int (*)(clockid_t, timespec*)>(dlsym(RTLD_NEXT, RealClockGettime))(ClockId, pTime);
}

class TimerTest : public ::testing::Test
{
protected:
    TimerTest() { FakeSet = true; FakeNs = 1000000 * Ms; }
    ~TimerTest() override { FakeSet = false; }
};

TEST_F(TimerTest, TimesOutOnlyAfterMoreThanNumMsAndThenStops)
{
    cTimer Timer(20), Default, Running(100);
    FakeNs += 20 * Ms;
    EXPECT_FALSE(Timer.HasTimedOut()) << "exactly NumMs elapsed is not yet a time-out";
    FakeNs += 1 * Ms;
    EXPECT_TRUE(Timer.HasTimedOut());
    EXPECT_FALSE(Timer.IsRunning());
    FakeNs += 4 * Ms;
    EXPECT_EQ(4u, Timer.GetElapsedMs()) << "counted from when the time-out stopped it";
    EXPECT_TRUE(Default.HasTimedOut()) << "a stopped timer counts as timed out";
    Running.SetTimeout(100);
    EXPECT_FALSE(Running.IsRunning()) << "setting the time-out stops the timer";
}

TEST_F(TimerTest, StartKeepsARunningTimersStartButRestartMovesItAndStopTells)
{
    cTimer Timer(10), Other(10), Stopped;
    FakeNs += 8 * Ms;
    Timer.Start();
    Other.Restart();
    FakeNs += 3 * Ms;
    EXPECT_EQ(11u, Timer.GetElapsedMs());
    EXPECT_EQ(3u, Other.GetElapsedMs());
    Other.Restart(2);
    FakeNs += 3 * Ms;
    EXPECT_TRUE(Other.HasTimedOut()) << "Restart(newTimeout) replaces the time-out";
    Stopped.SetTimeout(5);
    FakeNs += 50 * Ms;
    Stopped.Start();
    EXPECT_FALSE(Stopped.HasTimedOut()) << "Start on a stopped timer times from now";
    // Stop tells whether the time-out had passed.
    cTimer Zero(0);
    EXPECT_FALSE(Zero.Stop()) << "within the same millisecond";
    Zero.Restart();
    FakeNs += 1 * Ms;
    EXPECT_TRUE(Zero.Stop());
    EXPECT_FALSE(Zero.IsRunning());
    FakeNs += 1 * Ms;
    EXPECT_FALSE(Zero.Stop()) << "a stopped timer";
}

TEST_F(TimerTest, ReadsWholeMillisecondsIn32BitsAndMeasuresAcrossTheWrap)
{
    FakeNs = 7 * Ms + 999999;
    EXPECT_EQ(7u, cTimer().GetCurrentTimeMs());
    FakeNs = (WrapMs + 3) * Ms;
    EXPECT_EQ(3u, cTimer().GetCurrentTimeMs());
    FakeNs = (WrapMs - 5) * Ms;
    cTimer Timer(20);
    FakeNs += 15 * Ms;
    EXPECT_EQ(15u, Timer.GetElapsedMs());
    FakeNs += 6 * Ms;
    EXPECT_TRUE(Timer.HasTimedOut());
    EXPECT_DEATH((FakeFails = true, Timer.GetCurrentTimeMs()), "0 <= Result") << "a failing clock is fatal";
}
