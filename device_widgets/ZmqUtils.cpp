// ZmqUtils: listener sockets registered on a czmq event loop, and the
// ready-made readers for the system-control and system status channels.
#include "ZmqUtils.h"

#include "JsonParseUtils.h"

#include <cassert>
#include <cstdio>
#include <malloc.h>

namespace
{
const char* const ZmquErrorTag = "ZMQU Error: ";
const char* const StopTopic = "ServiceStop";
const char* const StatusTopic = "SysStatus";
const char* const StatusOkText = "Ok";
const char* const StatusErrorText = "Error";

// Largest inbound message a listener accepts; -1: no limit.
int64_t ListenerMaxMsgSize = -1;

// True when the frame holds exactly Text: the whole frame, not a prefix and
// not the part before an embedded NUL.
bool FrameIs(zframe_t* pFrame, const char* Text)
{
    return nullptr != pFrame && zframe_streq(pFrame, Text);
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
    // libzmq treats a message over ZMQ_MAXMSGSIZE as a protocol error and
    // closes that connection. A peer that connected to us reconnects by
    // itself, but our own connection to a bound peer is never re-made after
    // a protocol error: a connecting listener gets no such limit and drops
    // oversized messages itself (ZmqDropOversized) instead.
    if (LCT_CONNECT == ConnectType)
    {
        zsock_set_reconnect_ivl_max(pSocket, ZmqReconnectIvlMaxMs);
    }
    else if (ListenerMaxMsgSize >= 0)
    {
        int Result = zmq_setsockopt(zsock_resolve(pSocket), ZMQ_MAXMSGSIZE, &ListenerMaxMsgSize,
                                    sizeof(ListenerMaxMsgSize));
        assert(0 == Result);
        (void)Result;
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
    zmsg_t* pMessage = zmsg_recv_nowait(pLocalSubSocket);
    if (nullptr == pMessage)
    {
        return 0;
    }
    if (ZmqDropOversized(&pMessage))
    {
        return 0;
    }
    int Result = 0;
    // The prefix subscription also lets longer topics through; they and any
    // malformed message are consumed and ignored, never fatal.
    if (FrameIs(zmsg_first(pMessage), StopTopic))
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
    zmsg_t* pMessage = zmsg_recv_nowait(pLocalSubSocket);
    if (nullptr != pMessage && !ZmqDropOversized(&pMessage))
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

void ZmqSetListenerMaxMsgSize(int64_t MaxBytes)
{
    ListenerMaxMsgSize = MaxBytes;
}

bool ZmqDropOversized(zmsg_t** ppMessage)
{
    if (nullptr == *ppMessage || ListenerMaxMsgSize < 0
        || zmsg_content_size(*ppMessage) <= static_cast<size_t>(ListenerMaxMsgSize))
    {
        return false;
    }
    zmsg_destroy(ppMessage);
    // A large message is the one allocation that can raise the allocator's
    // thresholds and stay in the heap after it is freed: give it back now.
    malloc_trim(0);
    return true;
}

bool ZmqTopicIs(zmsg_t* pMessage, const char* pTopic)
{
    return FrameIs(zmsg_first(pMessage), pTopic);
}
