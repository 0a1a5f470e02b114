// MainCzmq: start-up order, the one-second tick and teardown order.
#include "MainCzmq.h"

#include <cassert>

#include "HeartBeater.h"

namespace
{
const size_t TickPeriodMs = 1000;
const size_t TickRepeatForever = 0;     // zloop reads 0 as "without end"
const size_t LoopTimerLimit = 1;        // the tick is the loop's only timer
const char* const HbProcessName = "Eeprom Manager";
}

static zloop_t* pPromLoop = nullptr;
static int OneSecTimer = -1;
static cHeartBeater* pHbBeater = nullptr;

void InitCzmqLoop()
{
    pPromLoop = zloop_new();
    assert(nullptr != pPromLoop);

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

    if (nullptr != pHbBeater)
    {
        delete pHbBeater;
        pHbBeater = nullptr;
    }
}

int DoEverySecond(zloop_t* pLocalLoop, int TimerId, void* arg)
{
    (void)pLocalLoop;
    (void)TimerId;
    (void)arg;
    pHbBeater->SendBeat();
    return 0;
}
