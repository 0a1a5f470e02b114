// PromClientListen: the client commands that only listen to a running
// eeprom-manager: watch (every identity message and heartbeat) and status
// (one of each).
#ifndef TOOLS_PROMCLIENTLISTEN_H
#define TOOLS_PROMCLIENTLISTEN_H

#include <czmq.h>

// Prints a message of the service as watch shows it: "<time stamp> frame1
// frame2 ..." (Json: a line {"time", "topic", "body"}, the body as
// WireJson), and flushes, so that a pipe reader sees each message as it
// comes. Returns true when the output failed.
bool PrintStampedMessage(zmsg_t* pMessage, bool Json);

// promtool watch ...; argv[0] is "watch". Returns the exit status.
int WatchCommand(int argc, char* argv[]);
// promtool status ...; argv[0] is "status". Returns the exit status.
int StatusCommand(int argc, char* argv[]);

#endif
