// JsonPublishEeprom: the "PromInfo" identity publisher.
#include "JsonPublishEeprom.h"

#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <czmq.h>
#include <jansson.h>

#include "Prom.h"
#include "PromContract.h"

namespace
{
// Longest subscription taken. A forwarding proxy passes its clients'
// subscriptions on, so any length a peer plausibly uses must work. libzmq
// keeps each subscription for as long as its subscriber stays connected, at
// tens of bytes per byte of topic (bench/run measures it), so the limit
// bounds what one subscription can cost; how many a subscriber makes is its
// own choice, and only the endpoint directory's group can connect at all.
const int64_t MaxSubscriptionBytes = 4096;
// The frame that carries it: ZMTP 3.1 puts the command name "SUBSCRIBE"
// and its length byte before the topic (older peers put one flag byte). A
// longer frame is refused from its header and the connection dropped; the
// subscriber's libzmq makes it again.
const int64_t MaxSubscriptionFrameBytes = MaxSubscriptionBytes + 10;
}

static zsock_t* pEpStatSockIpc = nullptr;   // the publish socket
static json_t* pjtEeprom = nullptr;         // the identity object, reused
static char* pjsEeprom = nullptr;           // its text; null when there is none
static int CreationResult = 0;              // OR of the member insertions' status

void JsonPromPublishCreateObject()
{
    CreationResult = 0;
    if (nullptr != pjtEeprom)
    {
        int ClearResult = json_object_clear(pjtEeprom);
        assert(0 == ClearResult);
        (void)ClearResult;
    }
    else
    {
        pjtEeprom = json_object();
    }
    assert(nullptr != pjtEeprom);

    if (pProm->HasValidData())
    {
        char Sn[SerialNumberTextBytes] = {};
        char Name[UnitNameTextBytes] = {};
        pProm->GetSerialNumber(Sn);
        pProm->GetUnitName(Name);
        // json_string refuses text that is not valid UTF-8; inserting the
        // null it returns fails, and so does the build.
        CreationResult |= json_object_set_new(pjtEeprom, SerialNumberKey, json_string(Sn));
        CreationResult |= json_object_set_new(pjtEeprom, UnitNameKey, json_string(Name));
    }
    else
    {
        CreationResult |= json_object_set_new(pjtEeprom, SerialNumberKey, json_string(InvalidSerialNumber));
        CreationResult |= json_object_set_new(pjtEeprom, UnitNameKey, json_string(InvalidUnitName));
    }

    free(pjsEeprom);
    pjsEeprom = nullptr;
    if (0 != CreationResult)
    {
        printf("%s", PromErrorTag);
        printf("Creating eeprom information.\n");
        return;
    }
    pjsEeprom = json_dumps(pjtEeprom, 0);
}

void JsonPromPublishCreateSocket()
{
    pEpStatSockIpc = zsock_new(ZMQ_PUB);
    assert(nullptr != pEpStatSockIpc);
    // Before the bind, which every accepted connection copies it from. A
    // subscriber over the limit loses its connection, and its libzmq makes
    // it again.
    int Result = zmq_setsockopt(zsock_resolve(pEpStatSockIpc), ZMQ_MAXMSGSIZE, &MaxSubscriptionFrameBytes,
                                sizeof(MaxSubscriptionFrameBytes));
    assert(0 == Result);
    (void)Result;
    if (0 != zsock_bind(pEpStatSockIpc, "%s", PromStatEndpoint))
    {
        printf("%s", PromErrorTag);
        printf("Could not bind one or more sockets in JsonPromPublishCreate.\n");
    }
}

void JsonPromPublish()
{
    assert(nullptr != pEpStatSockIpc);
    if (pProm->HasChanged())
    {
        JsonPromPublishCreateObject();
    }
    if (nullptr != pjsEeprom)
    {
        int SendResult = zstr_sendm(pEpStatSockIpc, PromInfoTopic);
        SendResult |= zstr_send(pEpStatSockIpc, pjsEeprom);
        assert(0 == SendResult);
        (void)SendResult;
    }
}

void JsonPromPublishCleanup()
{
    zsock_destroy(&pEpStatSockIpc);
    free(pjsEeprom);
    pjsEeprom = nullptr;
    json_decref(pjtEeprom);
    pjtEeprom = nullptr;
}
