// PromClientListen: promtool watch and promtool status.
//
//   watch   SUB connected to PromStat, SUB bound at HbBeats: prints each
//           identity message and heartbeat with a time stamp. The time-out
//           runs from the last message, so a service that stops while we
//           watch is noticed.
//   status  one identity message and one heartbeat (PromServiceProbe), or
//           says which is missing.
#include "PromClientListen.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include <czmq.h>
#include <jansson.h>

#include "PromClientOptions.h"
#include "PromCommandLine.h"
#include "PromContract.h"
#include "PromEndpoints.h"
#include "PromOutput.h"
#include "PromServiceProbe.h"

namespace
{
const long WatchDefaultTimeoutS = 5;
const long StatusDefaultTimeoutS = 3;


// The wall-clock time as "YYYY-MM-DD HH:MM:SS.mmm" (local time).
std::string TimeStamp()
{
    timespec Now;
    clock_gettime(CLOCK_REALTIME, &Now);
    struct tm Local;
    localtime_r(&Now.tv_sec, &Local);
    char Text[32];
    strftime(Text, sizeof(Text), "%Y-%m-%d %H:%M:%S", &Local);
    char Stamp[48];
    snprintf(Stamp, sizeof(Stamp), "%s.%03ld", Text, Now.tv_nsec / 1000000L);
    return Stamp;
}

// Prints one frame as WireText, so that each message stays on one line and
// puts no control sequence on the terminal.
void PrintFrame(const zframe_t* pFrame)
{
    const char* pData = reinterpret_cast<const char*>(zframe_data(const_cast<zframe_t*>(pFrame)));
    fputs(WireText(std::string(pData, zframe_size(const_cast<zframe_t*>(pFrame)))).c_str(), stdout);
}

}

bool PrintStampedMessage(zmsg_t* pMessage, bool Json)
{
    if (Json)
    {
        json_t* pjtMessage = json_pack("{s:s, s:o, s:o}", "time", TimeStamp().c_str(), "topic",
                                       WireJson(FrameText(pMessage, 0)), "body",
                                       zmsg_size(pMessage) > 1 ? WireJson(FrameText(pMessage, 1)) : json_null());
        PrintJson(pjtMessage, JSON_COMPACT);
        return fflush(stdout) != 0 || ferror(stdout);
    }
    fputs(TimeStamp().c_str(), stdout);
    for (zframe_t* pFrame = zmsg_first(pMessage); pFrame != nullptr; pFrame = zmsg_next(pMessage))
    {
        putchar(' ');
        PrintFrame(pFrame);
    }
    putchar('\n');
    return fflush(stdout) != 0 || ferror(stdout);
}

namespace
{
void WatchUsage(FILE* pOut)
{
    fprintf(pOut,
        "Usage: promtool watch [--count N] [--json] [--zmq-dir DIR] [--timeout SECONDS]\n"
        "\n"
        "Prints each identity message (\"PromInfo\") and each heartbeat (\"HbMon\")\n"
        "of the running eeprom-manager, one line each with a time stamp, until\n"
        "interrupted (Ctrl-C: exit status 130) or N messages have been shown.\n"
        "Fails when nothing arrives for SECONDS. When a health monitor already\n"
        "owns the heartbeat endpoint, only identity messages are shown.\n"
        "\n"
        "  --count N          stop after N messages (1 to 1000000)\n"
        "  --json             a JSON object per line and message: \"time\", \"topic\",\n"
        "                     \"body\" (the identity object, the heartbeat's text)\n");
    ClientOptionsUsage(pOut, WatchDefaultTimeoutS);
    fprintf(pOut,
        "\n"
        "Examples:\n"
        "  promtool watch\n"
        "  promtool watch --count 4 --zmq-dir /proc/4711/root/dev/shm/zmq\n");
}

void StatusUsage(FILE* pOut)
{
    fprintf(pOut,
        "Usage: promtool status [--json] [--zmq-dir DIR] [--timeout SECONDS]\n"
        "\n"
        "Waits for one identity message and one heartbeat of eeprom-manager and\n"
        "prints them (\"Identity: ...\", \"Heartbeat: Eeprom Manager\"). Exit status 0\n"
        "when both came, 1 otherwise. When a health monitor already owns the\n"
        "heartbeat endpoint, only the identity is checked.\n"
        "\n"
        "  --json             one JSON object: \"identity\" (the identity object, or\n"
        "                     null), \"heartbeat\" (true, false, or null when not checked)\n");
    ClientOptionsUsage(pOut, StatusDefaultTimeoutS);
    fprintf(pOut,
        "\n"
        "Examples:\n"
        "  promtool status\n"
        "  promtool status --timeout 10 && echo \"eeprom-manager is up\"\n");
}
}

int WatchCommand(int argc, char* argv[])
{
    ClientOptions_s Options;
    long Count = 0;
    bool Json = false;
    CommandLine_s Line = ClientCommandLine(argv[0], WatchUsage, WatchDefaultTimeoutS, &Options);
    Line.Options.push_back(FlagOption("json", &Json));
    Line.Options.push_back(CheckedOption("count", [&](const char* pValue) {
        if (!ParseNumber(pValue, 1, 1000000, &Count))
        {
            return false;
        }
        UsageError(argv[0], "--count '%s': expected a number from 1 to 1000000", pValue);
        return true;
    }));
    int Status = ParseClientCommandLine(argc, argv, Line, Options);
    if (Status >= 0)
    {
        return Status;
    }

    Listeners_s Listeners;
    if (OpenListeners(Options, "showing identity messages only", &Listeners))
    {
        return ExitFailed;
    }
    zpoller_t* pPoller = Listeners.pPoller;
    long Shown = 0;
    Status = ExitOk;
    while (Count == 0 || Shown < Count)
    {
        // The time-out runs from the last message: a service that stops
        // while we watch is noticed as well as one that never started.
        int WaitMs = Options.TimeoutMs();
        zsock_t* pReady = static_cast<zsock_t*>(zpoller_wait(pPoller, WaitMs));
        if (pReady == nullptr)
        {
            // Ctrl-C (or SIGTERM) ends a watch as it ends every other wait.
            Status = zpoller_terminated(pPoller)
                         ? ExitInterrupted
                         : ToolError("no message from eeprom-manager within %ld s; is it running?", Options.TimeoutS);
            break;
        }
        zmsg_t* pMessage = zmsg_recv(pReady);
        if (pMessage == nullptr)
        {
            Status = ExitInterrupted;
            break;
        }
        bool OutputFailed = PrintStampedMessage(pMessage, Json);
        zmsg_destroy(&pMessage);
        Shown++;
        if (OutputFailed)
        {
            Status = ToolError("cannot write standard output: %s", strerror(errno));
            clearerr(stdout);   // reported once, here
            break;
        }
    }
    CloseListeners(&Listeners);
    return Status;
}

int StatusCommand(int argc, char* argv[])
{
    ClientOptions_s Options;
    bool Json = false;
    CommandLine_s Line = ClientCommandLine(argv[0], StatusUsage, StatusDefaultTimeoutS, &Options);
    Line.Options.push_back(FlagOption("json", &Json));
    int Status = ParseClientCommandLine(argc, argv, Line, Options);
    if (Status >= 0)
    {
        return Status;
    }
    ServiceProbe_s Probe;
    if (ProbeService(Options, "heartbeats cannot be checked from here", &Probe))
    {
        return ExitFailed;
    }
    if (Json)
    {
        // An identity that is no JSON text is shown as the text it is.
        PrintJson(json_pack("{s:o, s:o}", "identity", Probe.SawIdentity ? WireJson(Probe.Identity) : json_null(),
                            "heartbeat", Probe.BeatsChecked ? json_boolean(Probe.SawBeat) : json_null()));
    }
    else
    {
        if (Probe.SawIdentity)
        {
            printf("Identity: %s\n", WireText(Probe.Identity).c_str());
        }
        if (Probe.SawBeat)
        {
            printf("Heartbeat: %s\n", HbProcessName);
        }
    }
    if (Probe.Interrupted)
    {
        return ExitInterrupted;
    }
    Status = ExitOk;
    if (!Probe.SawIdentity)
    {
        Status = ToolError("no identity message on %s within %ld s", Endpoint(Options, PromStatName).c_str(),
                           Options.TimeoutS);
    }
    if (Probe.BeatsChecked && !Probe.SawBeat)
    {
        Status = ToolError("no heartbeat from eeprom-manager on %s within %ld s", Endpoint(Options, HbBeatsName).c_str(),
                           Options.TimeoutS);
    }
    return Status;
}
