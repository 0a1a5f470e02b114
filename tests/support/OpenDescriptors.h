// OpenDescriptors: how many descriptors the test process has open, for
// tests that check an operation leaves none behind.
#ifndef TESTS_SUPPORT_OPENDESCRIPTORS_H
#define TESTS_SUPPORT_OPENDESCRIPTORS_H

#include <dirent.h>

// Counts the entries of /proc/self/fd (the directory's own descriptor and
// "." and ".." included, the same at every call); -1 when it cannot be read.
inline int OpenDescriptors()
{
    DIR* pDir = opendir("/proc/self/fd");
    if (pDir == nullptr)
    {
        return -1;
    }
    int Count = 0;
    while (readdir(pDir) != nullptr)
    {
        Count++;
    }
    closedir(pDir);
    return Count;
}

#endif
