// PromClient: promtool's commands that talk to a running eeprom-manager
// over its ZeroMQ endpoints: watch, set-name, stop, status.
#ifndef TOOLS_PROMCLIENT_H
#define TOOLS_PROMCLIENT_H

#include <string>

#include "PromEndpoints.h"

// What one look at a running service found (promtool status).
struct ServiceProbe_s
{
    bool SawIdentity = false;
    std::string Identity;       // the text of its identity message
    bool BeatsChecked = false;  // false: a health monitor owns HbBeats
    bool SawBeat = false;
    bool Interrupted = false;   // SIGINT/SIGTERM ended the wait
};
// Waits up to the time-out for one identity message and one heartbeat of
// eeprom-manager; pWhatThen ends the warning printed when a health monitor
// owns the heartbeats. Returns true when it could not listen (reported).
bool ProbeService(const ClientOptions_s& Options, const char* pWhatThen, ServiceProbe_s* pProbe);

// argv[0] is the command name. Returns the exit status, or -1 when the
// command is not one of these.
int PromClientCommand(int argc, char* argv[]);

#endif
