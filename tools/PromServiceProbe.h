// PromServiceProbe: one look at a running eeprom-manager, as `promtool
// status` and `promtool doctor` take it: does an identity message come, and
// a heartbeat of the service, within the time-out?
#ifndef TOOLS_PROMSERVICEPROBE_H
#define TOOLS_PROMSERVICEPROBE_H

#include <string>

#include "PromEndpoints.h"

// What one look at a running service found.
struct ServiceProbe_s
{
    bool SawIdentity = false;
    std::string Identity;       // the text of its identity message
    bool BeatsChecked = false;  // false: a health monitor owns HbBeats
    bool SawBeat = false;
    bool Interrupted = false;   // SIGINT/SIGTERM ended the wait
};
// What the text of an identity message says, as the client commands read
// it: a JSON object with the serial number and the unit name as strings.
struct IdentityText_s
{
    bool HasSerial = false;     // the serial number is there, a string
    bool SaysInvalid = false;   // ... and it is the invalid record's
    bool HasName = false;       // the unit name is there, a string
    std::string Name;           // ... up to a NUL
};
IdentityText_s ReadIdentity(const std::string& Text);

// Waits up to the time-out for one identity message and one heartbeat of
// eeprom-manager; pWhatThen ends the warning printed when a health monitor
// owns the heartbeats. Returns true when it could not listen (reported).
bool ProbeService(const ClientOptions_s& Options, const char* pWhatThen, ServiceProbe_s* pProbe);

#endif
