// HeartBeater: tells the unit's health monitor that a process is alive.
//
// Each cHeartBeater owns one publisher socket connected (not bound) to the
// health monitor's endpoint, so a service may create it before the monitor
// runs. Every SendBeat sends two frames, "HbMon" and the process name, with no
// terminating zeros. The caller sets the rate. A send that fails is fatal:
// a heartbeat is never skipped silently.
#ifndef DEVICE_WIDGETS_HEARTBEATER_H
#define DEVICE_WIDGETS_HEARTBEATER_H

#include <czmq.h>

#include "ZmqUtils.h"

// The health monitor binds HbBeats in the unit's endpoint directory; every
// heartbeat's first frame is HbTopic.
#define HB_BEATS_NAME "HbBeats"
const char* const HbBeatsName = HB_BEATS_NAME;
const char* const HbEndpoint = ZMQ_UNIT_ENDPOINT(HB_BEATS_NAME);
const char* const HbTopic = "HbMon";

class cHeartBeater
{
public:
    // Connects to the health monitor. pInitProcessName must not be null; it
    // is kept as at most 63 characters. A socket that cannot be created or
    // connected is fatal.
    explicit cHeartBeater(const char* pInitProcessName);
    // Closes the socket.
    ~cHeartBeater();
    cHeartBeater(const cHeartBeater&) = delete;
    cHeartBeater& operator=(const cHeartBeater&) = delete;

    // Sends one heartbeat; a failed send prints a report and is fatal.
    void SendBeat();

private:
    zsock_t* pPubSocket;    // publisher connected to the health monitor
    char ProcessName[64];   // name sent in every beat, at most 63 characters
};

#endif
