// PromClient: promtool's commands that talk to a running eeprom-manager on
// the unit through its ZeroMQ endpoints (PromEndpoints):
//
//   watch     SUB connected to PromStat, SUB bound at HbBeats: prints each
//             identity message and heartbeat with a time stamp.
//   set-name  PUSH connected to PromCmd: sends "Set Prom" with a new unit
//             name, then waits for the identity to carry it.
//   stop      XPUB bound at SysCntl: waits for the service's "ServiceStop"
//             subscription, then sends a stop request addressed to it.
//   status    one identity message and one heartbeat, or says which is
//             missing.
//
// What can go wrong, and how the commands stay out of trouble:
// - The service is not running. Every wait has a deadline (--timeout), and
//   a PUSH socket is made with ZMQ_IMMEDIATE and a send time-out, so no
//   command blocks for longer than its time-out.
// - A stop request sent before the service's subscription has arrived is
//   dropped by the publisher; an XPUB shows the subscription, so the request
//   goes out only once it is there.
// - Pending outgoing messages are kept for a bounded linger when the socket
//   closes, so a request is not lost by exiting right after the send.
#include "PromClient.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <getopt.h>
#include <string>
#include <vector>

#include <czmq.h>
#include <jansson.h>

#include "Prom.h"
#include "PromEndpoints.h"
#include "PromToolCommon.h"

namespace
{
const char* const ServiceProcessName = "Eeprom Manager";
const char* const CommandTopic = "Set Prom";
const char* const StopTopic = "ServiceStop";
const char* const StopPayload = "[{\"HwMgrFPGA\": null}]";
const long MaxTimeoutS = 3600;

// Prints the wall-clock time as "YYYY-MM-DD HH:MM:SS.mmm" (local time).
void PrintTimeStamp()
{
    timespec Now;
    clock_gettime(CLOCK_REALTIME, &Now);
    struct tm Local;
    localtime_r(&Now.tv_sec, &Local);
    char Text[32];
    strftime(Text, sizeof(Text), "%Y-%m-%d %H:%M:%S", &Local);
    printf("%s.%03ld", Text, Now.tv_nsec / 1000000L);
}

// Prints one frame as WireText, so that each message stays on one line and
// puts no control sequence on the terminal.
void PrintFrame(const zframe_t* pFrame)
{
    const char* pData = reinterpret_cast<const char*>(zframe_data(const_cast<zframe_t*>(pFrame)));
    fputs(WireText(std::string(pData, zframe_size(const_cast<zframe_t*>(pFrame)))).c_str(), stdout);
}

// Prints "<time stamp> frame1 frame2 ..." and flushes, so that a pipe
// reader sees each message as it comes. Returns true when the output failed.
bool PrintStampedMessage(zmsg_t* pMessage)
{
    PrintTimeStamp();
    for (zframe_t* pFrame = zmsg_first(pMessage); pFrame != nullptr; pFrame = zmsg_next(pMessage))
    {
        putchar(' ');
        PrintFrame(pFrame);
    }
    putchar('\n');
    return fflush(stdout) != 0 || ferror(stdout);
}

void CommonOptionsUsage(FILE* pOut, long DefaultTimeoutS)
{
    fprintf(pOut,
        "  --zmq-dir DIR      directory of the service's ipc endpoints (default %s;\n"
        "                     from outside a simulated unit: /proc/PID/root/dev/shm/zmq)\n"
        "  --timeout SECONDS  longest wait, 1 to %ld (default %ld)\n"
        "  -h, --help         show this help\n",
        DefaultZmqDir, MaxTimeoutS, DefaultTimeoutS);
}

const long WatchDefaultTimeoutS = 5;
const long SetNameDefaultTimeoutS = 10;
const long StopDefaultTimeoutS = 3;
const long StatusDefaultTimeoutS = 3;

void WatchUsage(FILE* pOut)
{
    fprintf(pOut,
        "Usage: promtool watch [--count N] [--zmq-dir DIR] [--timeout SECONDS]\n"
        "\n"
        "Prints each identity message (\"PromInfo\") and each heartbeat (\"HbMon\")\n"
        "of the running eeprom-manager, one line each with a time stamp, until\n"
        "interrupted (Ctrl-C: exit status 130) or N messages have been shown.\n"
        "Fails when nothing arrives for SECONDS. When a health monitor already\n"
        "owns the heartbeat endpoint, only identity messages are shown.\n"
        "\n"
        "  --count N          stop after N messages (1 to 1000000)\n");
    CommonOptionsUsage(pOut, WatchDefaultTimeoutS);
    fprintf(pOut,
        "\n"
        "Examples:\n"
        "  promtool watch\n"
        "  promtool watch --count 4 --zmq-dir /proc/4711/root/dev/shm/zmq\n");
}

void SetNameUsage(FILE* pOut)
{
    fprintf(pOut,
        "Usage: promtool set-name [--no-wait] [--zmq-dir DIR] [--timeout SECONDS] NAME\n"
        "\n"
        "Asks the running eeprom-manager to store NAME as the unit name (at most\n"
        "15 bytes are stored, cut on a UTF-8 character boundary), then waits until\n"
        "the identity it publishes carries the name and prints that identity.\n"
        "Fails when the service does not take the command, or when the identity\n"
        "never carries the name (for instance: the record is not valid for this\n"
        "unit, and the service refuses to change it).\n"
        "\n"
        "  --no-wait          only send the command\n");
    CommonOptionsUsage(pOut, SetNameDefaultTimeoutS);
    fprintf(pOut,
        "\n"
        "Examples:\n"
        "  promtool set-name \"Bench 7\"\n"
        "  promtool set-name --no-wait --zmq-dir /proc/4711/root/dev/shm/zmq \"Rack 2 / Slot 3\"\n");
}

void StopUsage(FILE* pOut)
{
    fprintf(pOut,
        "Usage: promtool stop [--zmq-dir DIR] [--timeout SECONDS]\n"
        "\n"
        "Sends the system-control stop request addressed to eeprom-manager\n"
        "(\"ServiceStop\" with [{\"HwMgrFPGA\": null}]) once the service has subscribed\n"
        "to the system-control endpoint. Fails when the service does not show up\n"
        "within SECONDS, or when a system-control publisher already owns the\n"
        "endpoint (send the request through it instead).\n"
        "\n");
    CommonOptionsUsage(pOut, StopDefaultTimeoutS);
    fprintf(pOut,
        "\n"
        "Examples:\n"
        "  promtool stop\n"
        "  promtool stop --timeout 10 --zmq-dir /proc/4711/root/dev/shm/zmq\n");
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
    CommonOptionsUsage(pOut, StatusDefaultTimeoutS);
    fprintf(pOut,
        "\n"
        "Examples:\n"
        "  promtool status\n"
        "  promtool status --timeout 10 && echo \"eeprom-manager is up\"\n");
}

// Option codes shared by the commands (beyond the single-letter ones).
enum eOptionCodes
{
    OPT_ZMQ_DIR = 1000,
    OPT_TIMEOUT,
    OPT_COUNT,
    OPT_NO_WAIT,
    OPT_JSON
};

// Parses the options of one command into pOptions (and *pCount, *pNoWait,
// *pJson where the command has them: null pointers mean the option is
// unknown).
// Positional arguments are left at argv[optind..]. Returns -1 to go on,
// otherwise the exit status (ExitOk after -h, ExitUsage after a usage error).
int ParseOptions(int argc, char* argv[], void (*pUsage)(FILE*), long DefaultTimeoutS,
                 ClientOptions_s* pOptions, long* pCount, bool* pNoWait, bool* pJson = nullptr)
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

// For commands without arguments: -1 when none was given, otherwise
// ExitUsage after the usage error.
int RejectArguments(int argc, char* argv[])
{
    if (optind == argc)
    {
        return -1;
    }
    return UsageError(argv[0], "unexpected argument '%s'", argv[optind]);
}

// promtool watch
int Watch(int argc, char* argv[])
{
    ClientOptions_s Options;
    long Count = 0;
    int Status = ParseOptions(argc, argv, WatchUsage, WatchDefaultTimeoutS, &Options, &Count, nullptr);
    if (Status >= 0)
    {
        return Status;
    }
    Status = RejectArguments(argc, argv);
    if (Status >= 0)
    {
        return Status;
    }
    if (ZmqDirIsMissing(argv[0], Options))
    {
        return ExitFailed;
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
        int WaitMs = static_cast<int>(Options.TimeoutS * 1000);
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
        bool OutputFailed = PrintStampedMessage(pMessage);
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

// Waits until Deadline (zclock_mono time) for an identity message whose
// "Unit Name" is Expected. Prints the identity and returns 0 when it comes;
// otherwise reports what the last identity said and returns non-zero.
int WaitForName(zsock_t* pIdentity, const std::string& Expected, const ClientOptions_s& Options,
                int64_t Deadline)
{
    std::string LastIdentity;
    std::string LastName;
    bool LastInvalid = false;
    while (true)
    {
        if (!WaitReadable(pIdentity, RemainingMs(Deadline)))
        {
            if (zsys_interrupted)
            {
                return ExitInterrupted;
            }
            break;
        }
        zmsg_t* pMessage = zmsg_recv(pIdentity);
        if (pMessage == nullptr)
        {
            return ExitInterrupted;
        }
        LastIdentity = FrameText(pMessage, 1);
        zmsg_destroy(&pMessage);
        json_error_t Error;
        json_t* pjtIdentity = json_loads(LastIdentity.c_str(), 0, &Error);
        const char* pName = json_string_value(json_object_get(pjtIdentity, "Unit Name"));
        const char* pSerial = json_string_value(json_object_get(pjtIdentity, "Serial Number"));
        LastName = pName != nullptr ? pName : "";
        LastInvalid = pSerial != nullptr && 0 == strcmp(pSerial, "INVLD");
        bool Match = pName != nullptr && Expected == pName;
        json_decref(pjtIdentity);
        if (Match)
        {
            printf("Identity: %s\n", WireText(LastIdentity).c_str());
            return 0;
        }
    }
    if (LastIdentity.empty())
    {
        return ToolError("the command was sent, but no identity message came from %s within %ld s",
                         Endpoint(Options, "PromStat").c_str(), Options.TimeoutS);
    }
    if (LastInvalid)
    {
        return ToolError("the name was not stored: the EEPROM record is not valid for this unit "
                         "(identity %s)", WireText(LastIdentity).c_str());
    }
    return ToolError("the identity still carries \"%s\" after %ld s (last identity %s)", WireText(LastName).c_str(),
                     Options.TimeoutS, WireText(LastIdentity).c_str());
}

// promtool set-name
int SetName(int argc, char* argv[])
{
    ClientOptions_s Options;
    bool NoWait = false;
    int Status = ParseOptions(argc, argv, SetNameUsage, SetNameDefaultTimeoutS, &Options, nullptr, &NoWait);
    if (Status >= 0)
    {
        return Status;
    }
    if (optind + 1 != argc)
    {
        return optind == argc
                   ? UsageError(argv[0], "the new unit name is missing")
                   : UsageError(argv[0], "unexpected argument '%s' (quote a name with spaces)", argv[optind + 1]);
    }
    const char* pName = argv[optind];
    // The name as the record will hold it.
    uint8_t Stored[16];
    if (NameIsBad(argv[0], "unit name", pName, Stored))
    {
        return ExitUsage;
    }
    if (ZmqDirIsMissing(argv[0], Options))
    {
        return ExitFailed;
    }
    const char* pStored = reinterpret_cast<const char*>(Stored);
    std::string Expected(pStored, strnlen(pStored, sizeof(Stored)));

    // The command body, built by the JSON library so that quotes,
    // backslashes and non-ASCII characters are encoded right.
    json_t* pjtBody = json_pack("{s:s}", "Unit Name", pName);
    char* pjsBody = json_dumps(pjtBody, 0);
    json_decref(pjtBody);
    assert(pjsBody != nullptr);

    std::string CommandEndpoint = Endpoint(Options, "PromCmd");
    zsock_t* pIdentity = nullptr;
    zsock_t* pPush = nullptr;
    Status = ExitOk;
    // One time-out for the whole command: sending and waiting together.
    int64_t Deadline = zclock_mono() + Options.TimeoutS * 1000;
    // Subscribe before sending, so that the identity carrying the new name
    // cannot pass by before we listen.
    if (!NoWait)
    {
        pIdentity = IdentitySubscriber(Options);
        if (pIdentity == nullptr)
        {
            Status = 1;
            goto Cleanup;
        }
    }
    pPush = zsock_new(ZMQ_PUSH);
    if (pPush == nullptr)
    {
        Status = ToolError("cannot create a ZeroMQ socket: %s", zmq_strerror(zmq_errno()));
        goto Cleanup;
    }
    // Queue only on a completed connection, so that a missing service makes
    // the send time out instead of parking the command; until then the
    // connect is retried (every 100 ms), which also covers a service that is
    // still starting. A queued command may go out for at most the time-out
    // after we close.
    zsock_set_immediate(pPush, 1);
    zsock_set_sndtimeo(pPush, RemainingMs(Deadline));
    zsock_set_linger(pPush, static_cast<int>(Options.TimeoutS * 1000));
    if (zsock_connect(pPush, "%s", CommandEndpoint.c_str()) != 0)
    {
        Status = ToolError("cannot connect to %s: %s", CommandEndpoint.c_str(), zmq_strerror(zmq_errno()));
        goto Cleanup;
    }
    // Once the first frame is queued the second one goes along with it.
    if (zstr_sendm(pPush, CommandTopic) != 0 || zstr_send(pPush, pjsBody) != 0)
    {
        Status = zsys_interrupted
                     ? ExitInterrupted
                     : ToolError("eeprom-manager is not listening on %s", CommandEndpoint.c_str());
        goto Cleanup;
    }
    if (NoWait)
    {
        printf("Sent: %s %s\n", CommandTopic, pjsBody);
    }
    else
    {
        Status = WaitForName(pIdentity, Expected, Options, Deadline);
        // Taken (the identity shows it) or given up: nothing left to deliver.
        zsock_set_linger(pPush, 0);
    }

Cleanup:
    zsock_destroy(&pPush);
    zsock_destroy(&pIdentity);
    free(pjsBody);
    return Status;
}

// promtool stop
int Stop(int argc, char* argv[])
{
    ClientOptions_s Options;
    int Status = ParseOptions(argc, argv, StopUsage, StopDefaultTimeoutS, &Options, nullptr, nullptr);
    if (Status >= 0)
    {
        return Status;
    }
    Status = RejectArguments(argc, argv);
    if (Status >= 0)
    {
        return Status;
    }
    if (ZmqDirIsMissing(argv[0], Options))
    {
        return ExitFailed;
    }

    std::string Where = Endpoint(Options, "SysCntl");
    bool PublisherPresent = false;
    BoundSocket_s Publisher;
    if (BindUnlessInUse(Options, "SysCntl", ZMQ_XPUB, &Publisher, &PublisherPresent))
    {
        if (PublisherPresent)
        {
            return ToolError("a system-control publisher is bound at %s; send the stop request through it",
                             Where.c_str());
        }
        return ExitFailed;
    }
    zsock_t* pPublisher = Publisher.pSock;
    Status = ExitOk;
    zsock_set_linger(pPublisher, static_cast<int>(Options.TimeoutS * 1000));

    // The service's SUB retries its connect every 100 ms or so; its
    // subscription arrives as a frame "\x01ServiceStop".
    std::string Wanted = std::string(1, '\x01') + StopTopic;
    int64_t Deadline = zclock_mono() + Options.TimeoutS * 1000;
    bool Subscribed = false;
    while (!Subscribed)
    {
        if (!WaitReadable(pPublisher, RemainingMs(Deadline)))
        {
            break;
        }
        zframe_t* pFrame = zframe_recv(pPublisher);
        if (pFrame == nullptr)
        {
            break;
        }
        Subscribed = zframe_streq(pFrame, Wanted.c_str());
        zframe_destroy(&pFrame);
    }
    if (!Subscribed)
    {
        Status = zsys_interrupted ? ExitInterrupted
                                  : ToolError("eeprom-manager is not connected to %s", Where.c_str());
    }
    else if (zstr_sendm(pPublisher, StopTopic) != 0 || zstr_send(pPublisher, StopPayload) != 0)
    {
        Status = ToolError("cannot send the stop request on %s: %s", Where.c_str(),
                           zmq_strerror(zmq_errno()));
    }
    else
    {
        printf("Sent: %s %s\n", StopTopic, StopPayload);
    }
    CloseBound(&Publisher);
    return Status;
}

// promtool status
int ShowStatus(int argc, char* argv[])
{
    ClientOptions_s Options;
    bool Json = false;
    int Status = ParseOptions(argc, argv, StatusUsage, StatusDefaultTimeoutS, &Options, nullptr, nullptr, &Json);
    if (Status >= 0)
    {
        return Status;
    }
    Status = RejectArguments(argc, argv);
    if (Status >= 0)
    {
        return Status;
    }
    if (ZmqDirIsMissing(argv[0], Options))
    {
        return ExitFailed;
    }
    ServiceProbe_s Probe;
    if (ProbeService(Options, "heartbeats cannot be checked from here", &Probe))
    {
        return ExitFailed;
    }
    if (Json)
    {
        json_error_t Error;
        json_t* pjtIdentity = Probe.SawIdentity ? json_loads(Probe.Identity.c_str(), 0, &Error) : nullptr;
        // An identity that is no JSON text is shown as the text it is.
        if (Probe.SawIdentity && pjtIdentity == nullptr)
        {
            pjtIdentity = json_string(EscapedText(reinterpret_cast<const uint8_t*>(Probe.Identity.data()),
                                                  Probe.Identity.size()).c_str());
        }
        PrintJson(json_pack("{s:o, s:o}", "identity", pjtIdentity != nullptr ? pjtIdentity : json_null(),
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
            printf("Heartbeat: %s\n", ServiceProcessName);
        }
    }
    if (Probe.Interrupted)
    {
        return ExitInterrupted;
    }
    Status = ExitOk;
    if (!Probe.SawIdentity)
    {
        Status = ToolError("no identity message on %s within %ld s", Endpoint(Options, "PromStat").c_str(),
                           Options.TimeoutS);
    }
    if (Probe.BeatsChecked && !Probe.SawBeat)
    {
        Status = ToolError("no heartbeat from eeprom-manager on %s within %ld s", Endpoint(Options, "HbBeats").c_str(),
                           Options.TimeoutS);
    }
    return Status;
}
}

bool ProbeService(const ClientOptions_s& Options, const char* pWhatThen, ServiceProbe_s* pProbe)
{
    Listeners_s Listeners;
    if (OpenListeners(Options, pWhatThen, &Listeners))
    {
        return true;
    }
    zsock_t* pBeats = Listeners.Beats.pSock;
    pProbe->BeatsChecked = pBeats != nullptr;
    int64_t Deadline = zclock_mono() + Options.TimeoutS * 1000;
    while (!(pProbe->SawIdentity && (pProbe->SawBeat || pBeats == nullptr)))
    {
        zsock_t* pReady = static_cast<zsock_t*>(zpoller_wait(Listeners.pPoller, RemainingMs(Deadline)));
        zmsg_t* pMessage = pReady != nullptr ? zmsg_recv(pReady) : nullptr;
        if (pMessage == nullptr)
        {
            break;
        }
        if (pReady == Listeners.pIdentity && !pProbe->SawIdentity)
        {
            pProbe->Identity = FrameText(pMessage, 1);
            pProbe->SawIdentity = true;
        }
        else if (pReady == pBeats && FrameText(pMessage, 1) == ServiceProcessName)
        {
            // Other services' heartbeats may come here as well.
            pProbe->SawBeat = true;
        }
        zmsg_destroy(&pMessage);
    }
    pProbe->Interrupted = zsys_interrupted;
    CloseListeners(&Listeners);
    return false;
}

int PromClientCommand(int argc, char* argv[])
{
    const char* pCommand = argv[0];
    if (0 == strcmp(pCommand, "watch"))
    {
        return Watch(argc, argv);
    }
    if (0 == strcmp(pCommand, "set-name"))
    {
        return SetName(argc, argv);
    }
    if (0 == strcmp(pCommand, "stop"))
    {
        return Stop(argc, argv);
    }
    if (0 == strcmp(pCommand, "status"))
    {
        return ShowStatus(argc, argv);
    }
    return -1;
}
