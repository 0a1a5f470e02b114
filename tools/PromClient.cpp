// PromClient: the options every client command has (--zmq-dir, --timeout,
// --help, and --count, --no-wait, --json where a command has them), and the
// dispatch to the commands.
#include "PromClient.h"

#include <cstring>
#include <getopt.h>
#include <vector>

#include "PromClientListen.h"
#include "PromClientSend.h"
#include "PromToolCommon.h"

namespace
{
const long MaxTimeoutS = 3600;

// Option codes shared by the commands (beyond the single-letter ones).
enum eOptionCodes
{
    OPT_ZMQ_DIR = 1000,
    OPT_TIMEOUT,
    OPT_COUNT,
    OPT_NO_WAIT,
    OPT_JSON
};
}

void ClientOptionsUsage(FILE* pOut, long DefaultTimeoutS)
{
    fprintf(pOut,
        "  --zmq-dir DIR      directory of the service's ipc endpoints (default %s;\n"
        "                     from outside a simulated unit: /proc/PID/root/dev/shm/zmq)\n"
        "  --timeout SECONDS  longest wait, 1 to %ld (default %ld)\n"
        "  -h, --help         show this help\n",
        DefaultZmqDir, MaxTimeoutS, DefaultTimeoutS);
}

int ParseClientOptions(int argc, char* argv[], void (*pUsage)(FILE*), long DefaultTimeoutS,
                       ClientOptions_s* pOptions, long* pCount, bool* pNoWait, bool* pJson)
{
    std::vector<option> Options = {{"zmq-dir", required_argument, nullptr, OPT_ZMQ_DIR},
                                   {"timeout", required_argument, nullptr, OPT_TIMEOUT},
                                   {"help", no_argument, nullptr, 'h'}};
    if (pCount != nullptr)
    {
        Options.push_back({"count", required_argument, nullptr, OPT_COUNT});
    }
    if (pNoWait != nullptr)
    {
        Options.push_back({"no-wait", no_argument, nullptr, OPT_NO_WAIT});
    }
    if (pJson != nullptr)
    {
        Options.push_back({"json", no_argument, nullptr, OPT_JSON});
    }
    Options.push_back({nullptr, 0, nullptr, 0});

    const char* pCommand = argv[0];
    pOptions->ZmqDir = DefaultZmqDir;
    pOptions->TimeoutS = DefaultTimeoutS;
    cOptionParser Parser(argc, argv, "h", Options.data(), pCommand);
    for (int Option; (Option = Parser.Next()) != -1;)
    {
        switch (Option)
        {
        case 'h':
            pUsage(stdout);
            return ExitOk;
        case OPT_ZMQ_DIR:
            if (optarg[0] == '\0')
            {
                return UsageError(pCommand, "--zmq-dir: empty directory name");
            }
            pOptions->ZmqDir = optarg;
            // "dir/" and "dir" name the same endpoints.
            while (pOptions->ZmqDir.size() > 1 && pOptions->ZmqDir.back() == '/')
            {
                pOptions->ZmqDir.pop_back();
            }
            break;
        case OPT_TIMEOUT:
            if (ParseNumber(optarg, 1, MaxTimeoutS, &pOptions->TimeoutS))
            {
                return UsageError(pCommand, "--timeout '%s': expected whole seconds from 1 to %ld", optarg,
                                  MaxTimeoutS);
            }
            break;
        case OPT_COUNT:
            if (ParseNumber(optarg, 1, 1000000, pCount))
            {
                return UsageError(pCommand, "--count '%s': expected a number from 1 to 1000000", optarg);
            }
            break;
        case OPT_NO_WAIT:
            *pNoWait = true;
            break;
        case OPT_JSON:
            *pJson = true;
            break;
        default:
            return ExitUsage;
        }
    }
    return -1;
}

int RejectArguments(int argc, char* argv[])
{
    if (optind == argc)
    {
        return -1;
    }
    return UsageError(argv[0], "unexpected argument '%s'", argv[optind]);
}

int PromClientCommand(int argc, char* argv[])
{
    const char* pCommand = argv[0];
    if (0 == strcmp(pCommand, "watch"))
    {
        return WatchCommand(argc, argv);
    }
    if (0 == strcmp(pCommand, "set-name"))
    {
        return SetNameCommand(argc, argv);
    }
    if (0 == strcmp(pCommand, "stop"))
    {
        return StopCommand(argc, argv);
    }
    if (0 == strcmp(pCommand, "status"))
    {
        return StatusCommand(argc, argv);
    }
    return -1;
}
