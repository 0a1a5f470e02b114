// Main: entry point of the EEPROM manager.
//
// Run without arguments, as the unit starts it: takes the unit's
// single-instance lock, prints the banner, builds the service, removes the
// leftover utility programs, runs the event loop until a stop request or an
// interrupt, takes the service down and exits with status 0.
// -h, --help and --version print and exit 0 without touching the unit; any
// other argument is named in a warning and ignored. A second instance on a
// unit whose manager runs names the running one and exits with status 1
// before it touches the chip, an endpoint or /root/zel_sysapp. Only a live
// holder keeps it from starting: a lock that cannot be taken (the endpoint
// directory missing or not writable, something at the lock's path that
// cannot be replaced) costs one warning, and the service runs unguarded,
// reporting its failed binds as usual, rather than leave the unit without
// heartbeat, identity and stop channel.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "InstanceLock.h"
#include "MainCzmq.h"
#include "PromContract.h"
#include "UtilityAppDelete.h"

namespace
{
const char* const UsageText = "Usage: eeprom-manager [-h | --help | --version]\n";
// With the chip's address and bus, and the endpoints and topics.
const char* const HelpFormat =
    "\n"
    "The unit's EEPROM manager. It reads the identity record from the EEPROM at\n"
    "0x%02x on I2C bus %u, publishes it on %s every second,\n"
    "renames the unit on \"%s\" commands at %s, sends\n"
    "heartbeats to %s/%s, and stops on a \"%s\" request\n"
    "from %s or on SIGINT/SIGTERM. Reports go to standard\n"
    "output. Run it without arguments; one instance runs per unit.\n"
    "\n"
    "  -h, --help  print this text and exit\n"
    "  --version   print the version and exit\n"
    "\n"
    "Any other argument is ignored, with a warning.\n";
const int ExitAlreadyRunning = 1;
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
            printf("%s", UsageText);
            printf(HelpFormat, PromI2cAddress, static_cast<unsigned>(PromI2cBus), PromStatEndpoint, SetPromTopic,
                   PromCmdEndpoint, "ipc://" PROM_ZMQ_DIR, HbBeatsName, ServiceStopTopic, SysCntlEndpoint);
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
        // Without the endpoint directory (ENOENT) there is nothing to guard
        // and the failed binds say so; otherwise name the cause once.
        fprintf(stderr, "Warning: no single-instance lock (%s); running without it.\n", InstanceLockFailure());
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
