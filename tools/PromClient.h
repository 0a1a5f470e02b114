// PromClient: promtool's commands that talk to a running eeprom-manager
// over its ZeroMQ endpoints: watch, set-name, stop, status.
#ifndef TOOLS_PROMCLIENT_H
#define TOOLS_PROMCLIENT_H

// argv[0] is the command name. Returns the exit status, or -1 when the
// command is not one of these.
int PromClientCommand(int argc, char* argv[]);

#endif
