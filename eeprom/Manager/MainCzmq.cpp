// MainCzmq: start-up order, the one-second tick and teardown order.
#include "MainCzmq.h"

#include <cassert>

#include "HeartBeater.h"
#include "I2cBus.h"
#include "JsonParsePromCommand.h"
#include "JsonParseSystemMessage.h"
#include "JsonPublishEeprom.h"
#include "Prom.h"
#include "ZmqUtils.h"

namespace
{
const size_t TickPeriodMs = 1000;
const size_t TickRepeatForever = 0;     // zloop reads 0 as "without end"
const size_t LoopTimerLimit = 1;        // the tick is the loop's only timer
const char* const HbProcessName = "Eeprom Manager";
// Ample for any valid command or stop request; larger messages are dropped.
const int64_t MaxInboundMessageBytes = 64 * 1024;
}

static zloop_t* pPromLoop = nullptr;
static int OneSecTimer = -1;
static cHeartBeater* pHbBeater = nullptr;

void InitCzmqLoop()
{
    pPromLoop = zloop_new();
    assert(nullptr != pPromLoop);

    InitI2cBusses();
    CreateProm();
    // The first identity text is ready before any socket exists.
    JsonPromPublishCreateObject();
    JsonPromPublishCreateSocket();
    ZmqSetListenerMaxMsgSize(MaxInboundMessageBytes);
    JsonParseCommandCreateSocket(pPromLoop);
    JsonParseSystemMessageCreate(pPromLoop);
    pHbBeater = new cHeartBeater(HbProcessName);

    OneSecTimer = zloop_timer(pPromLoop, TickPeriodMs, TickRepeatForever, DoEverySecond, nullptr);
    assert(0 <= OneSecTimer);
    // Set after the tick is registered, so no further timer can ever be added.
    zloop_set_max_timers(pPromLoop, LoopTimerLimit);
}

void RunCzmqLoop()
{
    zloop_start(pPromLoop);
}

void CleanupCzmqLoop()
{
    int Result = zloop_timer_end(pPromLoop, OneSecTimer);
    assert(0 == Result);
    (void)Result;
    zloop_destroy(&pPromLoop);

    JsonPromPublishCleanup();
    JsonParseCleanup();
    JsonParseSystemMessageCleanup();
    if (nullptr != pHbBeater)
    {
        delete pHbBeater;
        pHbBeater = nullptr;
    }
    // Every accepted change was written when it was made: nothing to save.
    DestroyProm();
    CloseI2cBusses();
}

int DoEverySecond(zloop_t* pLocalLoop, int TimerId, void* arg)
{
    (void)pLocalLoop;
    (void)TimerId;
    (void)arg;
    pHbBeater->SendBeat();
    JsonPromPublish();
    return 0;
}
