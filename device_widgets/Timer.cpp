// Timer: polled millisecond time-outs on CLOCK_MONOTONIC.
#include "Timer.h"

#include <cassert>
#include <ctime>

cTimer::cTimer()
{
    ClearTimer();
    NumMs = 0;
}

cTimer::cTimer(uint32_t InitNumMsToTimeout)
{
    StartTimeMs = GetCurrentTimeMs();
    NumMs = InitNumMsToTimeout;
    TimerIsRunning = true;
}

void cTimer::Start()
{
    if (!TimerIsRunning)
    {
        Restart();
    }
}

void cTimer::Restart()
{
    StartTimeMs = GetCurrentTimeMs();
    TimerIsRunning = true;
}

void cTimer::Restart(uint32_t newTimeout)
{
    StartTimeMs = GetCurrentTimeMs();
    NumMs = newTimeout;
    TimerIsRunning = true;
}

bool cTimer::HasTimedOut()
{
    if (!TimerIsRunning)
    {
        return true;
    }
    // Strictly greater: at exactly NumMs the time-out has not passed yet.
    if (GetElapsedMs() > NumMs)
    {
        ClearTimer();
        return true;
    }
    return false;
}

bool cTimer::Stop()
{
    if (!TimerIsRunning)
    {
        return false;
    }
    uint32_t Elapsed = GetElapsedMs();
    ClearTimer();
    return Elapsed > NumMs;
}

void cTimer::SetTimeout(uint32_t newTimeout)
{
    ClearTimer();
    NumMs = newTimeout;
}

uint32_t cTimer::GetElapsedMs()
{
    // Unsigned subtraction measures correctly across a wrap of the reading.
    return GetCurrentTimeMs() - StartTimeMs;
}

uint32_t cTimer::GetCurrentTimeMs()
{
    struct timespec Now = {};
    int Result = clock_gettime(CLOCK_MONOTONIC, &Now);
    assert(0 <= Result);
    // Deliberately 32-bit: the seconds product wraps modulo 2^32 and the
    // nanoseconds are truncated to whole milliseconds.
    return static_cast<uint32_t>(Now.tv_sec) * 1000u
         + static_cast<uint32_t>(Now.tv_nsec / 1000000);
}

void cTimer::ClearTimer()
{
    StartTimeMs = GetCurrentTimeMs();
    TimerIsRunning = false;
}
