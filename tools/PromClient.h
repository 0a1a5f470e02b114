// PromClient: promtool's commands that talk to a running eeprom-manager
// over its ZeroMQ endpoints: watch and status listen (PromClientListen),
// set-name and stop send (PromClientSend). This pair holds what they share:
// their options and the dispatch by command name.
#ifndef TOOLS_PROMCLIENT_H
#define TOOLS_PROMCLIENT_H

#include <cstdio>

#include "PromEndpoints.h"
#include "PromToolCommon.h"

// Prints the usage lines of the options every client command has.
void ClientOptionsUsage(FILE* pOut, long DefaultTimeoutS);

// The --timeout option of pCommand: whole seconds, 1 to 3600, into
// *pTimeoutS.
CommandOption_s TimeoutOption(const char* pCommand, long* pTimeoutS);

// The command line of the client command pCommand (argv[0]) with the
// options every one has, --zmq-dir and --timeout, which go to *pOptions;
// *pOptions gets their defaults here. pUsage prints the command's usage. A
// command adds its own options and argument before parsing.
CommandLine_s ClientCommandLine(const char* pCommand, void (*pUsage)(FILE*), long DefaultTimeoutS,
                                ClientOptions_s* pOptions);

// Parses the command line of a client command without an argument, then
// checks the endpoint directory Options names. Returns -1 to go on,
// otherwise the exit status.
int ParseClientCommandLine(int argc, char* argv[], const CommandLine_s& Line, const ClientOptions_s& Options);

// argv[0] is the command name. Returns the exit status, or -1 when the
// command is not one of these.
int PromClientCommand(int argc, char* argv[]);

#endif
