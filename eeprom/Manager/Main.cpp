// Main: entry point of the EEPROM manager.
//
// Run without arguments, as the unit starts it: takes the unit's
// single-instance lock, prints the banner, builds the service, removes the
// leftover utility programs, runs the event loop until a stop request or an
// interrupt, takes the service down and exits with status 0.
// --help and --version print and exit 0 without touching the unit; any
// other argument is named in a warning and ignored. A second instance on a
// unit whose manager runs names the running one and exits with status 1
// before it touches the chip, an endpoint or /root/zel_sysapp; so does an
// instance that cannot take the lock in an existing endpoint directory.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "InstanceLock.h"
#include "MainCzmq.h"
#include "PromContract.h"
#include "UtilityAppDelete.h"

namespace
{
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
    "  --version  print the version and exit\n"
    "\n"
    "Any other argument is ignored, with a warning.\n";
const int ExitAlreadyRunning = 1;
const int ExitNoLock = 1;
}

int main(int argc, char* argv[])
{
    // The service takes no options. Launchers may pass arguments anyway: they
    // are named and ignored, so a unit file with a stray argument still runs
    // the service instead of failing (and restarting) for ever.
    for (int Index = 1; Index < argc; Index++)
    {
        if (0 == strcmp(argv[Index], "--help") || 0 == strcmp(argv[Index], "-h"))
        {
            printf("%s%s", UsageText, HelpText);
            return 0;
        }
        if (0 == strcmp(argv[Index], "--version"))
        {
            printf("eeprom-manager %s\n", PromVersionText);
            return 0;
        }
    }
    for (int Index = 1; Index < argc; Index++)
    {
        fprintf(stderr, "Warning: argument '%s' ignored: eeprom-manager takes no options (see --help).\n",
                argv[Index]);
    }

    pid_t Holder = InstanceLockTake();
    if (Holder > 0)
    {
        char HolderText[80];
        fprintf(stderr, "Error: eeprom-manager is already running on this unit (%s); not starting another.\n",
                InstanceLockDescribe(Holder, HolderText, sizeof(HolderText)));
        return ExitAlreadyRunning;
    }
    if (Holder < 0 && ENOENT != errno)
    {
        // A lock path someone else controls: running unguarded would let a
        // second manager start beside this one.
        fprintf(stderr, "Error: no single-instance lock (%s); not starting.\n", InstanceLockFailure());
        return ExitNoLock;
    }

    // Under systemd or a test, standard output is a pipe: line buffering
    // delivers every report as it happens instead of in 4 KiB blocks.
    setvbuf(stdout, nullptr, _IOLBF, 0);

    printf("\n\n EEPROM:   Manager Version %s.\n\n", PromVersionText);
    InitCzmqLoop();
    UtilityAppDelete();
    RunCzmqLoop();
    CleanupCzmqLoop();
    return 0;
}
