// wake-baseline: the CPU time this machine accounts to a thread that only
// sleeps in poll() and wakes once a second, the floor under any one-second
// tick. Prints microseconds per wake-up.
#include <cstdio>
#include <cstdlib>
#include <poll.h>

namespace
{
long long ThreadCpuNs()
{
    long long Ns = 0;
    FILE* pFile = fopen("/proc/thread-self/schedstat", "r");
    if (pFile != nullptr)
    {
        if (fscanf(pFile, "%lld", &Ns) != 1)
        {
            Ns = 0;
        }
        fclose(pFile);
    }
    return Ns;
}
}

int main(int argc, char* argv[])
{
    int Wakeups = argc > 1 ? atoi(argv[1]) : 10;
    long long Start = ThreadCpuNs();
    for (int i = 0; i < Wakeups; i++)
    {
        poll(nullptr, 0, 1000);
    }
    printf("%.1f\n", (ThreadCpuNs() - Start) / 1000.0 / Wakeups);
    return 0;
}
