// PromClientSend: the client commands that send a running eeprom-manager a
// request: set-name (a new unit name) and stop.
#ifndef TOOLS_PROMCLIENTSEND_H
#define TOOLS_PROMCLIENTSEND_H

// promtool set-name ...; argv[0] is "set-name". Returns the exit status.
int SetNameCommand(int argc, char* argv[]);
// promtool stop ...; argv[0] is "stop". Returns the exit status.
int StopCommand(int argc, char* argv[]);

#endif
