// FuzzSeeds: the check every fuzz target makes on its seed corpus.
// scripts/fuzz runs each target once over its seeds (-runs=0) with
// FUZZ_SEED_CHECK set: then every seed must reach the code under test, or
// the target aborts, so a target that no longer feeds that code fails at
// once instead of fuzzing a usage message for months. While fuzzing, inputs
// that do not reach it are as welcome as any.
#ifndef TESTS_FUZZ_FUZZSEEDS_H
#define TESTS_FUZZ_FUZZSEEDS_H

#include <cstddef>
#include <cstdio>
#include <cstdlib>

inline bool SeedCheck()
{
    static const bool Checking = getenv("FUZZ_SEED_CHECK") != nullptr;
    return Checking;
}

// In the seed check, aborts unless the input of Size bytes Reached the code
// under test (pWhat: what it should have reached). The empty input that
// libFuzzer runs first is no seed.
inline void SeedReached(bool Reached, size_t Size, const char* pWhat)
{
    if (SeedCheck() && Size > 0 && !Reached)
    {
        fprintf(stderr, "Error: a seed did not reach %s\n", pWhat);
        abort();
    }
}

#endif
