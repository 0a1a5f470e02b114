// PromClient: promtool's commands that talk to a running eeprom-manager
// over its ZeroMQ endpoints: watch and status listen (PromClientListen),
// set-name and stop send (PromClientSend). This pair holds what they share:
// their options and the dispatch by command name.
#ifndef TOOLS_PROMCLIENT_H
#define TOOLS_PROMCLIENT_H

#include <cstdio>

#include "PromEndpoints.h"

// Prints the usage lines of the options every client command has.
void ClientOptionsUsage(FILE* pOut, long DefaultTimeoutS);

// Parses the options of one command into pOptions (and *pCount, *pNoWait,
// *pJson where the command has them: null pointers mean the option is
// unknown); pUsage prints the command's usage for --help.
// Positional arguments are left at argv[optind..]. Returns -1 to go on,
// otherwise the exit status (ExitOk after -h, ExitUsage after a usage error).
int ParseClientOptions(int argc, char* argv[], void (*pUsage)(FILE*), long DefaultTimeoutS,
                       ClientOptions_s* pOptions, long* pCount, bool* pNoWait, bool* pJson = nullptr);

// For commands without arguments: -1 when none was given, otherwise
// ExitUsage after the usage error.
int RejectArguments(int argc, char* argv[]);

// argv[0] is the command name. Returns the exit status, or -1 when the
// command is not one of these.
int PromClientCommand(int argc, char* argv[]);

#endif
