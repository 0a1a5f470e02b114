// PromClientOptions: what promtool's commands that talk to a running
// eeprom-manager share (watch and status in PromClientListen, set-name and
// stop in PromClientSend): the options --zmq-dir and --timeout, and their
// command line.
#ifndef TOOLS_PROMCLIENTOPTIONS_H
#define TOOLS_PROMCLIENTOPTIONS_H

#include <cstdio>

#include "PromCommandLine.h"
#include "PromEndpoints.h"

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

#endif
