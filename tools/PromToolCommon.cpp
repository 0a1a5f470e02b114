// PromToolCommon: error reporting and argument parsing for promtool.
#include "PromToolCommon.h"

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int ToolError(const char* pFormat, ...)
{
    va_list Args;
    va_start(Args, pFormat);
    fprintf(stderr, "Error: ");
    vfprintf(stderr, pFormat, Args);
    fprintf(stderr, "\n");
    va_end(Args);
    return 1;
}

void ToolWarning(const char* pFormat, ...)
{
    va_list Args;
    va_start(Args, pFormat);
    fprintf(stderr, "Warning: ");
    vfprintf(stderr, pFormat, Args);
    fprintf(stderr, "\n");
    va_end(Args);
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
