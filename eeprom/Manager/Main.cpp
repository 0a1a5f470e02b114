// Main: entry point of the EEPROM manager.
//
// Run without arguments, as the unit starts it: takes the unit's
// single-instance lock, prints the banner, builds the service, removes the
// leftover utility programs, runs the event loop until a stop request or an
// interrupt, takes the service down and exits with status 0.
// --help and --version print and exit 0 without touching the unit; any
// other argument is a usage error (exit status 2). A second instance on a
// unit whose manager runs names the running one and exits with status 1
// before it touches the chip, an endpoint or /root/zel_sysapp.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "InstanceLock.h"
#include "MainCzmq.h"
#include "UtilityAppDelete.h"

namespace
{
const char* const VersionText = "v2.8-38";
const char* const UsageText = "Usage: eeprom-manager [--help | --version]\n";
const char* const HelpText =
    "\n"
    "The unit's EEPROM manager. It reads the identity record from the EEPROM at\n"
    "0x50 on I2C bus 1, publishes it on ipc:///run/shm/zmq/PromStat every second,\n"
    "renames the unit on \"Set Prom\" commands at ipc:///run/shm/zmq/PromCmd, sends\n"
    "heartbeats to ipc:///run/shm/zmq/HbBeats, and stops on a \"ServiceStop\" request\n"
    "from ipc:///run/shm/zmq/SysCntl or on SIGINT/SIGTERM. Reports go to standard\n"
    "output. Run it without arguments; one instance runs per unit.\n"
    "\n"
    "  --help     print this text and exit\n"
    "  --version  print the version and exit\n";
const int ExitAlreadyRunning = 1;
const int ExitUsage = 2;
}

int main(int argc, char* argv[])
{
    if (argc > 1)
    {
        if (argc == 2 && (0 == strcmp(argv[1], "--help") || 0 == strcmp(argv[1], "-h")))
        {
            printf("%s%s", UsageText, HelpText);
            return 0;
        }
        if (argc == 2 && 0 == strcmp(argv[1], "--version"))
        {
            printf("eeprom-manager %s\n", VersionText);
            return 0;
        }
        fprintf(stderr, "Error: unexpected argument '%s'\n%s", argv[1], UsageText);
        return ExitUsage;
    }

    pid_t Holder = InstanceLockTake();
    if (Holder > 0)
    {
        fprintf(stderr, "Error: eeprom-manager is already running on this unit (pid %d); not starting another.\n",
                static_cast<int>(Holder));
        return ExitAlreadyRunning;
    }
    if (Holder < 0 && ENOENT != errno)
    {
        // Runs all the same: refusing would leave the unit without identity.
        fprintf(stderr, "Warning: no single-instance lock (%s: %s).\n", InstanceLockPath, strerror(errno));
    }

    // Under systemd or a test, standard output is a pipe: line buffering
    // delivers every report as it happens instead of in 4 KiB blocks.
    setvbuf(stdout, nullptr, _IOLBF, 0);

    printf("\n\n EEPROM:   Manager Version %s.\n\n", VersionText);
    InitCzmqLoop();
    UtilityAppDelete();
    RunCzmqLoop();
    CleanupCzmqLoop();
    return 0;
}
