// Timer: a polled time-out timer with millisecond resolution.
//
// cTimer reads the system's monotonic clock on every query; it never calls
// back and never blocks. Its owner starts it and asks from time to time
// whether the time-out has passed. Clock readings are 32-bit milliseconds that
// wrap every 2^32 ms (about 49.7 days); differences are taken in unsigned
// 32-bit arithmetic, so any interval shorter than that is measured correctly
// across a wrap.
#ifndef DEVICE_WIDGETS_TIMER_H
#define DEVICE_WIDGETS_TIMER_H

#include <cstdint>

class cTimer
{
public:
    // Stopped timer with a time-out of 0 ms.
    cTimer();
    // Running timer that times out after InitNumMsToTimeout ms.
    explicit cTimer(uint32_t InitNumMsToTimeout);

    // Starts a stopped timer; a running timer keeps its start time.
    void Start();
    // Starts timing again from now with the current time-out.
    void Restart();
    // Starts timing again from now with a new time-out.
    void Restart(uint32_t newTimeout);
    bool IsRunning() const { return TimerIsRunning; }
    // True when the timer is stopped, or when more than NumMs ms have passed
    // since it was started; in the latter case the timer stops.
    bool HasTimedOut();
    // Stops the timer. Returns true when the time-out had already passed,
    // false when it had not or the timer was not running.
    bool Stop();
    // Sets a new time-out and stops the timer.
    void SetTimeout(uint32_t newTimeout);
    // Milliseconds since the timer was last started, restarted or cleared.
    uint32_t GetElapsedMs();
    // The monotonic clock in milliseconds, truncated to 32 bits.
    // A failing clock is a fatal assertion.
    uint32_t GetCurrentTimeMs();

private:
    void ClearTimer();

    uint32_t StartTimeMs;   // clock reading when last started or cleared
    uint32_t NumMs;         // time-out length in ms
    bool TimerIsRunning;    // true while a time-out is being timed
};

#endif
