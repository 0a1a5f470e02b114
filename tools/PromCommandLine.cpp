// PromCommandLine: exit statuses, error and warning lines, and the option
// parser of promtool's commands.
#include "PromCommandLine.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <string>
#include <utility>

namespace
{
void Report(const char* pTag, const char* pFormat, va_list Args)
{
    fflush(stdout);     // keeps the order of lines when both go to one file
    fputs(pTag, stderr);
    vfprintf(stderr, pFormat, Args);
}

// Reports what getopt_long refused with Code (':' or '?') as a usage error.
void ReportBadOption(const char* pCommand, char* argv[], int Code)
{
    const char* pGiven = argv[optind - 1];
    if (Code == ':')
    {
        UsageError(pCommand, "option '%s' needs a value", pGiven);
    }
    else if (optopt == 0)
    {
        UsageError(pCommand, "unknown option '%s'", pGiven);
    }
    else if (0 == strncmp(pGiven, "--", 2) && strchr(pGiven, '=') != nullptr)
    {
        UsageError(pCommand, "option '%s' takes no value", pGiven);
    }
    else
    {
        UsageError(pCommand, "unknown option '-%c'", optopt);
    }
}
}

int ToolError(const char* pFormat, ...)
{
    va_list Args;
    va_start(Args, pFormat);
    Report("Error: ", pFormat, Args);
    va_end(Args);
    fputc('\n', stderr);
    return ExitFailed;
}

void ToolWarning(const char* pFormat, ...)
{
    va_list Args;
    va_start(Args, pFormat);
    Report("Warning: ", pFormat, Args);
    va_end(Args);
    fputc('\n', stderr);
}

int UsageError(const char* pCommand, const char* pFormat, ...)
{
    va_list Args;
    va_start(Args, pFormat);
    Report("Error: ", pFormat, Args);
    va_end(Args);
    fprintf(stderr, " (see promtool %s%s--help)\n", pCommand, pCommand[0] != '\0' ? " " : "");
    return ExitUsage;
}

CommandOption_s FlagOption(const char* pName, bool* pGiven)
{
    const bool TakesValue = false;
    return {pName, 0, TakesValue, [pGiven](const char*) {
        *pGiven = true;
        return false;
    }};
}

CommandOption_s TextOption(const char* pName, char Letter, const char** ppValue)
{
    const bool TakesValue = true;
    return {pName, Letter, TakesValue, [ppValue](const char* pValue) {
        *ppValue = pValue;
        return false;
    }};
}

CommandOption_s CheckedOption(const char* pName, std::function<bool(const char* pValue)> Take)
{
    const bool TakesValue = true;
    return {pName, 0, TakesValue, std::move(Take)};
}

int ParseCommandLine(int argc, char* argv[], const CommandLine_s& Line, const char** ppArgument)
{
    // getopt_long's tables. An option's code is its letter, or FirstCode
    // plus its index for one without. A leading ':' in the letters tells a
    // missing value apart from an unknown option.
    const int FirstCode = 1000;
    std::vector<option> Long;
    std::string Letters = ":h";
    for (size_t i = 0; i < Line.Options.size(); i++)
    {
        const CommandOption_s& Option = Line.Options[i];
        int Code = Option.Letter != 0 ? Option.Letter : FirstCode + static_cast<int>(i);
        Long.push_back({Option.pName, Option.TakesValue ? required_argument : no_argument, nullptr, Code});
        if (Option.Letter != 0)
        {
            Letters += Option.Letter;
            Letters += Option.TakesValue ? ":" : "";
        }
    }
    Long.push_back({"help", no_argument, nullptr, 'h'});
    Long.push_back({nullptr, 0, nullptr, 0});

    optind = 0;     // glibc: start afresh, at argv[1]
    opterr = 0;
    for (int Code; (Code = getopt_long(argc, argv, Letters.c_str(), Long.data(), nullptr)) != -1;)
    {
        if (Code == 'h')
        {
            Line.pUsage(stdout);
            return ExitOk;
        }
        if (Code == ':' || Code == '?')
        {
            ReportBadOption(Line.pCommand, argv, Code);
            return ExitUsage;
        }
        size_t Index = Code - FirstCode;
        for (size_t i = 0; Code < FirstCode && i < Line.Options.size(); i++)
        {
            Index = Line.Options[i].Letter == Code ? i : Index;
        }
        if (Line.Options[Index].Take(optarg))
        {
            return ExitUsage;
        }
    }

    int Wanted = Line.pMissingArgument != nullptr ? 1 : 0;
    if (argc - optind != Wanted)
    {
        return optind == argc ? UsageError(Line.pCommand, "%s", Line.pMissingArgument)
                              : UsageError(Line.pCommand, "unexpected argument '%s'%s", argv[optind + Wanted],
                                           Line.pUnexpectedHint);
    }
    if (Wanted != 0)
    {
        *ppArgument = argv[optind];
    }
    return -1;
}

bool ParseNumber(const char* pText, long Min, long Max, long* pValue)
{
    char* pEnd = nullptr;
    errno = 0;
    long Value = strtol(pText, &pEnd, 10);
    if (pEnd == pText || *pEnd != '\0' || errno != 0 || Value < Min || Value > Max)
    {
        return true;
    }
    *pValue = Value;
    return false;
}
