// SimConfigValues: reading single values of the unit description, each
// checked for its type and range: integers, switches, durations, file
// names, and the MAC and IPv4 addresses and file names of the unit's
// network and files.
#include "SimConfigValues.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <arpa/inet.h>

namespace unitsim
{
namespace
{
const int64_t MaxWriteCycleMs = 60000;
}

namespace config
{
bool OnlyKnownKeys(sParse* pParse, json_t* pObject, const char* const* ppKnown)
{
    for (void* pIter = Jansson.pObjectIter(pObject); pIter != nullptr;
         pIter = Jansson.pObjectIterNext(pObject, pIter))
    {
        const char* pKey = Jansson.pObjectIterKey(pIter);
        bool Known = false;
        for (const char* const* ppName = ppKnown; *ppName != nullptr; ppName++)
        {
            Known = Known || strcmp(pKey, *ppName) == 0;
        }
        if (!Known)
        {
            char Allowed[256] = "";
            for (const char* const* ppName = ppKnown; *ppName != nullptr; ppName++)
            {
                size_t Used = strlen(Allowed);
                snprintf(Allowed + Used, sizeof(Allowed) - Used, "%s\"%s\"", Used ? ", " : "", *ppName);
            }
            char Detail[320];
            snprintf(Detail, sizeof(Detail), "\"%s\" (known: %s)", pKey, Allowed);
            Enter(pParse, pKey);
            int Line = LineOf(pParse, pParse->Depth);
            Leave(pParse);
            return Report(pParse, pParse->Depth, Line, "unknown key ", Detail);
        }
    }
    return false;
}

bool GetInteger(const sParse* pParse, json_t* pValue, int64_t Min, int64_t Max, bool HexString,
                int64_t* pOut)
{
    int64_t Value;
    if (json_is_integer(pValue))
    {
        Value = Jansson.pIntegerValue(pValue);
    }
    else if (HexString && json_is_string(pValue))
    {
        const char* pText = Jansson.pStringValue(pValue);
        char* pEnd = nullptr;
        errno = 0;
        long long Parsed = strtoll(pText, &pEnd, 0);
        if (pText[0] == '\0' || *pEnd != '\0' || errno != 0)
        {
            return Fail(pParse, "not a number: ", pText);
        }
        Value = Parsed;
    }
    else
    {
        return Fail(pParse, HexString ? "must be an integer or a string such as \"0x50\"" : "must be an integer");
    }
    if (Value < Min || Value > Max)
    {
        char Detail[96];
        snprintf(Detail, sizeof(Detail), "%lld is outside %lld..%lld", static_cast<long long>(Value),
                 static_cast<long long>(Min), static_cast<long long>(Max));
        return Fail(pParse, Detail);
    }
    *pOut = Value;
    return false;
}

bool GetBool(const sParse* pParse, json_t* pValue, bool* pOut)
{
    if (!json_is_boolean(pValue))
    {
        return Fail(pParse, "must be true or false");
    }
    *pOut = json_is_true(pValue);
    return false;
}

bool GetMs(const sParse* pParse, json_t* pValue, int64_t* pNs)
{
    if (!json_is_number(pValue))
    {
        return Fail(pParse, "must be a number of milliseconds");
    }
    double Ms = json_is_integer(pValue) ? double(Jansson.pIntegerValue(pValue)) : Jansson.pRealValue(pValue);
    if (!(Ms >= 0 && Ms <= MaxWriteCycleMs))
    {
        return Fail(pParse, "must be between 0 and 60000");
    }
    *pNs = static_cast<int64_t>(Ms * 1e6 + 0.5);
    return false;
}

bool ResolvePath(const sParse* pParse, json_t* pValue, char* pOut)
{
    const char* pText = Jansson.pStringValue(pValue);
    if (pText == nullptr || pText[0] == '\0')
    {
        return Fail(pParse, "must be a file name");
    }
    const char* pSlash = strrchr(pParse->pFile, '/');
    int DirLen = pSlash == nullptr ? 0 : static_cast<int>(pSlash - pParse->pFile) + 1;
    int Length = pText[0] == '/' ? snprintf(pOut, PATH_MAX, "%s", pText)
                                 : snprintf(pOut, PATH_MAX, "%.*s%s", DirLen, pParse->pFile, pText);
    if (Length >= PATH_MAX)
    {
        return Fail(pParse, "path too long");
    }
    return false;
}

// The tools parse MAC addresses too; the simulator keeps its own parser on
// purpose, so that it checks the product independently.
bool MacIsValid(const char* pText)
{
    if (strlen(pText) != 17)
    {
        return false;
    }
    unsigned Bytes[6] = {};
    for (unsigned Pos = 0; Pos < 17; Pos++)
    {
        char c = pText[Pos];
        if (Pos % 3 == 2)
        {
            if (c != ':')
            {
                return false;
            }
            continue;
        }
        unsigned Digit = c >= '0' && c <= '9' ? unsigned(c - '0')
                       : c >= 'a' && c <= 'f' ? unsigned(c - 'a' + 10)
                       : c >= 'A' && c <= 'F' ? unsigned(c - 'A' + 10) : 16;
        if (Digit == 16)
        {
            return false;
        }
        Bytes[Pos / 3] = Bytes[Pos / 3] * 16 + Digit;
    }
    unsigned Any = 0;
    for (unsigned Byte : Bytes)
    {
        Any |= Byte;
    }
    return (Bytes[0] & 1) == 0 && Any != 0;
}

bool Ipv4IsValid(const char* pText)
{
    char Address[16];
    const char* pSlash = strchr(pText, '/');
    size_t Length = pSlash == nullptr ? strlen(pText) : static_cast<size_t>(pSlash - pText);
    if (Length >= sizeof(Address))
    {
        return false;
    }
    memcpy(Address, pText, Length);
    Address[Length] = '\0';
    in_addr Parsed;
    if (inet_pton(AF_INET, Address, &Parsed) != 1)
    {
        return false;
    }
    if (pSlash == nullptr)
    {
        return true;
    }
    const char* pLen = pSlash + 1;
    size_t Digits = strspn(pLen, "0123456789");
    return Digits >= 1 && Digits <= 2 && pLen[Digits] == '\0' && atoi(pLen) <= 32;
}

bool SysappPathIsValid(const char* pText)
{
    const char* pPart = pText;
    while (true)
    {
        size_t Length = strcspn(pPart, "/");
        if (Length == 0 || (Length == 1 && pPart[0] == '.') || (Length == 2 && pPart[0] == '.' && pPart[1] == '.'))
        {
            return false;
        }
        if (pPart[Length] == '\0')
        {
            return true;
        }
        pPart += Length + 1;
    }
}
}
}
