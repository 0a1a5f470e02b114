// ZmqUtils: creates ZeroMQ listener sockets and registers them as readers of
// a czmq event loop, so that a service's message handlers run on its single
// event-loop thread. Also carries ready-made readers for the system-control
// stop request and the system status report, and a library-version query.
//
// Two creation operations exist. ZmqCreateListenerType is lenient: a failed
// bind/connect or reader registration is reported on standard output
// ("ZMQU Error: " and then the message) and the socket is returned anyway,
// possibly unattached or never read. ZmqCreateListener (always a subscriber)
// is strict: those failures are fatal assertions. In both, a null loop, a
// socket that cannot be created or a null topic entry is fatal.
//
// The returned socket belongs to the caller, who destroys it (zsock_destroy)
// after the loop is destroyed. The module's only state is the inbound limits
// of ZmqSetListenerLimits and the count of bytes received since the heap was
// last trimmed.
#ifndef DEVICE_WIDGETS_ZMQUTILS_H
#define DEVICE_WIDGETS_ZMQUTILS_H

#include <czmq.h>
#include <cstdint>

// How a listener is attached to its endpoint. Only LCT_CONNECT connects;
// every other value, including ones outside the list, binds. The underlying
// type is fixed so that any int is a valid value.
typedef enum : int
{
    LCT_BIND = 0,
    LCT_CONNECT = 1
} teListenConnectType;

// The unit's endpoint directory: the ipc:// endpoints of its services'
// sockets are files in it. ZMQ_UNIT_ENDPOINT("Name") is the endpoint of the
// socket file Name there, as a literal.
#define ZMQ_UNIT_DIR "/run/shm/zmq"
#define ZMQ_UNIT_ENDPOINT(Name) "ipc://" ZMQ_UNIT_DIR "/" Name
const char* const ZmqUnitDir = ZMQ_UNIT_DIR;

// The system-control channel: its publisher binds SysCntl in the directory,
// services subscribe to "ServiceStop", and a stop request carries a payload
// that JsonParseStop reads (ParseSystemControl is a ready-made reader).
#define ZMQ_SYS_CNTL_NAME "SysCntl"
const char* const SysCntlName = ZMQ_SYS_CNTL_NAME;
const char* const SysCntlEndpoint = ZMQ_UNIT_ENDPOINT(ZMQ_SYS_CNTL_NAME);
const char* const ServiceStopTopic = "ServiceStop";

// One subscription prefix.
typedef struct
{
    const char* pTopic;  // NUL-terminated prefix; "" matches every message
} tsTopic;

// A reader handler: the event loop's reader function. Returns 0 to keep the
// loop running and -1 to end it.
typedef int (*pCzmqCallback)(zloop_t* pLoop, zsock_t* pSocket, void* pArg);

// A process's status as reported on the system status channel (32 bits).
enum ProcessStatus_e : int32_t
{
    PS_OK = 0,
    PS_FAULT = 1,
    PS_WAITING = 2,
    PS_SHUTDOWN = 3,
    PS_NUM_STATUS_STATES = 4  // count, not a status
};

// Creates a socket of ZeroMQ type ZmqSocketType, binds or connects it to
// pSocketAddress (used verbatim), subscribes it and registers it as a
// tolerant reader of pLoop calling pMsgHandler with pArg.
// Subscriptions are made only on subscriber sockets (type 2): NumTopics 0
// subscribes to everything, otherwise pTopics[0..NumTopics-1] in order, each
// pTopic non-null (assertion). For every other type (pull 7 above all)
// subscribing means nothing, so pTopics is never read and may be null.
// A failed bind/connect or registration is reported and creation goes on.
// Returns the socket; pLoop null or a failed socket creation is fatal.
zsock_t* ZmqCreateListenerType(zloop_t* pLoop, const char* pSocketAddress, teListenConnectType ConnectType,
                               pCzmqCallback pMsgHandler, uint8_t NumTopics, tsTopic* pTopics, void* pArg,
                               int ZmqSocketType);

// As ZmqCreateListenerType for a subscriber socket (type 2), but strict: a
// failed bind/connect or reader registration is fatal. Returns the socket.
zsock_t* ZmqCreateListener(zloop_t* pLoop, const char* pSocketAddress, teListenConnectType ConnectType,
                           pCzmqCallback pMsgHandler, uint8_t NumTopics, tsTopic* pTopics, void* pArg);

// Longest pause between two attempts of a connecting socket to reach an
// absent peer. libzmq starts at 100 ms and doubles the pause up to this, so
// an absent peer costs a wake-up every 2 s instead of ten a second, and a
// peer that appears is reached within about 2 s.
const int ZmqReconnectIvlMaxMs = 2000;

// Inbound limits of the listeners created from now on (the service sets 64
// KiB and 16 messages).
//  MaxMsgBytes: the largest message, all its frames together, that
//   ZmqRecvLimited passes on; -1 (the default) sets none. A bound listener
//   also has libzmq refuse any single frame larger than this from the frame's
//   header, before storing it: the sender is disconnected and its libzmq
//   reconnects by itself. libzmq limits frames only, never a whole message,
//   and a connecting listener gets no libzmq limit at all, because libzmq
//   never re-makes its own connection to a bound peer after that protocol
//   error: readers enforce the total themselves.
//  MaxQueuedMsgs: how many messages a bound listener queues (libzmq's receive
//   high-water mark). It counts whole messages whatever their size, so it
//   bounds the queue's bytes only together with the frame limit, and one
//   message of many frames is still taken whole into libzmq's queue before
//   its first frame can be read. A full queue makes a pushing sender wait:
//   nothing is lost. 0 keeps libzmq's default (1000).
void ZmqSetListenerLimits(int64_t MaxMsgBytes, int MaxQueuedMsgs);
// Receives one waiting message without blocking, frame by frame. Returns it,
// or null when nothing was waiting (*pDropped false) or when its frames
// together exceeded MaxMsgBytes (*pDropped true): that message is read to its
// end, each frame released as soon as it is read, so it is never held here.
// After every 64 KiB received, big messages and small, the heap is trimmed
// (all malloc arenas, libzmq's I/O thread's included), so the memory a large
// message took is given back. pDropped may be null.
zmsg_t* ZmqRecvLimited(zsock_t* pSocket, bool* pDropped);
// True when the first frame of pMessage, read as a C string, is pTopic: its
// bytes up to its first NUL, or all of them when it has none. "Set Prom"
// sent with its terminating NUL (and whatever follows that) is "Set Prom";
// "Set Promx" is another topic.
bool ZmqTopicIs(zmsg_t* pMessage, const char* pTopic);

// Reader for the system-control channel. Receives one waiting message
// (ZmqRecvLimited); when its topic is "ServiceStop" (ZmqTopicIs) and its
// payload is addressed to this service (JsonParseStop), returns -1 to end
// the loop. Returns 0 when nothing is waiting, for an oversized message, for
// any other topic (such as a longer one that the prefix subscription lets
// through), and for a payload that is missing or not addressed to us. The
// message is always consumed. arg is not used.
int ParseSystemControl(zloop_t* pLocalLoop, zsock_t* pLocalSubSocket, void* arg);

// Reader for the system status channel. Receives one waiting message and
// stores into *pStatus (a ProcessStatus_e, may be null): PS_OK for
// "SysStatus"/"Ok", PS_FAULT for "SysStatus"/"Error" (exact case, each frame
// read as a C string, as ZmqTopicIs does), and PS_WAITING for anything else,
// an oversized message, or when nothing was waiting. Returns 0.
int SystemStatCallback(zloop_t* pLocalLoop, zsock_t* pLocalSubSocket, void* pStatus);

// Queries the messaging library's version and discards it; prints nothing.
void ZmqPrintLibVersions();

#endif
