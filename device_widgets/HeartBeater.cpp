// HeartBeater: "HbMon" heartbeats on the health monitor's endpoint.
#include "HeartBeater.h"

#include <cassert>
#include <cstdio>

namespace
{
const char* const HbErrorTag = "HB ERROR  : ";
}

cHeartBeater::cHeartBeater(const char* pInitProcessName)
{
    assert(nullptr != pInitProcessName);
    snprintf(ProcessName, sizeof(ProcessName), "%s", pInitProcessName);
    pPubSocket = zsock_new(ZMQ_PUB);
    assert(nullptr != pPubSocket);
    // Back off while the health monitor is absent instead of retrying ten
    // times a second.
    zsock_set_reconnect_ivl_max(pPubSocket, ZmqReconnectIvlMaxMs);
    int Result = zsock_connect(pPubSocket, "%s", HbEndpoint);
    assert(0 <= Result);
    (void)Result;
}

cHeartBeater::~cHeartBeater()
{
    zsock_destroy(&pPubSocket);
}

void cHeartBeater::SendBeat()
{
    int Result = zstr_sendm(pPubSocket, HbTopic);
    if (0 != Result)
    {
        printf("%s", HbErrorTag);
        printf(" - send beat topic error.");
        // The report has no line end: flush it so the abort cannot swallow it.
        fflush(stdout);
    }
    assert(0 == Result);
    Result = zstr_send(pPubSocket, ProcessName);
    if (0 != Result)
    {
        printf("%s", HbErrorTag);
        printf(" - send beat name error.");
        fflush(stdout);
    }
    assert(0 == Result);
}
