// JsonParsePromCommand: "Set Prom" handling on the command socket.
#include "JsonParsePromCommand.h"

#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <jansson.h>

#include "JsonParseUtils.h"
#include "Prom.h"
#include "PromContract.h"
#include "ZmqUtils.h"

namespace
{
const int CommandResult = 0;

// Applies one "Set Prom" body and writes the record when it changed. The
// record takes the requested name only when it would store it differently
// from the name it holds, so a peer repeating a name does not rewrite the
// chip on every request.
void ParseProm(const char* pjsCommandString)
{
    json_t* pjtCommandRoot = JsonConvertStringToObject(pjsCommandString);
    pProm->RenameUnit(JsonGetString(UnitNameKey, pjtCommandRoot));
    if (pProm->WriteRequired())
    {
        pProm->EncryptWrite();
    }
    if (nullptr != pjtCommandRoot)
    {
        json_decref(pjtCommandRoot);
    }
}
}

static zsock_t* pCommandSock = nullptr;    // the PULL socket

void JsonParseCommandCreateSocket(zloop_t* pPromLoop)
{
    pCommandSock = ZmqCreateListenerType(pPromLoop, PromCmdEndpoint, LCT_BIND,
                                         JsonParseCommandMessage, 0, nullptr, nullptr,
                                         ZMQ_PULL);
    assert(nullptr != pCommandSock);
}

int JsonParseCommandMessage(zloop_t* pLocalLoop, zsock_t* pLocalSubSocket, void* arg)
{
    (void)pLocalLoop;
    (void)arg;
    // Oversized: dropped without a word, whatever the record's state, so a
    // flood of them cannot become a flood of reports.
    bool Dropped = false;
    zmsg_t* pMessage = ZmqRecvLimited(pLocalSubSocket, &Dropped);
    if (Dropped)
    {
        return CommandResult;
    }
    assert(nullptr != pMessage);
    if (!pProm->HasValidData())
    {
        zmsg_destroy(&pMessage);
        printf("%s", PromErrorTag);
        printf("Command ignored: the EEPROM record is not valid for this unit.\n");
        return CommandResult;
    }

    // "Set Prom" as a C string: a peer may send it with its terminating NUL.
    bool IsSetProm = ZmqTopicIs(pMessage, SetPromTopic);
    char* pTopic = zmsg_popstr(pMessage);
    assert(nullptr != pTopic);
    char* pjsCommandString = zmsg_popstr(pMessage);

    if (IsSetProm)
    {
        if (nullptr == pjsCommandString)
        {
            printf("%s", PromErrorTag);
            printf("Set Prom command without a body ignored.\n");
        }
        else
        {
            ParseProm(pjsCommandString);
        }
    }

    free(pTopic);
    free(pjsCommandString);
    zmsg_destroy(&pMessage);
    return CommandResult;
}

void JsonParseCleanup()
{
    zsock_destroy(&pCommandSock);
}
