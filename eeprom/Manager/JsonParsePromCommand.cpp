// JsonParsePromCommand: "Set Prom" handling on the command socket.
#include "JsonParsePromCommand.h"

#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <jansson.h>

#include "JsonParseUtils.h"
#include "Prom.h"
#include "PromContract.h"
#include "ZmqUtils.h"

namespace
{
const int CommandResult = 0;

// Stores psName when it would change the stored unit name. The comparison is
// made on the name as it would be stored (cut to 15 bytes on a character
// boundary), so a peer repeating a long name does not rewrite the chip on
// every request.
void SetName(const char* psName)
{
    char pCurrentName[17] = {};
    pProm->GetUnitName(pCurrentName);
    char Requested[17] = {};
    cProm::CutUnitName(psName, reinterpret_cast<uint8_t*>(Requested));
    if (0 != strcmp(pCurrentName, Requested))
    {
        pProm->SetUnitName(psName);
    }
}

// Applies one "Set Prom" body and writes the record when it changed.
void ParseProm(const char* pjsCommandString)
{
    json_t* pjtCommandRoot = JsonConvertStringToObject(pjsCommandString);
    const char* psName = JsonGetString(UnitNameKey, pjtCommandRoot);
    if (nullptr != psName)
    {
        SetName(psName);
    }
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
