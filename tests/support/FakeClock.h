// FakeClock: a monotonic clock that a test sets. A test binary that links
// FakeClock.cpp interposes clock_gettime and usleep. While FakeClock.Set is
// true, CLOCK_MONOTONIC reads FakeClock.Ns (or fails with EINVAL while
// FakeClock.Fails), time stands still, and each usleep moves it
// FakeClock.PauseNs on, however long the pause asked for (as on a loaded
// machine). Otherwise both are the C library's.
#ifndef TESTS_SUPPORT_FAKECLOCK_H
#define TESTS_SUPPORT_FAKECLOCK_H

#include <cstdint>

struct FakeClock_s
{
    bool Set;           // the fake clock is in force
    bool Fails;         // clock_gettime fails (EINVAL) while set
    uint64_t Ns;        // the monotonic time, in ns
    uint64_t PauseNs;   // how far each usleep moves it
};

extern FakeClock_s FakeClock;

const uint64_t Ms = 1000000;    // in ns

#endif
