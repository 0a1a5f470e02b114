// Main: entry point of the EEPROM manager.
//
// Prints the banner, builds the service, removes the leftover utility
// programs, runs the event loop until a stop request or an interrupt, takes
// the service down and exits with status 0.
#include <cstdio>

#include "MainCzmq.h"
#include "UtilityAppDelete.h"

namespace
{
const char* const VersionText = "v2.8-38";
}

int main(int argc, char* argv[])
{
    (void)argc;
    (void)argv;
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
