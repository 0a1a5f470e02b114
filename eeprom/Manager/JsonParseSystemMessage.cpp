// JsonParseSystemMessage: "ServiceStop" requests on the system-control channel.
#include "JsonParseSystemMessage.h"

#include <cassert>
#include <cstdlib>

#include "JsonParseUtils.h"
#include "PromContract.h"
#include "ZmqUtils.h"

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
    // This socket connects, so libzmq cannot cap its messages without
    // dropping the connection for good: oversized ones are dropped here.
    bool Dropped = false;
    zmsg_t* pMessage = ZmqRecvLimited(pLocalSubSocket, &Dropped);
    if (Dropped)
    {
        return 0;
    }
    assert(nullptr != pMessage);
    // The subscription matches by prefix: demand the topic itself.
    bool IsStopTopic = ZmqTopicIs(pMessage, ServiceStopTopic);
    char* pTopic = zmsg_popstr(pMessage);
    char* pjsData = zmsg_popstr(pMessage);
    assert(nullptr != pTopic);

    int ExitApp = 0;
    if (IsStopTopic && JsonParseStop(pjsData))
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
