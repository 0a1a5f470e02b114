// cTimer against a clock the test controls.
#include <gtest/gtest.h>

#include "FakeClock.h"
#include "Timer.h"

namespace
{
// 2^32 ms: where the 32-bit millisecond reading wraps.
const uint64_t WrapMs = 1ull << 32;

class TimerTest : public ::testing::Test
{
protected:
    void SetUp() override { FakeClockSetMs(1000000); }
    void TearDown() override { FakeClockRelease(); }
};

TEST_F(TimerTest, TimesOutOnlyAfterMoreThanNumMs)
{
    cTimer Timer(20);
    EXPECT_FALSE(Timer.HasTimedOut());
    FakeClockAdvanceMs(20);
    EXPECT_FALSE(Timer.HasTimedOut()) << "exactly NumMs elapsed is not yet a time-out";
    EXPECT_TRUE(Timer.IsRunning());
    FakeClockAdvanceMs(1);
    EXPECT_TRUE(Timer.HasTimedOut());
    EXPECT_FALSE(Timer.IsRunning()) << "a time-out stops the timer";
    EXPECT_TRUE(Timer.HasTimedOut()) << "and it keeps reporting it";
}

TEST_F(TimerTest, StoppedTimersCountAsTimedOut)
{
    cTimer Default;
    EXPECT_FALSE(Default.IsRunning());
    EXPECT_TRUE(Default.HasTimedOut());

    cTimer Running(100);
    Running.SetTimeout(100);
    EXPECT_FALSE(Running.IsRunning()) << "setting the time-out stops the timer";
    EXPECT_TRUE(Running.HasTimedOut());
}

TEST_F(TimerTest, StartKeepsARunningTimersStartButRestartMovesIt)
{
    cTimer Timer(10);
    FakeClockAdvanceMs(8);
    Timer.Start();
    FakeClockAdvanceMs(3);
    EXPECT_EQ(11u, Timer.GetElapsedMs());
    EXPECT_TRUE(Timer.HasTimedOut());

    cTimer Other(10);
    FakeClockAdvanceMs(8);
    Other.Restart();
    FakeClockAdvanceMs(3);
    EXPECT_EQ(3u, Other.GetElapsedMs());
    EXPECT_FALSE(Other.HasTimedOut());

    Other.Restart(2);
    FakeClockAdvanceMs(3);
    EXPECT_TRUE(Other.HasTimedOut()) << "Restart(newTimeout) replaces the time-out";

    cTimer Stopped;
    Stopped.SetTimeout(5);
    FakeClockAdvanceMs(50);
    Stopped.Start();
    EXPECT_TRUE(Stopped.IsRunning());
    EXPECT_FALSE(Stopped.HasTimedOut()) << "Start on a stopped timer times from now";
}

TEST_F(TimerTest, StopTellsWhetherTheTimeOutHadPassed)
{
    cTimer Stopped;
    EXPECT_FALSE(Stopped.Stop());

    cTimer Zero(0);
    EXPECT_FALSE(Zero.Stop()) << "within the same millisecond";
    Zero.Restart();
    FakeClockAdvanceMs(1);
    EXPECT_TRUE(Zero.Stop());
    EXPECT_FALSE(Zero.IsRunning());
    EXPECT_FALSE(Zero.Stop()) << "a second Stop finds it stopped";
}

TEST_F(TimerTest, MeasuresAcrossTheWrapOfTheMillisecondReading)
{
    FakeClockSetMs(WrapMs - 5);
    cTimer Timer(20);
    FakeClockAdvanceMs(15);     // the reading is now 10, just past the wrap
    EXPECT_EQ(15u, Timer.GetElapsedMs());
    EXPECT_FALSE(Timer.HasTimedOut());
    FakeClockAdvanceMs(6);
    EXPECT_TRUE(Timer.HasTimedOut());
}

TEST_F(TimerTest, ReadingIsTruncatedToWholeMilliseconds)
{
    cTimer Timer;
    FakeClockSetMs(7, 999999);
    EXPECT_EQ(7u, Timer.GetCurrentTimeMs());
    FakeClockSetMs(WrapMs + 3);
    EXPECT_EQ(3u, Timer.GetCurrentTimeMs()) << "seconds times 1000 wraps modulo 2^32";
}

TEST_F(TimerTest, ElapsedOnAStoppedTimerCountsFromWhenItWasCleared)
{
    cTimer Timer(5);
    FakeClockAdvanceMs(9);
    EXPECT_TRUE(Timer.HasTimedOut());
    FakeClockAdvanceMs(4);
    EXPECT_EQ(4u, Timer.GetElapsedMs());
}

TEST(TimerDeathTest, FailingClockIsFatal)
{
    EXPECT_DEATH(
        {
            FakeClockSetFailing(true);
            cTimer Timer(1);
        },
        "0 <= Result");
}

TEST(TimerRealClockTest, FollowsTheMonotonicClock)
{
    FakeClockRelease();
    cTimer Timer(30);
    struct timespec Pause = {0, 60 * 1000 * 1000};
    nanosleep(&Pause, nullptr);
    EXPECT_GE(Timer.GetElapsedMs(), 60u);
    EXPECT_TRUE(Timer.HasTimedOut());
}
}
