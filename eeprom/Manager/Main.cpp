// Main: entry point of the EEPROM manager.
//
// Run without arguments, as the unit starts it: takes the chip's lock (one
// writer per chip, ChipLock), prints the banner, builds the service, removes
// the leftover utility programs, runs the event loop until a stop request or
// an interrupt, takes the service down and exits with status 0.
// -h, --help and --version print and exit 0 without touching the unit; any
// other argument is named in a warning and ignored. While another process
// holds the chip (a running manager, or promtool writing it), the service
// names that holder and exits with status 1 before it touches the chip, an
// endpoint or /root/zel_sysapp. Only a live holder keeps it from starting: a
// lock that cannot be set for any other reason costs one warning, and
// without bus 1 the bus table reports the missing bus and the record's
// start-up then stops the service (a fatal assertion).
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "ChipLock.h"
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
    "heartbeats to %s, and stops on a \"%s\" request\n"
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
                   PromCmdEndpoint, HbEndpoint, ServiceStopTopic, SysCntlEndpoint);
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

    ChipHolder_s Holder;
    eChipLock Lock = ChipLockTake(&Holder);
    if (CHIP_LOCK_HELD == Lock)
    {
        char HolderText[96];
        if (ChipHolderIsManager(Holder))
        {
            fprintf(stderr, "Error: eeprom-manager is already running on this unit (pid %d); not starting another.\n",
                    static_cast<int>(Holder.Pid));
        }
        else
        {
            fprintf(stderr, "Error: the unit's identity chip (%s) is held by %s; not starting while it is.\n",
                    PromBusPath, ChipHolderText(Holder, HolderText, sizeof(HolderText)));
        }
        return ExitAlreadyRunning;
    }
    if (CHIP_LOCK_FAILED == Lock)
    {
        fprintf(stderr, "Warning: cannot lock the unit's identity chip (%s: %s); running without the lock.\n",
                PromBusPath, strerror(errno));
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
