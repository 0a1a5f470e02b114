// PromOutput: UTF-8 decoding, escaped text, JSON output, and standard
// output for data only.
#include "PromOutput.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "PromCommandLine.h"

namespace
{
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

std::string EscapedText(const uint8_t* pBytes, size_t Length)
{
    return Escaped(pBytes, Length, false);
}

std::string WireText(const std::string& Text)
{
    return Escaped(reinterpret_cast<const uint8_t*>(Text.data()), Text.size(), true);
}

std::string HexText(const uint8_t* pBytes, size_t Length)
{
    static const char Digits[] = "0123456789abcdef";
    std::string Hex;
    for (size_t i = 0; i < Length; i++)
    {
        Hex += Digits[pBytes[i] >> 4];
        Hex += Digits[pBytes[i] & 0x0F];
    }
    return Hex;
}

json_t* WireJson(const std::string& Text)
{
    json_error_t Error;
    json_t* pjtValue = json_loadb(Text.data(), Text.size(), JSON_DECODE_ANY, &Error);
    if (pjtValue == nullptr)
    {
        pjtValue = json_stringn(Text.data(), Text.size());
    }
    return pjtValue != nullptr ? pjtValue
                               : json_string(EscapedText(reinterpret_cast<const uint8_t*>(Text.data()), Text.size()).c_str());
}

void PrintJson(json_t* pjtObject, size_t Flags)
{
    char* pText = json_dumps(pjtObject, Flags);
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
