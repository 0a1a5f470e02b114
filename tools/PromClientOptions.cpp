// PromClientOptions: the options every client command has (--zmq-dir,
// --timeout, --help).
#include "PromClientOptions.h"

#include "PromContract.h"

namespace
{
const long MaxTimeoutS = 3600;
}

void ClientOptionsUsage(FILE* pOut, long DefaultTimeoutS)
{
    fprintf(pOut,
        "  --zmq-dir DIR      directory of the service's ipc endpoints (default %s;\n"
        "                     from outside a simulated unit: /proc/PID/root/dev/shm/zmq)\n"
        "  --timeout SECONDS  longest wait, 1 to %ld (default %ld)\n"
        "  -h, --help         show this help\n",
        PromZmqDir, MaxTimeoutS, DefaultTimeoutS);
}

CommandOption_s TimeoutOption(const char* pCommand, long* pTimeoutS)
{
    return CheckedOption("timeout", [pCommand, pTimeoutS](const char* pValue) {
        if (!ParseNumber(pValue, 1, MaxTimeoutS, pTimeoutS))
        {
            return false;
        }
        UsageError(pCommand, "--timeout '%s': expected whole seconds from 1 to %ld", pValue, MaxTimeoutS);
        return true;
    });
}

CommandLine_s ClientCommandLine(const char* pCommand, void (*pUsage)(FILE*), long DefaultTimeoutS,
                                ClientOptions_s* pOptions)
{
    pOptions->ZmqDir = PromZmqDir;
    pOptions->TimeoutS = DefaultTimeoutS;
    CommandOption_s ZmqDir = CheckedOption("zmq-dir", [pCommand, pOptions](const char* pValue) {
        if (pValue[0] == '\0')
        {
            UsageError(pCommand, "--zmq-dir: empty directory name");
            return true;
        }
        pOptions->ZmqDir = pValue;
        // "dir/" and "dir" name the same endpoints.
        while (pOptions->ZmqDir.size() > 1 && pOptions->ZmqDir.back() == '/')
        {
            pOptions->ZmqDir.pop_back();
        }
        return false;
    });
    return {pCommand, pUsage, {ZmqDir, TimeoutOption(pCommand, &pOptions->TimeoutS)}};
}

int ParseClientCommandLine(int argc, char* argv[], const CommandLine_s& Line, const ClientOptions_s& Options)
{
    int Status = ParseCommandLine(argc, argv, Line);
    if (Status >= 0)
    {
        return Status;
    }
    return ZmqDirIsMissing(Line.pCommand, Options) ? ExitFailed : -1;
}
