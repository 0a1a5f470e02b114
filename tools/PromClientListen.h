// PromClientListen: the client commands that only listen to a running
// eeprom-manager: watch (every identity message and heartbeat) and status
// (one of each).
#ifndef TOOLS_PROMCLIENTLISTEN_H
#define TOOLS_PROMCLIENTLISTEN_H

// promtool watch ...; argv[0] is "watch". Returns the exit status.
int WatchCommand(int argc, char* argv[]);
// promtool status ...; argv[0] is "status". Returns the exit status.
int StatusCommand(int argc, char* argv[]);

#endif
