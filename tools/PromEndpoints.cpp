// PromEndpoints: the ZeroMQ endpoints of a running eeprom-manager, as
// promtool's client commands reach them (ipc:// under /run/shm/zmq).
//
// The heartbeat and system-control endpoints are normally bound by other
// services of the unit (health monitor, system control), and the service
// connects to them. Binding there ourselves would silently take the endpoint
// from a running peer (a bind on an ipc path replaces the file), so before
// binding we try a plain connect to the path: if something accepts it, the
// endpoint is in use and left alone.
#include "PromEndpoints.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "PromCommandLine.h"
#include "PromContract.h"


namespace
{
enum eListenerState
{
    LS_NONE,        // no socket file, or nobody accepts on it
    LS_LISTENING,   // a process is bound there
    LS_UNKNOWN      // cannot tell (path too long, permissions...)
};

// Tries a plain unix-stream connect to the socket file at Path, which is
// what a ZeroMQ ipc peer would do, and closes it again at once.
eListenerState ProbeListener(const std::string& Path)
{
    sockaddr_un Address = {};
    Address.sun_family = AF_UNIX;
    if (Path.size() >= sizeof(Address.sun_path))
    {
        return LS_UNKNOWN;
    }
    memcpy(Address.sun_path, Path.c_str(), Path.size() + 1);
    // Non-blocking: a listener with a full backlog must not stall us.
    int Fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (Fd < 0)
    {
        return LS_UNKNOWN;
    }
    eListenerState State = LS_UNKNOWN;
    if (connect(Fd, reinterpret_cast<sockaddr*>(&Address), sizeof(Address)) == 0 || errno == EAGAIN
        || errno == EINPROGRESS)
    {
        State = LS_LISTENING;
    }
    else if (errno == ENOENT || errno == ECONNREFUSED)
    {
        State = LS_NONE;
    }
    close(Fd);
    return State;
}

// Reports an endpoint whose socket path cannot be used. Returns 1.
int PathError(const std::string& Path)
{
    sockaddr_un Address;
    if (Path.size() >= sizeof(Address.sun_path))
    {
        return ToolError("socket path %s is too long (at most %zu bytes); use a shorter --zmq-dir",
                         Path.c_str(), sizeof(Address.sun_path) - 1);
    }
    return ToolError("cannot reach socket %s: %s", Path.c_str(), strerror(errno));
}


// Binds a SUB for heartbeats at HbBeats, unless a health monitor owns the
// endpoint: then pBeats->pSock stays null and a warning ending in
// pWhatThen is printed. Returns true on any other failure (reported).
bool HeartbeatSubscriber(const ClientOptions_s& Options, BoundSocket_s* pBeats, const char* pWhatThen)
{
    bool MonitorPresent = false;
    if (BindUnlessInUse(Options, HbBeatsName, ZMQ_SUB, pBeats, &MonitorPresent))
    {
        if (!MonitorPresent)
        {
            return true;
        }
        ToolWarning("a health monitor is bound at %s; %s", Endpoint(Options, HbBeatsName).c_str(), pWhatThen);
        return false;
    }
    zsock_set_subscribe(pBeats->pSock, HbTopic);
    return false;
}

}

bool ZmqDirIsMissing(const char* pCommand, const ClientOptions_s& Options)
{
    struct stat Info;
    const char* pDir = Options.ZmqDir.c_str();
    int Error = stat(pDir, &Info) != 0 ? errno : S_ISDIR(Info.st_mode) ? 0 : ENOTDIR;
    if (Error == 0)
    {
        return false;
    }
    if (Error != ENOENT)
    {
        ToolError("cannot use the endpoint directory %s: %s", pDir, strerror(Error));
    }
    else if (Options.ZmqDir == PromZmqDir)
    {
        ToolError("no service's endpoint directory here: %s does not exist (not on a unit?); run promtool on the "
                  "unit, on a simulated one with unitsim-run --unit FILE -- promtool %s, or give --zmq-dir DIR",
                  pDir, pCommand);
    }
    else
    {
        ToolError("--zmq-dir %s: no such directory; give a unit's endpoint directory (from outside a simulated "
                  "unit: /proc/PID/root/dev/shm/zmq)", pDir);
    }
    return true;
}

std::string EndpointPath(const ClientOptions_s& Options, const char* pName)
{
    return Options.ZmqDir + "/" + pName;
}

std::string Endpoint(const ClientOptions_s& Options, const char* pName)
{
    return "ipc://" + EndpointPath(Options, pName);
}

std::string FrameText(zmsg_t* pMessage, size_t Index)
{
    zframe_t* pFrame = zmsg_first(pMessage);
    for (size_t i = 0; i < Index && pFrame != nullptr; i++)
    {
        pFrame = zmsg_next(pMessage);
    }
    if (pFrame == nullptr)
    {
        return std::string();
    }
    return std::string(reinterpret_cast<const char*>(zframe_data(pFrame)), zframe_size(pFrame));
}

zsock_t* IdentitySubscriber(const ClientOptions_s& Options)
{
    std::string Where = Endpoint(Options, PromStatName);
    zsock_t* pSock = zsock_new(ZMQ_SUB);
    if (pSock == nullptr)
    {
        ToolError("cannot create a ZeroMQ socket: %s", zmq_strerror(zmq_errno()));
        return nullptr;
    }
    zsock_set_subscribe(pSock, PromInfoTopic);
    if (zsock_connect(pSock, "%s", Where.c_str()) != 0)
    {
        ToolError("cannot connect to %s: %s", Where.c_str(), zmq_strerror(zmq_errno()));
        zsock_destroy(&pSock);
    }
    return pSock;
}

bool BindUnlessInUse(const ClientOptions_s& Options, const char* pName, int Type, BoundSocket_s* pBound,
                     bool* pInUse)
{
    *pInUse = false;
    pBound->Path = EndpointPath(Options, pName);
    eListenerState State = ProbeListener(pBound->Path);
    if (State == LS_LISTENING)
    {
        *pInUse = true;
        return true;
    }
    if (State == LS_UNKNOWN)
    {
        PathError(pBound->Path);
        return true;
    }
    pBound->pSock = zsock_new(Type);
    if (pBound->pSock == nullptr)
    {
        ToolError("cannot create a ZeroMQ socket: %s", zmq_strerror(zmq_errno()));
        return true;
    }
    if (zsock_bind(pBound->pSock, "ipc://%s", pBound->Path.c_str()) < 0)
    {
        ToolError("cannot bind ipc://%s: %s", pBound->Path.c_str(), zmq_strerror(zmq_errno()));
        zsock_destroy(&pBound->pSock);
        return true;
    }
    struct stat Info;
    if (stat(pBound->Path.c_str(), &Info) == 0)
    {
        pBound->Device = Info.st_dev;
        pBound->Inode = Info.st_ino;
    }
    return false;
}

void CloseBound(BoundSocket_s* pBound)
{
    if (pBound->pSock == nullptr)
    {
        return;
    }
    zsock_destroy(&pBound->pSock);
    struct stat Info;
    if (pBound->Inode != 0 && stat(pBound->Path.c_str(), &Info) == 0 && Info.st_dev == pBound->Device
        && Info.st_ino == pBound->Inode)
    {
        unlink(pBound->Path.c_str());
    }
}

bool OpenListeners(const ClientOptions_s& Options, const char* pWhatThen, Listeners_s* pListeners)
{
    pListeners->pIdentity = IdentitySubscriber(Options);
    if (pListeners->pIdentity == nullptr)
    {
        return true;
    }
    if (HeartbeatSubscriber(Options, &pListeners->Beats, pWhatThen))
    {
        zsock_destroy(&pListeners->pIdentity);
        return true;
    }
    // Without a heartbeat socket the list simply ends after pIdentity.
    pListeners->pPoller = zpoller_new(pListeners->pIdentity, pListeners->Beats.pSock, nullptr);
    assert(pListeners->pPoller != nullptr);
    return false;
}

void CloseListeners(Listeners_s* pListeners)
{
    zpoller_destroy(&pListeners->pPoller);
    CloseBound(&pListeners->Beats);
    zsock_destroy(&pListeners->pIdentity);
}

int RemainingMs(int64_t Deadline)
{
    int64_t Left = Deadline - zclock_mono();
    return Left > 0 ? static_cast<int>(Left) : 0;
}

bool WaitReadable(zsock_t* pSock, int TimeoutMs)
{
    zmq_pollitem_t Item = {zsock_resolve(pSock), 0, ZMQ_POLLIN, 0};
    return zmq_poll(&Item, 1, TimeoutMs) > 0;
}
