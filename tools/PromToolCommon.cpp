// PromToolCommon: error reporting, options, argument checks and output for
// promtool.
#include "PromToolCommon.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <unistd.h>
#include <utility>

#include "NetworkUtils.h"
#include "Prom.h"

namespace
{
void Report(const char* pTag, const char* pFormat, va_list Args)
{
    fflush(stdout);     // keeps the order of lines when both go to one file
    fputs(pTag, stderr);
    vfprintf(stderr, pFormat, Args);
}

// Length of the UTF-8 character at pText (at most Left bytes), 0 when the
// bytes there are not one: a stray continuation byte, a sequence cut short,
// an overlong form, a surrogate or a code point beyond U+10FFFF (the rules
// jansson applies to the service's identity text). *pChar gets the
// character; a NUL is a character of one byte. Decoded here rather than with
// mbrtowc, which needs a UTF-8 locale: glibc's C.UTF-8 is a locale file, and
// unit images often ship none.
size_t Utf8CharLength(const char* pText, size_t Left, uint32_t* pChar)
{
    const uint8_t* p = reinterpret_cast<const uint8_t*>(pText);
    // The lead byte gives the length and the smallest code point that needs it.
    size_t Length = p[0] < 0x80 ? 1 : p[0] < 0xC0 ? 0 : p[0] < 0xE0 ? 2 : p[0] < 0xF0 ? 3 : p[0] < 0xF8 ? 4 : 0;
    static const uint32_t Smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (Length == 0 || Length > Left)
    {
        return 0;
    }
    uint32_t Char = Length == 1 ? p[0] : p[0] & (0x7F >> Length);
    for (size_t i = 1; i < Length; i++)
    {
        if ((p[i] & 0xC0) != 0x80)
        {
            return 0;
        }
        Char = (Char << 6) | (p[i] & 0x3F);
    }
    if (Char < Smallest[Length] || Char > 0x10FFFF || (Char >= 0xD800 && Char <= 0xDFFF))
    {
        return 0;
    }
    *pChar = Char;
    return Length;
}

// True for the characters glibc's C.UTF-8 locale counts as printable: every
// assigned one but the controls and the line and paragraph separators. From
// a table rather than iswprint_l, for the same reason as above.
bool IsPrintable(uint32_t Char)
{
    struct Range_s
    {
        uint32_t First;
        uint32_t Last;
    };
    static const Range_s Printable[] = {
#include "PrintableRanges.inc"
    };
    // The first range that does not end before Char.
    const Range_s* pEnd = Printable + sizeof(Printable) / sizeof(Printable[0]);
    const Range_s* pRange = std::lower_bound(Printable, pEnd, Char,
                                             [](const Range_s& Range, uint32_t Code) { return Range.Last < Code; });
    return pRange != pEnd && pRange->First <= Char;
}

// Length bytes with everything but printable UTF-8 written as \xNN; the
// backslash too, unless KeepBackslash.
std::string Escaped(const uint8_t* pBytes, size_t Length, bool KeepBackslash)
{
    const char* pText = reinterpret_cast<const char*>(pBytes);
    std::string Out;
    for (size_t Done = 0; Done < Length;)
    {
        uint32_t Char = 0;
        size_t n = Utf8CharLength(pText + Done, Length - Done, &Char);
        if (n != 0 && (Char != '\\' || KeepBackslash) && IsPrintable(Char))
        {
            Out.append(pText + Done, n);
            Done += n;
            continue;
        }
        // Byte by byte: a broken sequence may hide a good character after it.
        char Hex[5];
        snprintf(Hex, sizeof(Hex), "\\x%02x", pBytes[Done]);
        Out += Hex;
        Done++;
    }
    return Out;
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

bool SerialIsValid(const uint8_t* pSn)
{
    for (int i = 0; i < 6; i++)
    {
        if (pSn[i] < '0' || pSn[i] > '9')
        {
            return false;
        }
    }
    return true;
}

bool SerialArgumentIsBad(const char* pCommand, const char* pOption, const char* pSerial)
{
    if (strlen(pSerial) == 6 && SerialIsValid(reinterpret_cast<const uint8_t*>(pSerial)))
    {
        return false;
    }
    UsageError(pCommand, "%s '%s' is not six decimal digits", pOption, pSerial);
    return true;
}

bool Utf8IsValid(const char* pText, size_t Length)
{
    uint32_t Char;
    for (size_t Done = 0, n = 0; Done < Length; Done += n)
    {
        if ((n = Utf8CharLength(pText + Done, Length - Done, &Char)) == 0)
        {
            return false;
        }
    }
    return true;
}

bool NameIsBad(const char* pCommand, const char* pWhere, const char* pName, uint8_t* pStored)
{
    if (!Utf8IsValid(pName, strlen(pName)))
    {
        std::string Shown = EscapedText(reinterpret_cast<const uint8_t*>(pName), strlen(pName));
        UsageError(pCommand, "%s '%s' is not valid UTF-8", pWhere, Shown.c_str());
        return true;
    }
    cProm::CutUnitName(pName, pStored);
    std::string Stored = StoredName(pStored);
    if (Stored != pName)
    {
        ToolWarning("%s: at most 15 bytes are stored; it will be \"%s\"", pWhere, Stored.c_str());
    }
    return false;
}

bool ParseMac(const char* pText, uint8_t* pMac)
{
    if (strlen(pText) != 17)
    {
        return true;
    }
    for (int i = 0; i < 6; i++)
    {
        const char* p = pText + 3 * i;
        if (!isxdigit(static_cast<unsigned char>(p[0])) || !isxdigit(static_cast<unsigned char>(p[1]))
            || (i < 5 && p[2] != ':'))
        {
            return true;
        }
        char Hex[3] = {p[0], p[1], '\0'};
        pMac[i] = static_cast<uint8_t>(strtoul(Hex, nullptr, 16));
    }
    return false;
}

bool MacArgumentIsBad(const char* pCommand, const char* pOption, const char* pText, uint8_t* pMac)
{
    if (ParseMac(pText, pMac))
    {
        UsageError(pCommand, "%s '%s' is not a MAC address like 02:00:00:00:00:01", pOption, pText);
        return true;
    }
    WarnUnusualMac(pOption, pMac);
    return false;
}

void WarnUnusualMac(const char* pWhere, const uint8_t* pMac)
{
    static const uint8_t Zero[6] = {0, 0, 0, 0, 0, 0};
    static const uint8_t Broadcast[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    const char* pKind = 0 == memcmp(pMac, Zero, 6)        ? "the zero address"
                        : 0 == memcmp(pMac, Broadcast, 6) ? "the broadcast address"
                        : (pMac[0] & 0x01) != 0           ? "a multicast address"
                                                          : nullptr;
    if (pKind != nullptr)
    {
        ToolWarning("%s %s is %s, which no network interface has", pWhere, MacText(pMac).c_str(), pKind);
    }
}

std::string MacText(const uint8_t* pMac)
{
    char Text[18];
    GetMacStringFromBytes(Text, pMac);
    return Text;
}

std::string StoredName(const uint8_t* pUnitName)
{
    const char* pName = reinterpret_cast<const char*>(pUnitName);
    return std::string(pName, strnlen(pName, sizeof(eeprom_s::unit_name)));
}

std::string EscapedText(const uint8_t* pBytes, size_t Length)
{
    return Escaped(pBytes, Length, false);
}

std::string WireText(const std::string& Text)
{
    return Escaped(reinterpret_cast<const uint8_t*>(Text.data()), Text.size(), true);
}

void PrintJson(json_t* pjtObject)
{
    char* pText = json_dumps(pjtObject, JSON_INDENT(2));
    json_decref(pjtObject);
    // Valid UTF-8 from jansson: 0xC2 is always a lead byte, and these bytes
    // occur inside strings only, where an escape keeps the value.
    for (const char* p = pText; p != nullptr && *p != '\0'; p++)
    {
        uint8_t Byte = static_cast<uint8_t>(p[0]);
        uint8_t Next = static_cast<uint8_t>(p[1]);
        if (Byte == 0x7F || (Byte == 0xC2 && Next >= 0x80 && Next <= 0x9F))
        {
            printf("\\u%04x", Byte == 0x7F ? Byte : Next);
            p += Byte == 0xC2;
        }
        else
        {
            putchar(Byte);
        }
    }
    putchar('\n');
    free(pText);
}

int FinishOutput(int Status)
{
    bool FlushFailed = fflush(stdout) != 0;
    int Error = errno;
    if (FlushFailed || ferror(stdout))
    {
        ToolError("cannot write standard output: %s", FlushFailed ? strerror(Error) : "write error");
        return Status == ExitOk ? ExitFailed : Status;
    }
    return Status;
}

cReportsToStderr::cReportsToStderr()
{
    fflush(stdout);
    SavedStdout = dup(STDOUT_FILENO);
    dup2(STDERR_FILENO, STDOUT_FILENO);
}

cReportsToStderr::~cReportsToStderr()
{
    fflush(stdout);
    dup2(SavedStdout, STDOUT_FILENO);
    close(SavedStdout);
}
