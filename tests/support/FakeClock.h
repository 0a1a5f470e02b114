// FakeClock: lets a test binary set what CLOCK_MONOTONIC reads.
//
// The test binary defines clock_gettime itself; the product code calls
// clock_gettime as always and reaches this definition, which returns the fake
// reading while one is set and otherwise forwards to the C library.
#ifndef TESTS_SUPPORT_FAKECLOCK_H
#define TESTS_SUPPORT_FAKECLOCK_H

#include <cstdint>

// From now on CLOCK_MONOTONIC reads Ms milliseconds (plus ExtraNs).
void FakeClockSetMs(uint64_t Ms, uint32_t ExtraNs = 0);
// Moves the fake reading forward by Ms milliseconds.
void FakeClockAdvanceMs(uint64_t Ms);
// Makes clock_gettime fail with EINVAL while set.
void FakeClockSetFailing(bool Failing);
// Back to the real clock.
void FakeClockRelease();

#endif
