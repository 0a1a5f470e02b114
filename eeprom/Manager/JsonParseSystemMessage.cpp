// JsonParseSystemMessage: "ServiceStop" requests on the system-control channel.
#include "JsonParseSystemMessage.h"

#include <cassert>
#include <cstdlib>
#include <cstring>

#include "JsonParseUtils.h"
#include "ZmqUtils.h"

namespace
{
const char* const SysCntlEndpoint = "ipc:///run/shm/zmq/SysCntl";
const char* const ServiceStopTopic = "ServiceStop";
}

static zsock_t* pSysControlSub = nullptr;  // the SUB socket
static tsTopic SysControlTopic;             // its one subscription

void JsonParseSystemMessageCreate(zloop_t* pLoop)
{
    SysControlTopic.pTopic = ServiceStopTopic;
    pSysControlSub = ZmqCreateListener(pLoop, SysCntlEndpoint, LCT_CONNECT,
                                       JsonParseSystemMessage, 1, &SysControlTopic, nullptr);
}

int JsonParseSystemMessage(zloop_t* pLocalLoop, zsock_t* pLocalSubSocket, void* arg)
{
    (void)pLocalLoop;
    (void)arg;
    zmsg_t* pMessage = zmsg_recv_nowait(pLocalSubSocket);
    assert(nullptr != pMessage);
    char* pTopic = zmsg_popstr(pMessage);
    char* pjsData = zmsg_popstr(pMessage);
    assert(nullptr != pTopic);

    // The subscription matches by prefix: demand the exact topic.
    int ExitApp = 0;
    if (0 == strcmp(pTopic, ServiceStopTopic) && JsonParseStop(pjsData))
    {
        ExitApp = -1;
    }

    free(pTopic);
    free(pjsData);
    zmsg_destroy(&pMessage);
    return ExitApp;
}

void JsonParseSystemMessageCleanup()
{
    zsock_destroy(&pSysControlSub);
}
