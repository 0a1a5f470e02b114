// ZmqUtils: listener sockets registered on a czmq event loop, and the
// ready-made readers for the system-control and system status channels.
#include "ZmqUtils.h"

#include "JsonParseUtils.h"

#include <cassert>
#include <cstdio>
#include <cstring>
#include <malloc.h>

namespace
{
const char* const ZmquErrorTag = "ZMQU Error: ";
const char* const StatusTopic = "SysStatus";
const char* const StatusOkText = "Ok";
const char* const StatusErrorText = "Error";

// Bytes received between two trims of the heap. Frames below glibc's mmap
// threshold (128 KiB by default) come from the malloc arenas (libzmq's I/O
// thread allocates them in its own) and stay there after they are freed:
// trimming after every 64 KiB bounds what a burst of messages leaves behind,
// at the cost of one trim per thousand or so ordinary commands.
const size_t TrimEveryBytes = 64 * 1024;

int64_t ListenerMaxMsgSize = -1;    // largest inbound message; -1: no limit
int ListenerMaxQueued = 0;          // receive high-water mark; 0: libzmq's
size_t BytesSinceTrim = 0;          // received since the heap was trimmed

// True when the frame read as a C string is Text: its bytes up to the first
// NUL, or all of them when it has none. A C peer may send a text with its
// terminating NUL; a longer text without a NUL right after is another one.
bool FrameIs(zframe_t* pFrame, const char* Text)
{
    if (nullptr == pFrame)
    {
        return false;
    }
    const char* pData = reinterpret_cast<const char*>(zframe_data(pFrame));
    const size_t Length = strlen(Text);
    return Length == strnlen(pData, zframe_size(pFrame)) && 0 == memcmp(pData, Text, Length);
}

// Applies the listener limits to pSocket, which must not be bound yet:
// each connection a bound socket accepts copies its options when made.
void LimitInbound(zsock_t* pSocket)
{
    if (ListenerMaxMsgSize >= 0)
    {
        int Result = zmq_setsockopt(zsock_resolve(pSocket), ZMQ_MAXMSGSIZE, &ListenerMaxMsgSize,
                                    sizeof(ListenerMaxMsgSize));
        assert(0 == Result);
        (void)Result;
    }
    if (ListenerMaxQueued > 0)
    {
        zsock_set_rcvhwm(pSocket, ListenerMaxQueued);
    }
}

// The steps shared by both creation operations. Strict turns a failed
// bind/connect or reader registration into an assertion failure instead of
// a report.
zsock_t* CreateListener(zloop_t* pLoop, const char* pSocketAddress, teListenConnectType ConnectType,
                        pCzmqCallback pMsgHandler, uint8_t NumTopics, tsTopic* pTopics, void* pArg,
                        int ZmqSocketType, bool Strict)
{
    assert(nullptr != pLoop);
    zsock_t* pSocket = zsock_new(ZmqSocketType);
    assert(nullptr != pSocket);
    // Before attaching: connections copy the socket's options when made.
    // libzmq treats a frame over ZMQ_MAXMSGSIZE as a protocol error and
    // closes that connection. A peer that connected to us reconnects by
    // itself, but our own connection to a bound peer is never re-made after
    // a protocol error: a connecting listener gets no such limit, and its
    // reader drops oversized messages (ZmqRecvLimited) instead.
    if (LCT_CONNECT == ConnectType)
    {
        zsock_set_reconnect_ivl_max(pSocket, ZmqReconnectIvlMaxMs);
    }
    else
    {
        LimitInbound(pSocket);
    }

    // Attach: only LCT_CONNECT connects, any other value binds.
    int Result = (LCT_CONNECT == ConnectType) ? zsock_connect(pSocket, "%s", pSocketAddress)
                                              : zsock_bind(pSocket, "%s", pSocketAddress);
    if (Strict)
    {
        assert(0 <= Result);
    }
    else if (0 > Result)
    {
        printf("%s", ZmquErrorTag);
        printf("Unable to connet or bind socket %s\n", pSocketAddress);
    }

    // Subscribe: a subscription means something on a subscriber socket only,
    // so for every other type the topic array is not read at all.
    if (ZMQ_SUB == ZmqSocketType)
    {
        if (0 == NumTopics)
        {
            zsock_set_subscribe(pSocket, "");
        }
        for (unsigned Index = 0; Index < NumTopics; Index++)
        {
            assert(nullptr != pTopics[Index].pTopic);
            zsock_set_subscribe(pSocket, pTopics[Index].pTopic);
        }
    }

    // Register: a tolerant reader survives socket errors instead of being
    // cancelled by the loop. Made tolerant even when registration failed.
    Result = zloop_reader(pLoop, pSocket, pMsgHandler, pArg);
    if (Strict)
    {
        assert(0 == Result);
    }
    else if (0 != Result)
    {
        printf("%s", ZmquErrorTag);
        printf("Unable to add reader for %s.\n", pSocketAddress);
    }
    zloop_reader_set_tolerant(pLoop, pSocket);
    (void)Result;
    return pSocket;
}
}

zsock_t* ZmqCreateListenerType(zloop_t* pLoop, const char* pSocketAddress, teListenConnectType ConnectType,
                               pCzmqCallback pMsgHandler, uint8_t NumTopics, tsTopic* pTopics, void* pArg,
                               int ZmqSocketType)
{
    return CreateListener(pLoop, pSocketAddress, ConnectType, pMsgHandler, NumTopics, pTopics, pArg,
                          ZmqSocketType, false);
}

zsock_t* ZmqCreateListener(zloop_t* pLoop, const char* pSocketAddress, teListenConnectType ConnectType,
                           pCzmqCallback pMsgHandler, uint8_t NumTopics, tsTopic* pTopics, void* pArg)
{
    return CreateListener(pLoop, pSocketAddress, ConnectType, pMsgHandler, NumTopics, pTopics, pArg, ZMQ_SUB,
                          true);
}

int ParseSystemControl(zloop_t* pLocalLoop, zsock_t* pLocalSubSocket, void* arg)
{
    (void)pLocalLoop;
    (void)arg;
    zmsg_t* pMessage = ZmqRecvLimited(pLocalSubSocket, nullptr);
    if (nullptr == pMessage)
    {
        return 0;
    }
    int Result = 0;
    // The prefix subscription also lets longer topics through; they and any
    // malformed message are consumed and ignored, never fatal.
    if (FrameIs(zmsg_first(pMessage), ServiceStopTopic))
    {
        zframe_t* pTopic = zmsg_pop(pMessage);
        zframe_destroy(&pTopic);
        // A missing payload (null) is reported by JsonParseStop as not an array.
        char* pjsData = zmsg_popstr(pMessage);
        Result = JsonParseStop(pjsData) ? -1 : 0;
        zstr_free(&pjsData);
    }
    zmsg_destroy(&pMessage);
    return Result;
}

int SystemStatCallback(zloop_t* pLocalLoop, zsock_t* pLocalSubSocket, void* pStatus)
{
    (void)pLocalLoop;
    ProcessStatus_e Status = PS_WAITING;
    zmsg_t* pMessage = ZmqRecvLimited(pLocalSubSocket, nullptr);
    if (nullptr != pMessage)
    {
        if (FrameIs(zmsg_first(pMessage), StatusTopic))
        {
            zframe_t* pStatusText = zmsg_next(pMessage);
            if (FrameIs(pStatusText, StatusOkText))
            {
                Status = PS_OK;
            }
            else if (FrameIs(pStatusText, StatusErrorText))
            {
                Status = PS_FAULT;
            }
        }
        zmsg_destroy(&pMessage);
    }
    if (nullptr != pStatus)
    {
        *static_cast<ProcessStatus_e*>(pStatus) = Status;
    }
    return 0;
}

void ZmqPrintLibVersions()
{
    int Major = 0;
    int Minor = 0;
    int Patch = 0;
    zsys_version(&Major, &Minor, &Patch);
    (void)Major;
    (void)Minor;
    (void)Patch;
}

void ZmqSetListenerLimits(int64_t MaxMsgBytes, int MaxQueuedMsgs)
{
    ListenerMaxMsgSize = MaxMsgBytes;
    ListenerMaxQueued = MaxQueuedMsgs;
}

zmsg_t* ZmqRecvLimited(zsock_t* pSocket, bool* pDropped)
{
    zmsg_t* pMessage = nullptr;
    size_t Frames = 0;
    size_t Total = 0;
    bool Dropped = false;
    // libzmq hands a message over only once all its frames have arrived, so
    // after the first frame the rest are there: none of these reads waits.
    for (bool More = true; More; Frames++)
    {
        zframe_t* pFrame = zframe_recv_nowait(pSocket);
        if (nullptr == pFrame)
        {
            // Nothing waiting; or a read that failed in mid-message, which
            // leaves a part that must not pass for a whole message.
            Dropped = (0 != Frames);
            break;
        }
        More = zframe_more(pFrame);
        Total += zframe_size(pFrame);
        Dropped = Dropped || (ListenerMaxMsgSize >= 0 && Total > static_cast<uint64_t>(ListenerMaxMsgSize));
        if (Dropped)
        {
            // Past the limit: this frame and those before it go now, the
            // ones still to come each as soon as it is read.
            zframe_destroy(&pFrame);
            zmsg_destroy(&pMessage);
            continue;
        }
        if (nullptr == pMessage)
        {
            pMessage = zmsg_new();
            assert(nullptr != pMessage);
        }
        zmsg_append(pMessage, &pFrame);
    }
    if (Dropped)
    {
        zmsg_destroy(&pMessage);
    }

    // Give back what the frames took once enough has gone through.
    BytesSinceTrim += Total;
    if (BytesSinceTrim >= TrimEveryBytes)
    {
        malloc_trim(0);
        BytesSinceTrim = 0;
    }
    if (nullptr != pDropped)
    {
        *pDropped = Dropped;
    }
    return pMessage;
}

bool ZmqTopicIs(zmsg_t* pMessage, const char* pTopic)
{
    return FrameIs(zmsg_first(pMessage), pTopic);
}
