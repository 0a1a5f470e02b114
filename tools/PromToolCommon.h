// PromToolCommon: what every promtool command shares: exit statuses, error
// and warning lines, option parsing, the checks of serial numbers, unit names
// and MAC addresses wherever they enter, and output to the terminal and as
// JSON.
//
// Conventions: a usage error prints one line "Error: ... (see promtool CMD
// --help)" on standard error and exits 2; a run-time failure prints "Error:
// ..." and exits 1; --help prints to standard output and exits 0. Standard
// output carries data only: the record, I2C and crypto layers, which report
// on standard output, are sent to standard error while promtool uses them
// (cReportsToStderr).
#ifndef TOOLS_PROMTOOLCOMMON_H
#define TOOLS_PROMTOOLCOMMON_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include <jansson.h>

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

// True when the six bytes at pSn are ASCII digits, as a serial number is.
bool SerialIsValid(const uint8_t* pSn);
// The serial number argument of pOption: exactly six digits. Returns true
// after reporting a usage error.
bool SerialArgumentIsBad(const char* pCommand, const char* pOption, const char* pSerial);
// True when Length bytes at pText are valid UTF-8.
bool Utf8IsValid(const char* pText, size_t Length);
// A unit name from pWhere: refused (usage error reported, true returned)
// when it is not UTF-8; otherwise cut as the record stores it into pStored
// (16 bytes), with a warning when the cut loses bytes.
bool NameIsBad(const char* pCommand, const char* pWhere, const char* pName, uint8_t* pStored);
// Parses "aa:bb:cc:dd:ee:ff" (hex digits, either case) into 6 bytes.
// Returns true on failure.
bool ParseMac(const char* pText, uint8_t* pMac);
// The MAC address argument of pOption: parsed into pMac, with a warning for
// the zero, broadcast and multicast addresses. Returns true after reporting
// a usage error.
bool MacArgumentIsBad(const char* pCommand, const char* pOption, const char* pText, uint8_t* pMac);
// Warns when the MAC address from pWhere is one no interface has (zero,
// broadcast, multicast).
void WarnUnusualMac(const char* pWhere, const uint8_t* pMac);
// "aa:bb:cc:dd:ee:ff".
std::string MacText(const uint8_t* pMac);
// The unit name of a record: its bytes up to the first NUL.
std::string StoredName(const uint8_t* pUnitName);

// Text for the terminal: Length bytes with everything that is not printable
// UTF-8 (control bytes, NUL, DEL, C1 controls, broken sequences) and the
// backslash written as \xNN.
std::string EscapedText(const uint8_t* pBytes, size_t Length);
// Text from the wire (identity messages, heartbeats) for the terminal:
// escaped as EscapedText, but a backslash stays, since in a JSON text it is
// the text's own escape.
std::string WireText(const std::string& Text);

// Prints pjtObject (a reference taken) on standard output as one JSON
// document and a line end, with DEL and the C1 controls, which jansson
// writes raw, as \u escapes.
void PrintJson(json_t* pjtObject);
// Flushes standard output. A failed write anywhere on it (a full disk, a
// closed pipe) is reported and turns Status into ExitFailed when it was 0.
int FinishOutput(int Status);

// While an object of this class lives, standard output goes to standard
// error: for the reports of the record, I2C and crypto layers.
class cReportsToStderr
{
public:
    cReportsToStderr();
    ~cReportsToStderr();
    cReportsToStderr(const cReportsToStderr&) = delete;
    cReportsToStderr& operator=(const cReportsToStderr&) = delete;

private:
    int SavedStdout;    // the real standard output, restored at the end
};

#endif
