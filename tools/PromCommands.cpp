// PromCommands: promtool's whole command line: its commands by their first
// word, --help and --version.
//
//   promtool image create|batch|show ...   make or read chip images
//   promtool ledger init|show|export|mark-written ...   the identities issued
//   promtool chip read|show|write ...   the identity EEPROM itself, on the unit
//   promtool watch|set-name|stop|status ...   talk to a running service
#include "PromCommands.h"

#include <cstdio>
#include <cstring>

#include "PromBatch.h"
#include "PromChip.h"
#include "PromClientListen.h"
#include "PromClientSend.h"
#include "PromCommandLine.h"
#include "PromDoctor.h"
#include "PromContract.h"
#include "PromImage.h"
#include "PromLedgerCommand.h"
#include "PromOutput.h"

namespace
{
void Usage(FILE* pOut)
{
    fprintf(pOut,
        "Usage: promtool COMMAND [ARGS...]\n"
        "\n"
        "Chip images (on any machine):\n"
        "  image create --serial NNNNNN --mac MAC [--name NAME] [--force] [--json] -o IMAGE\n"
        "  image create --from FILE [--serial NNNNNN] [--mac MAC] [--name NAME] [--force] -o IMAGE\n"
        "  image show IMAGE [--mac MAC] [--dump] [--json]\n"
        "  image batch --csv FILE [--ledger LEDGER] [--json] -o DIR\n"
        "  image batch --serials FIRST-LAST --macs FIRST-LAST --count N [--name NAME] -o DIR\n"
        "\n"
        "The ledger of issued identities (on any machine; LEDGER: an SQLite file or a\n"
        "PostgreSQL connection string, default $%s):\n"
        "  ledger init [--ledger LEDGER]\n"
        "  ledger show (--serial NNNNNN | --mac MAC) [--ledger LEDGER] [--json]\n"
        "  ledger export [--json] [--ledger LEDGER]\n"
        "  ledger mark-written RESULT [--ledger LEDGER]\n"
        "\n"
        "The identity EEPROM (on the unit):\n"
        "  chip read -o FILE [--force] [--json]        the whole chip into a chip image\n"
        "  chip show [--mac MAC] [--dump] [--json]     decode the chip\n"
        "  chip write FILE [--yes] [--allow-invalid] [--json] [--ledger LEDGER]\n"
        "                                              write a chip image to the chip\n"
        "  doctor [--json] [--timeout SECONDS]         check what the identity depends on\n"
        "\n"
        "A running eeprom-manager (on the unit; each also takes --zmq-dir DIR and\n"
        "--timeout SECONDS):\n"
        "  watch [--count N]          print each identity message and heartbeat\n"
        "  set-name [--no-wait] NAME  rename the unit\n"
        "  stop                       ask the service to stop\n"
        "  status [--json]            wait for one identity message and one heartbeat\n"
        "\n"
        "-h or --help shows this, and each command's own; --version shows promtool's\n"
        "version. Every command that prints a result prints it as JSON for --json.\n"
        "Exit status: 0 done, 1 failed, 2 usage error, 130 interrupted.\n"
        "Examples:\n"
        "  promtool image create --serial 123456 --mac 02:00:00:00:00:01 --name \"Unit A\" -o chip.bin\n"
        "  promtool set-name \"Bench 7\"\n",
        LedgerVariable);
}

// promtool image ...: image batch is a module of its own that builds on the
// image module, so the word after "image" picks it here rather than in the
// image module, which then need not know the batch.
int ImageCommand(int argc, char* argv[])
{
    if (argc >= 2 && 0 == strcmp(argv[1], "batch"))
    {
        return PromBatchCommand(argc - 1, argv + 1);
    }
    return PromImageCommand(argc, argv);
}

// Every command, by its word; each gets the command line from that word on.
const struct
{
    const char* pWord;
    int (*pRun)(int argc, char* argv[]);
} Commands[] = {
    {"image", ImageCommand}, {"ledger", PromLedgerCommand}, {"chip", PromChipCommand},
    {"doctor", PromDoctorCommand}, {"watch", WatchCommand},     {"set-name", SetNameCommand},
    {"stop", StopCommand},       {"status", StatusCommand},
};

int Run(int argc, char* argv[])
{
    if (argc < 2)
    {
        return UsageError("", "no command given");
    }
    const char* pWord = argv[1];
    if (0 == strcmp(pWord, "-h") || 0 == strcmp(pWord, "--help"))
    {
        Usage(stdout);
        return ExitOk;
    }
    if (0 == strcmp(pWord, "--version"))
    {
        printf("promtool %s\n", PromVersionText);
        return ExitOk;
    }
    for (const auto& Command : Commands)
    {
        if (0 == strcmp(pWord, Command.pWord))
        {
            return Command.pRun(argc - 1, argv + 1);
        }
    }
    return UsageError("", "unknown command '%s'", pWord);
}
}

int PromToolMain(int argc, char* argv[])
{
    return FinishOutput(Run(argc, argv));
}
