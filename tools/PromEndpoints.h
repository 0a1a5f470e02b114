// PromEndpoints: the ZeroMQ endpoints of a running eeprom-manager, as
// promtool's client commands reach them: ipc:// sockets in the unit's
// endpoint directory (/run/shm/zmq, or another one given with --zmq-dir).
//
// PromStat (identity) and PromCmd (commands) are bound by the service; we
// only connect there. HbBeats (heartbeats) and SysCntl (stop requests) are
// bound by other services of the unit when they run; we bind there only when
// nobody else is, and remove our socket file again afterwards.
#ifndef TOOLS_PROMENDPOINTS_H
#define TOOLS_PROMENDPOINTS_H

#include <cstdint>
#include <string>
#include <sys/types.h>

#include <czmq.h>

// Settings every client command has.
struct ClientOptions_s
{
    std::string ZmqDir;     // directory of the unit's ipc endpoints
    long TimeoutS;          // longest wait of the command, seconds

    // The longest wait in milliseconds, as libzmq and czmq count time.
    int TimeoutMs() const { return static_cast<int>(TimeoutS * 1000); }
};

// Reports a missing or unusable endpoint directory, with the ways to reach
// a unit's (for pCommand); without it every bind would fail with a bare
// ENOENT and every connect would wait in vain. Returns true when reported.
bool ZmqDirIsMissing(const char* pCommand, const ClientOptions_s& Options);

// The socket file of the endpoint Name, and its ipc:// endpoint.
std::string EndpointPath(const ClientOptions_s& Options, const char* pName);
std::string Endpoint(const ClientOptions_s& Options, const char* pName);

// Frame Index (from 0) of a message as a string; empty when it is missing.
std::string FrameText(zmsg_t* pMessage, size_t Index);

// A SUB socket connected to the identity publisher, subscribed to its topic.
// Returns null after reporting a failure.
zsock_t* IdentitySubscriber(const ClientOptions_s& Options);

// A socket bound at an ipc endpoint, with the identity of the socket file
// the bind made. Closing a socket leaves its file behind; we remove it, but
// only while it is still ours (another process may have bound there since).
struct BoundSocket_s
{
    zsock_t* pSock = nullptr;   // the bound socket, or null
    std::string Path;           // its socket file
    dev_t Device = 0;           // the file's device and inode after the bind
    ino_t Inode = 0;
};

// Binds a socket of Type at the endpoint Name unless a process is already
// bound there. *pInUse tells that case apart (no socket, nothing reported);
// any other failure is reported. Returns true on failure.
bool BindUnlessInUse(const ClientOptions_s& Options, const char* pName, int Type, BoundSocket_s* pBound,
                     bool* pInUse);
// Closes the bound socket and removes its socket file if that is still the
// one our bind made.
void CloseBound(BoundSocket_s* pBound);

// What watch and status listen on: the identity subscriber, the heartbeat
// subscriber (null when a health monitor owns HbBeats) and a poller on both.
struct Listeners_s
{
    zsock_t* pIdentity = nullptr;
    BoundSocket_s Beats;
    zpoller_t* pPoller = nullptr;
};

// Opens the listeners; pWhatThen ends the warning printed when heartbeats
// cannot be seen. Returns true on failure (reported).
bool OpenListeners(const ClientOptions_s& Options, const char* pWhatThen, Listeners_s* pListeners);
void CloseListeners(Listeners_s* pListeners);

// Milliseconds left until Deadline (zclock_mono time), at least 0.
int RemainingMs(int64_t Deadline);
// Waits up to TimeoutMs for a message on pSock. Returns true when one is
// ready; false after the time-out or a signal (zsys_interrupted tells).
bool WaitReadable(zsock_t* pSock, int TimeoutMs);

#endif
