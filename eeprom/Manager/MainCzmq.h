// MainCzmq: the service's one event loop, its start-up and its teardown.
//
// InitCzmqLoop builds every component in a fixed order and registers the
// one-second tick; RunCzmqLoop blocks until a handler ends the loop or the
// process is interrupted (SIGINT, SIGTERM); CleanupCzmqLoop takes everything
// down in a fixed order. Failing to create the loop or its tick is fatal.
#ifndef EEPROM_MANAGER_MAINCZMQ_H
#define EEPROM_MANAGER_MAINCZMQ_H

#include <czmq.h>

// Builds all components and registers the 1000 ms tick.
void InitCzmqLoop();
// Runs the event loop until it ends; its result is discarded.
void RunCzmqLoop();
// Takes all components down; writes nothing to the EEPROM.
void CleanupCzmqLoop();
// The tick: heartbeat first, then the identity. Always returns 0.
int DoEverySecond(zloop_t* pLocalLoop, int TimerId, void* arg);

#endif
