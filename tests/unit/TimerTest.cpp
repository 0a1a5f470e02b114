// cTimer against a monotonic clock the test sets (FakeClock).
#include <gtest/gtest.h>

#include <cerrno>

#include "FakeClock.h"
#include "Timer.h"

const uint64_t WrapMs = 1ull << 32;   // where the 32-bit millisecond reading wraps

class TimerTest : public ::testing::Test
{
protected:
    TimerTest() { FakeClock.Set = true; FakeClock.Ns = 1000000 * Ms; }
    ~TimerTest() override { FakeClock.Set = false; }
};

TEST_F(TimerTest, TimesOutOnlyAfterMoreThanNumMsAndThenStops)
{
    cTimer Timer(20), Default, Running(100);
    FakeClock.Ns += 20 * Ms;
    EXPECT_FALSE(Timer.HasTimedOut()) << "exactly NumMs elapsed is not yet a time-out";
    FakeClock.Ns += 1 * Ms;
    EXPECT_TRUE(Timer.HasTimedOut());
    EXPECT_FALSE(Timer.IsRunning());
    FakeClock.Ns += 4 * Ms;
    EXPECT_EQ(4u, Timer.GetElapsedMs()) << "counted from when the time-out stopped it";
    EXPECT_TRUE(Default.HasTimedOut()) << "a stopped timer counts as timed out";
    Running.SetTimeout(100);
    EXPECT_FALSE(Running.IsRunning()) << "setting the time-out stops the timer";
}

TEST_F(TimerTest, StartKeepsARunningTimersStartButRestartMovesItAndStopTells)
{
    cTimer Timer(10), Other(10), Stopped;
    FakeClock.Ns += 8 * Ms;
    Timer.Start();
    Other.Restart();
    FakeClock.Ns += 3 * Ms;
    EXPECT_EQ(11u, Timer.GetElapsedMs());
    EXPECT_EQ(3u, Other.GetElapsedMs());
    Other.Restart(2);
    FakeClock.Ns += 3 * Ms;
    EXPECT_TRUE(Other.HasTimedOut()) << "Restart(newTimeout) replaces the time-out";
    Stopped.SetTimeout(5);
    FakeClock.Ns += 50 * Ms;
    Stopped.Start();
    EXPECT_FALSE(Stopped.HasTimedOut()) << "Start on a stopped timer times from now";
    // Stop tells whether the time-out had passed.
    cTimer Zero(0);
    EXPECT_FALSE(Zero.Stop()) << "within the same millisecond";
    Zero.Restart();
    FakeClock.Ns += 1 * Ms;
    EXPECT_TRUE(Zero.Stop());
    EXPECT_FALSE(Zero.IsRunning());
    FakeClock.Ns += 1 * Ms;
    EXPECT_FALSE(Zero.Stop()) << "a stopped timer";
}

TEST_F(TimerTest, ReadsWholeMillisecondsIn32BitsAndMeasuresAcrossTheWrap)
{
    FakeClock.Ns = 7 * Ms + 999999;
    EXPECT_EQ(7u, cTimer().GetCurrentTimeMs());
    FakeClock.Ns = (WrapMs + 3) * Ms;
    EXPECT_EQ(3u, cTimer().GetCurrentTimeMs());
    FakeClock.Ns = (WrapMs - 5) * Ms;
    cTimer Timer(20);
    FakeClock.Ns += 15 * Ms;
    EXPECT_EQ(15u, Timer.GetElapsedMs());
    FakeClock.Ns += 6 * Ms;
    EXPECT_TRUE(Timer.HasTimedOut());
    EXPECT_DEATH((FakeClock.Fails = true, Timer.GetCurrentTimeMs()), "0 <= Result") << "a failing clock is fatal";
}
