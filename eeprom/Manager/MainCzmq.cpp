// MainCzmq: start-up order, the one-second tick and teardown order.
#include "MainCzmq.h"

#include <cassert>
#include <malloc.h>

#include "HeartBeater.h"
#include "I2cBus.h"
#include "JsonParsePromCommand.h"
#include "JsonParseSystemMessage.h"
#include "JsonPublishEeprom.h"
#include "Prom.h"
#include "PromContract.h"
#include "ZmqUtils.h"

namespace
{
const size_t TickPeriodMs = 1000;
const size_t TickRepeatForever = 0;     // zloop reads 0 as "without end"
const size_t LoopTimerLimit = 1;        // the tick is the loop's only timer
// Ample for any valid command or stop request; larger messages are dropped.
const int64_t MaxInboundMessageBytes = 64 * 1024;
// Commands a bound socket queues while the loop is busy (a rename holds it
// for about 0.7 s); further senders wait, so none is lost.
const int MaxQueuedMessages = 16;
// glibc's default thresholds, pinned. Left dynamic, freeing a block over
// 128 KiB (a large frame on the system-control socket) raises the mmap
// threshold to its size and the trim threshold to twice that; a thread's
// arena then keeps that much free on top of its heap, where malloc_trim
// does not reach, after every large message.
const int MallocMmapThresholdBytes = 128 * 1024;
const int MallocTrimThresholdBytes = 128 * 1024;
}

static zloop_t* pPromLoop = nullptr;
static int OneSecTimer = -1;
static cHeartBeater* pHbBeater = nullptr;

void InitCzmqLoop()
{
    mallopt(M_MMAP_THRESHOLD, MallocMmapThresholdBytes);
    mallopt(M_TRIM_THRESHOLD, MallocTrimThresholdBytes);
    pPromLoop = zloop_new();
    assert(nullptr != pPromLoop);

    InitI2cBusses();
    CreateProm();
    // The first identity text is ready before any socket exists.
    JsonPromPublishCreateObject();
    JsonPromPublishCreateSocket();
    ZmqSetListenerLimits(MaxInboundMessageBytes, MaxQueuedMessages);
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
