// PromCommandLine: how every promtool command meets its caller: exit
// statuses, the "Error:" and "Warning:" lines on standard error, and the one
// option parser all commands use.
//
// Conventions: a usage error prints one line "Error: ... (see promtool CMD
// --help)" on standard error and exits 2; a run-time failure prints "Error:
// ..." and exits 1; --help prints to standard output and exits 0.
#ifndef TOOLS_PROMCOMMANDLINE_H
#define TOOLS_PROMCOMMANDLINE_H

#include <cstdio>
#include <functional>
#include <vector>

const int ExitOk = 0;
const int ExitFailed = 1;           // a run-time failure
const int ExitUsage = 2;            // a usage error
const int ExitInterrupted = 130;    // SIGINT/SIGTERM before the command finished

// Prints "Error: " and the formatted message to stderr; returns ExitFailed.
int ToolError(const char* pFormat, ...) __attribute__((format(printf, 1, 2)));
// Prints "Warning: " and the formatted message to stderr.
void ToolWarning(const char* pFormat, ...) __attribute__((format(printf, 1, 2)));
// Prints "Error: <message> (see promtool <pCommand> --help)"; returns ExitUsage.
int UsageError(const char* pCommand, const char* pFormat, ...) __attribute__((format(printf, 2, 3)));

// One option of a promtool command. Take gets the option's value (null for
// an option without one) as the option comes: it stores the value, checks
// it where it needs checking, and returns true after reporting a usage error.
struct CommandOption_s
{
    const char* pName;      // the long name, without "--"
    char Letter;            // its one-letter form, or 0
    bool TakesValue;
    std::function<bool(const char* pValue)> Take;
};
// An option without a value that sets *pGiven.
CommandOption_s FlagOption(const char* pName, bool* pGiven);
// An option whose value is kept in *ppValue as given (the last one counts).
CommandOption_s TextOption(const char* pName, char Letter, const char** ppValue);
// An option with a value, which Take stores and checks.
CommandOption_s CheckedOption(const char* pName, std::function<bool(const char* pValue)> Take);

// The command line of one promtool command.
struct CommandLine_s
{
    const char* pCommand;                   // for "(see promtool CMD --help)"
    void (*pUsage)(FILE* pOut);             // prints the usage for -h and --help
    std::vector<CommandOption_s> Options;   // all but -h and --help
    // The complaint when the command's one argument is missing; null when
    // the command takes no argument.
    const char* pMissingArgument = nullptr;
    const char* pUnexpectedHint = "";       // ends the complaint about an argument too many
};
// Parses argv (argv[0] is the command's own word) with getopt_long: options
// and arguments in any order. An unknown option, a missing value, a value
// given to an option that takes none and a wrong number of arguments are
// usage errors. Returns -1 to go on, with the one argument in *ppArgument
// where the command takes one; otherwise the exit status: ExitOk after the
// usage for -h or --help, ExitUsage after a usage error.
int ParseCommandLine(int argc, char* argv[], const CommandLine_s& Line, const char** ppArgument = nullptr);

// Parses a whole decimal number within [Min, Max]. Returns true on failure.
bool ParseNumber(const char* pText, long Min, long Max, long* pValue);

#endif
