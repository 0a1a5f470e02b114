// PromClientSend: promtool set-name and promtool stop.
//
//   set-name  PUSH connected to PromCmd: sends "Set Prom" with a new unit
//             name, then waits for the identity to carry it.
//   stop      XPUB bound at SysCntl: waits for the service's "ServiceStop"
//             subscription, then sends a stop request addressed to it.
//
// What can go wrong, and how the commands stay out of trouble:
// - The service is not running. Every wait has a deadline (--timeout), and
//   the PUSH socket is made with ZMQ_IMMEDIATE and a send time-out, so no
//   command blocks for longer than its time-out.
// - A stop request sent before the service's subscription has arrived is
//   dropped by the publisher; an XPUB shows the subscription, so the request
//   goes out only once it is there.
// - Pending outgoing messages are kept for a bounded linger when the socket
//   closes, so a request is not lost by exiting right after the send.
#include "PromClientSend.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <czmq.h>
#include <jansson.h>

#include "ChipLock.h"
#include "PromClientOptions.h"
#include "PromCommandLine.h"
#include "PromContract.h"
#include "PromEndpoints.h"
#include "PromOutput.h"
#include "PromRecord.h"
#include "PromServiceProbe.h"

namespace
{
const std::string StopPayloadText = std::string("[{\"") + StopAddressee + "\": null}]";
const char* const StopPayload = StopPayloadText.c_str();
const long SetNameDefaultTimeoutS = 10;
const long StopDefaultTimeoutS = 3;

void SetNameUsage(FILE* pOut)
{
    fprintf(pOut,
        "Usage: promtool set-name [--no-wait] [--json] [--zmq-dir DIR] [--timeout SECONDS] NAME\n"
        "\n"
        "Asks the running eeprom-manager to store NAME as the unit name (at most\n"
        "15 bytes are stored, cut on a UTF-8 character boundary), then waits until\n"
        "the identity it publishes carries the name and prints that identity.\n"
        "Fails when the service does not take the command, or when the identity\n"
        "never carries the name (for instance: the record is not valid for this\n"
        "unit, and the service refuses to change it).\n"
        "\n"
        "  --no-wait          only send the command\n"
        "  --json             one JSON object: \"identity\" (the identity object), or\n"
        "                     with --no-wait \"sent\" (the command's body)\n");
    ClientOptionsUsage(pOut, SetNameDefaultTimeoutS);
    fprintf(pOut,
        "\n"
        "Examples:\n"
        "  promtool set-name \"Bench 7\"\n"
        "  promtool set-name --no-wait --zmq-dir /proc/4711/root/dev/shm/zmq \"Rack 2 / Slot 3\"\n");
}

void StopUsage(FILE* pOut)
{
    fprintf(pOut,
        "Usage: promtool stop [--json] [--zmq-dir DIR] [--timeout SECONDS]\n"
        "\n"
        "Sends the system-control stop request addressed to eeprom-manager\n"
        "(\"ServiceStop\" with [{\"HwMgrFPGA\": null}]) once the service has subscribed\n"
        "to the system-control endpoint. Fails when the service does not show up\n"
        "within SECONDS, or when a system-control publisher already owns the\n"
        "endpoint (send the request through it instead).\n"
        "\n"
        "  --json             one JSON object: \"sent\" (the request's body)\n");
    ClientOptionsUsage(pOut, StopDefaultTimeoutS);
    fprintf(pOut,
        "\n"
        "Examples:\n"
        "  promtool stop\n"
        "  promtool stop --timeout 10 --zmq-dir /proc/4711/root/dev/shm/zmq\n");
}

// Prints what a command sent: "Sent: TOPIC BODY", or as JSON.
void PrintSent(const char* pTopic, const std::string& Body, bool Json)
{
    if (Json)
    {
        PrintJson(json_pack("{s:o}", "sent", WireJson(Body)));
    }
    else
    {
        printf("Sent: %s %s\n", pTopic, Body.c_str());
    }
}

// Waits until Deadline (zclock_mono time) for an identity message whose
// "Unit Name" is Expected. Prints the identity (as JSON: {"identity": ...})
// and returns 0 when it comes; otherwise reports what the last identity said
// and returns non-zero.
int WaitForName(zsock_t* pIdentity, const std::string& Expected, const ClientOptions_s& Options,
                int64_t Deadline, bool Json)
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
        IdentityText_s Read = ReadIdentity(LastIdentity);
        LastName = Read.Name;
        LastInvalid = Read.SaysInvalid;
        bool Match = Read.HasName && Expected == Read.Name;
        if (Match && Json)
        {
            PrintJson(json_pack("{s:o}", "identity", WireJson(LastIdentity)));
        }
        if (Match && !Json)
        {
            printf("Identity: %s\n", WireText(LastIdentity).c_str());
        }
        if (Match)
        {
            return 0;
        }
    }
    if (LastIdentity.empty())
    {
        return ToolError("the command was sent, but no identity message came from %s within %ld s",
                         Endpoint(Options, PromStatName).c_str(), Options.TimeoutS);
    }
    if (LastInvalid)
    {
        return ToolError("the name was not stored: the EEPROM record is not valid for this unit "
                         "(identity %s)", WireText(LastIdentity).c_str());
    }
    return ToolError("the identity still carries \"%s\" after %ld s (last identity %s)", WireText(LastName).c_str(),
                     Options.TimeoutS, WireText(LastIdentity).c_str());
}

// Why the service may not be there: another program (promtool chip write)
// holding this unit's chip keeps it from starting. Asked only of the unit
// the command runs on (the default endpoint directory). Empty otherwise.
std::string HeldChipNote(const ClientOptions_s& Options)
{
    ChipHolder_s Holder;
    if (Options.ZmqDir != PromZmqDir || CHIP_LOCK_HELD != ChipLockHolder(&Holder) || ChipHolderIsManager(Holder))
    {
        return "";
    }
    char Text[96];
    return std::string("; the unit's chip is held by ") + ChipHolderText(Holder, Text, sizeof(Text))
           + ", and the service does not run while it is";
}

// The body of a "Set Prom" command, built by the JSON library so that
// quotes, backslashes and non-ASCII characters are encoded right.
std::string CommandBody(const char* pName)
{
    json_t* pjtBody = json_pack("{s:s}", UnitNameKey, pName);
    char* pjsBody = json_dumps(pjtBody, 0);
    json_decref(pjtBody);
    assert(pjsBody != nullptr);
    std::string Body(pjsBody);
    free(pjsBody);
    return Body;
}

// A PUSH socket connected to the service's command endpoint, with its send
// time-out at Deadline. Returns null after reporting a failure.
zsock_t* CommandPusher(const ClientOptions_s& Options, int64_t Deadline)
{
    std::string CommandEndpoint = Endpoint(Options, PromCmdName);
    zsock_t* pPush = zsock_new(ZMQ_PUSH);
    if (pPush == nullptr)
    {
        ToolError("cannot create a ZeroMQ socket: %s", zmq_strerror(zmq_errno()));
        return nullptr;
    }
    // Queue only on a completed connection, so that a missing service makes
    // the send time out instead of parking the command; until then the
    // connect is retried (every 100 ms), which also covers a service that is
    // still starting. A queued command may go out for at most the time-out
    // after we close.
    zsock_set_immediate(pPush, 1);
    zsock_set_sndtimeo(pPush, RemainingMs(Deadline));
    zsock_set_linger(pPush, Options.TimeoutMs());
    if (zsock_connect(pPush, "%s", CommandEndpoint.c_str()) != 0)
    {
        ToolError("cannot connect to %s: %s", CommandEndpoint.c_str(), zmq_strerror(zmq_errno()));
        zsock_destroy(&pPush);
    }
    return pPush;
}
}

int SetNameCommand(int argc, char* argv[])
{
    ClientOptions_s Options;
    bool NoWait = false;
    bool Json = false;
    CommandLine_s Line = ClientCommandLine(argv[0], SetNameUsage, SetNameDefaultTimeoutS, &Options);
    Line.Options.push_back(FlagOption("no-wait", &NoWait));
    Line.Options.push_back(FlagOption("json", &Json));
    Line.pMissingArgument = "the new unit name is missing";
    Line.pUnexpectedHint = " (quote a name with spaces)";
    const char* pName = nullptr;
    int Status = ParseCommandLine(argc, argv, Line, &pName);
    if (Status >= 0)
    {
        return Status;
    }
    // The name as the record will hold it.
    uint8_t Stored[16];
    if (StoreCheckedName(argv[0], "unit name", pName, Stored))
    {
        return ExitUsage;
    }
    if (ZmqDirIsMissing(argv[0], Options))
    {
        return ExitFailed;
    }
    const char* pStored = reinterpret_cast<const char*>(Stored);
    std::string Expected(pStored, strnlen(pStored, sizeof(Stored)));
    std::string Body = CommandBody(pName);

    // One time-out for the whole command: sending and waiting together.
    int64_t Deadline = zclock_mono() + Options.TimeoutMs();
    // Subscribe before sending, so that the identity carrying the new name
    // cannot pass by before we listen.
    zsock_t* pIdentity = nullptr;
    if (!NoWait && (pIdentity = IdentitySubscriber(Options)) == nullptr)
    {
        return ExitFailed;
    }
    zsock_t* pPush = CommandPusher(Options, Deadline);
    Status = ExitOk;
    if (pPush == nullptr)
    {
        Status = ExitFailed;
    }
    // Once the first frame is queued the second one goes along with it.
    else if (zstr_sendm(pPush, SetPromTopic) != 0 || zstr_send(pPush, Body.c_str()) != 0)
    {
        Status = zsys_interrupted
                     ? ExitInterrupted
                     : ToolError("eeprom-manager is not listening on %s%s", Endpoint(Options, PromCmdName).c_str(),
                                 HeldChipNote(Options).c_str());
    }
    else if (NoWait)
    {
        PrintSent(SetPromTopic, Body, Json);
    }
    else
    {
        Status = WaitForName(pIdentity, Expected, Options, Deadline, Json);
        // Taken (the identity shows it) or given up: nothing left to deliver.
        zsock_set_linger(pPush, 0);
    }
    zsock_destroy(&pPush);
    zsock_destroy(&pIdentity);
    return Status;
}

int StopCommand(int argc, char* argv[])
{
    ClientOptions_s Options;
    bool Json = false;
    CommandLine_s Line = ClientCommandLine(argv[0], StopUsage, StopDefaultTimeoutS, &Options);
    Line.Options.push_back(FlagOption("json", &Json));
    int Status = ParseClientCommandLine(argc, argv, Line, Options);
    if (Status >= 0)
    {
        return Status;
    }

    std::string Where = Endpoint(Options, SysCntlName);
    bool PublisherPresent = false;
    BoundSocket_s Publisher;
    if (BindUnlessInUse(Options, SysCntlName, ZMQ_XPUB, &Publisher, &PublisherPresent))
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
    zsock_set_linger(pPublisher, Options.TimeoutMs());

    // The service's SUB retries its connect every 100 ms or so; its
    // subscription arrives as a frame "\x01ServiceStop".
    std::string Wanted = std::string(1, '\x01') + ServiceStopTopic;
    int64_t Deadline = zclock_mono() + Options.TimeoutMs();
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
    else if (zstr_sendm(pPublisher, ServiceStopTopic) != 0 || zstr_send(pPublisher, StopPayload) != 0)
    {
        Status = ToolError("cannot send the stop request on %s: %s", Where.c_str(),
                           zmq_strerror(zmq_errno()));
    }
    else
    {
        PrintSent(ServiceStopTopic, StopPayload, Json);
    }
    CloseBound(&Publisher);
    return Status;
}
