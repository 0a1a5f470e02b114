// SimConfig: reads and checks a unit description and keeps its "i2c"
// section.
//
// jansson is opened with dlopen on first use, so the preloaded simulation
// adds no library to the many programs of a session that never touch a bus.
// Only the header's type tags are used directly; every function goes through
// the table below.
#include "SimConfig.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <arpa/inet.h>
#include <dlfcn.h>
#include <jansson.h>

#include "Chip24c32.h"
#include "SimLibc.h"

namespace unitsim
{
namespace
{
const char* const JanssonLibrary = "libjansson.so.4";
const int64_t MaxWriteCycleMs = 60000;

// The jansson functions the parser calls, bound at run time.
struct sJansson
{
    json_t* (*pLoadBuffer)(const char*, size_t, size_t, json_error_t*);
    json_t* (*pObjectGet)(const json_t*, const char*);
    void* (*pObjectIter)(json_t*);
    void* (*pObjectIterNext)(json_t*, void*);
    const char* (*pObjectIterKey)(void*);
    json_t* (*pObjectIterValue)(void*);
    size_t (*pArraySize)(const json_t*);
    json_t* (*pArrayGet)(const json_t*, size_t);
    const char* (*pStringValue)(const json_t*);
    json_int_t (*pIntegerValue)(const json_t*);
    double (*pRealValue)(const json_t*);
    void (*pDelete)(json_t*);
};
sJansson s_Json;
bool s_JsonBound = false;

bool BindJansson()
{
    if (s_JsonBound)
    {
        return false;
    }
    void* pLib = dlopen(JanssonLibrary, RTLD_NOW | RTLD_LOCAL);
    if (pLib == nullptr)
    {
        ReportError("cannot load %s to read the unit description: %s", JanssonLibrary, dlerror());
        return true;
    }
    struct
    {
        const char* pName;
        void** ppFunction;
    } const Table[] = {
        {"json_loadb", reinterpret_cast<void**>(&s_Json.pLoadBuffer)},
        {"json_object_get", reinterpret_cast<void**>(&s_Json.pObjectGet)},
        {"json_object_iter", reinterpret_cast<void**>(&s_Json.pObjectIter)},
        {"json_object_iter_next", reinterpret_cast<void**>(&s_Json.pObjectIterNext)},
        {"json_object_iter_key", reinterpret_cast<void**>(&s_Json.pObjectIterKey)},
        {"json_object_iter_value", reinterpret_cast<void**>(&s_Json.pObjectIterValue)},
        {"json_array_size", reinterpret_cast<void**>(&s_Json.pArraySize)},
        {"json_array_get", reinterpret_cast<void**>(&s_Json.pArrayGet)},
        {"json_string_value", reinterpret_cast<void**>(&s_Json.pStringValue)},
        {"json_integer_value", reinterpret_cast<void**>(&s_Json.pIntegerValue)},
        {"json_real_value", reinterpret_cast<void**>(&s_Json.pRealValue)},
        {"json_delete", reinterpret_cast<void**>(&s_Json.pDelete)},
    };
    for (const auto& Entry : Table)
    {
        *Entry.ppFunction = dlsym(pLib, Entry.pName);
        if (*Entry.ppFunction == nullptr)
        {
            ReportError("%s lacks %s", JanssonLibrary, Entry.pName);
            return true;
        }
    }
    s_JsonBound = true;
    return false;
}

// The whole file in a malloc'ed buffer (*ppText, *pSize); true on failure.
bool ReadWhole(const char* pPath, char** ppText, size_t* pSize)
{
    FILE* pFile = fopen(pPath, "rbe");
    if (pFile == nullptr)
    {
        return true;
    }
    size_t Size = 0;
    size_t Capacity = 0;
    char* pText = nullptr;
    bool Failed = false;
    while (!Failed)
    {
        if (Size == Capacity)
        {
            Capacity = Capacity == 0 ? 4096 : 2 * Capacity;
            char* pBigger = static_cast<char*>(realloc(pText, Capacity));
            if (pBigger == nullptr)
            {
                errno = ENOMEM;
                Failed = true;
                break;
            }
            pText = pBigger;
        }
        size_t n = fread(pText + Size, 1, Capacity - Size, pFile);
        Size += n;
        if (n == 0)
        {
            Failed = ferror(pFile) != 0;
            break;
        }
    }
    int Saved = errno;
    fclose(pFile);
    errno = Saved;
    if (Failed)
    {
        free(pText);
        return true;
    }
    *ppText = pText;
    *pSize = Size;
    return false;
}

// Length of the UTF-8 character at p (NUL-terminated), 0 when the bytes
// there are not one (a stray continuation byte, a sequence cut short, an
// overlong form, a surrogate, a code point beyond U+10FFFF).
size_t Utf8Length(const unsigned char* p)
{
    size_t Length = p[0] < 0x80 ? 1 : p[0] < 0xC2 ? 0 : p[0] < 0xE0 ? 2 : p[0] < 0xF0 ? 3 : p[0] < 0xF5 ? 4 : 0;
    for (size_t i = 1; i < Length; i++)
    {
        if ((p[i] & 0xC0) != 0x80)
        {
            return 0;
        }
    }
    bool Bad = (p[0] == 0xE0 && p[1] < 0xA0) || (p[0] == 0xED && p[1] >= 0xA0) || (p[0] == 0xF0 && p[1] < 0x90)
            || (p[0] == 0xF4 && p[1] >= 0x90);
    return Bad ? 0 : Length;
}

// Where a member starts in the text of the description, for messages:
// jansson keeps no positions of the values it parsed. The path is followed
// through the text, which jansson has accepted, so the scan checks nothing.
struct sScan
{
    const char* p;
    const char* pEnd;
    int Line;
};

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

void SkipSpace(sScan* pScan)
{
    while (pScan->p < pScan->pEnd && IsSpace(*pScan->p))
    {
        pScan->Line += *pScan->p == '\n';
        pScan->p++;
    }
}

// Skips a string that starts at p; *ppRaw and *pLength give what stands
// between its quotes, escapes undecoded.
void SkipString(sScan* pScan, const char** ppRaw, size_t* pLength)
{
    const char* pStart = ++pScan->p;
    while (pScan->p < pScan->pEnd && *pScan->p != '"')
    {
        pScan->p += *pScan->p == '\\' ? 2 : 1;
    }
    pScan->p = pScan->p < pScan->pEnd ? pScan->p : pScan->pEnd;
    *ppRaw = pStart;
    *pLength = static_cast<size_t>(pScan->p - pStart);
    pScan->p += pScan->p < pScan->pEnd;
}

// Skips the value that starts at p.
void SkipValue(sScan* pScan)
{
    unsigned Depth = 0;
    while (pScan->p < pScan->pEnd)
    {
        char c = *pScan->p;
        if (c == '"')
        {
            const char* pRaw;
            size_t Length;
            SkipString(pScan, &pRaw, &Length);
            if (Depth == 0)
            {
                return;
            }
            continue;
        }
        if (c == '{' || c == '[')
        {
            Depth++;
        }
        else if (c == '}' || c == ']')
        {
            if (Depth <= 1)
            {
                pScan->p += Depth;
                return;
            }
            Depth--;
        }
        else if (Depth == 0 && (c == ',' || IsSpace(c)))
        {
            return;     // the end of a number or a literal
        }
        pScan->Line += c == '\n';
        pScan->p++;
    }
}

// A step of the path to the member being read: a key, or (pKey null) a
// list element.
struct sStep
{
    const char* pKey;
    unsigned Index;
};
const unsigned MaxDepth = 8;

// Parser context: the description and the path to the member being read,
// for the one-line error messages.
struct sParse
{
    const char* pFile;
    const char* pText;
    size_t Size;
    sStep Steps[MaxDepth];
    unsigned Depth;
};

void Enter(sParse* pParse, const char* pKey, unsigned Index = 0)
{
    if (pParse->Depth < MaxDepth)
    {
        pParse->Steps[pParse->Depth] = {pKey, Index};
    }
    pParse->Depth++;
}

void Leave(sParse* pParse)
{
    pParse->Depth--;
}

// The line on which the member at the first Depth steps of the path starts;
// for a member that is not there, the line of the nearest one that is.
int LineOf(const sParse* pParse, unsigned Depth)
{
    sScan Scan = {pParse->pText, pParse->pText + pParse->Size, 1};
    SkipSpace(&Scan);
    int Line = Scan.Line;
    for (unsigned Level = 0; Level < Depth && Level < MaxDepth; Level++)
    {
        const sStep* pStep = &pParse->Steps[Level];
        if (Scan.p >= Scan.pEnd || *Scan.p != (pStep->pKey != nullptr ? '{' : '['))
        {
            return Line;
        }
        Scan.p++;
        for (unsigned Index = 0;; Index++)
        {
            SkipSpace(&Scan);
            if (Scan.p >= Scan.pEnd || *Scan.p == '}' || *Scan.p == ']')
            {
                return Line;
            }
            bool Found = Index == pStep->Index;
            if (pStep->pKey != nullptr)
            {
                const char* pRaw;
                size_t Length;
                SkipString(&Scan, &pRaw, &Length);
                SkipSpace(&Scan);
                Scan.p += Scan.p < Scan.pEnd;   // ':'
                SkipSpace(&Scan);
                Found = Length == strlen(pStep->pKey) && memcmp(pRaw, pStep->pKey, Length) == 0;
            }
            if (Found)
            {
                break;
            }
            SkipValue(&Scan);
            SkipSpace(&Scan);
            Scan.p += Scan.p < Scan.pEnd && *Scan.p == ',';
        }
        Line = Scan.Line;
    }
    return Line;
}

// The member at the first Depth steps, as i2c.buses."1"[0].address.
void NameOf(const sParse* pParse, unsigned Depth, char* pOut, size_t Size)
{
    size_t Used = 0;
    pOut[0] = '\0';
    for (unsigned Level = 0; Level < Depth && Level < MaxDepth && Used < Size; Level++)
    {
        const sStep* pStep = &pParse->Steps[Level];
        const char* pDot = Level == 0 ? "" : ".";
        bool Plain = pStep->pKey != nullptr && pStep->pKey[0] != '\0';
        for (const char* p = pStep->pKey; Plain && *p != '\0'; p++)
        {
            Plain = *p == '_' || (*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z')
                 || (p != pStep->pKey && *p >= '0' && *p <= '9');
        }
        char Key[128];
        SimConfigEscape(Plain || pStep->pKey == nullptr ? "" : pStep->pKey, Key, sizeof(Key));
        int n = pStep->pKey == nullptr ? snprintf(pOut + Used, Size - Used, "[%u]", pStep->Index)
              : Plain                  ? snprintf(pOut + Used, Size - Used, "%s%s", pDot, pStep->pKey)
                                       : snprintf(pOut + Used, Size - Used, "%s\"%s\"", pDot, Key);
        Used += n > 0 ? static_cast<size_t>(n) : 0;
    }
}

// Reports a problem of the member at Depth steps, found on Line; pDetail
// (which may quote the description) is escaped.
bool Report(const sParse* pParse, unsigned Depth, int Line, const char* pProblem, const char* pDetail)
{
    char Member[160];
    NameOf(pParse, Depth, Member, sizeof(Member));
    char Detail[640];
    SimConfigEscape(pDetail, Detail, sizeof(Detail));
    ReportError("%s:%d: %s%s%s%s", pParse->pFile, Line, Member, Member[0] != '\0' ? ": " : "", pProblem, Detail);
    return true;
}

// Reports a problem of the member being read.
bool Fail(const sParse* pParse, const char* pProblem, const char* pDetail = "")
{
    return Report(pParse, pParse->Depth, LineOf(pParse, pParse->Depth), pProblem, pDetail);
}

// Checks that every key of object pObject is in the null-terminated list.
bool OnlyKnownKeys(sParse* pParse, json_t* pObject, const char* const* ppKnown)
{
    for (void* pIter = s_Json.pObjectIter(pObject); pIter != nullptr;
         pIter = s_Json.pObjectIterNext(pObject, pIter))
    {
        const char* pKey = s_Json.pObjectIterKey(pIter);
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

// An integer in [Min, Max]; with HexString also a string such as "0x50".
bool GetInteger(const sParse* pParse, json_t* pValue, int64_t Min, int64_t Max, bool HexString,
                int64_t* pOut)
{
    int64_t Value;
    if (json_is_integer(pValue))
    {
        Value = s_Json.pIntegerValue(pValue);
    }
    else if (HexString && json_is_string(pValue))
    {
        const char* pText = s_Json.pStringValue(pValue);
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

// A number of milliseconds in [0, MaxWriteCycleMs], fractions allowed, as
// nanoseconds.
bool GetMs(const sParse* pParse, json_t* pValue, int64_t* pNs)
{
    if (!json_is_number(pValue))
    {
        return Fail(pParse, "must be a number of milliseconds");
    }
    double Ms = json_is_integer(pValue) ? double(s_Json.pIntegerValue(pValue)) : s_Json.pRealValue(pValue);
    if (!(Ms >= 0 && Ms <= MaxWriteCycleMs))
    {
        return Fail(pParse, "must be between 0 and 60000");
    }
    *pNs = static_cast<int64_t>(Ms * 1e6 + 0.5);
    return false;
}

// Joins a path from the description with the description's directory.
bool ResolvePath(const sParse* pParse, json_t* pValue, char* pOut)
{
    const char* pText = s_Json.pStringValue(pValue);
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

// "aa:bb:cc:dd:ee:ff" that the kernel gives an interface: neither a group
// address (lowest bit of the first byte) nor all zeros.
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

// "A.B.C.D" or "A.B.C.D/LEN", LEN 0 to 32.
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

// A file name below /root/zel_sysapp: relative, no empty, "." or ".." part.
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

// "eth0": null, or {"mac": "02:00:00:00:00:01", "ipv4": "192.168.1.10/24"}.
bool CheckEth0(sParse* pParse, json_t* pEth0)
{
    static const char* const Known[] = {"mac", "ipv4", nullptr};
    if (json_is_null(pEth0))
    {
        return false;
    }
    if (!json_is_object(pEth0))
    {
        return Fail(pParse, "must be null (no eth0) or an object such as {\"mac\": \"02:00:00:00:00:01\"}");
    }
    if (OnlyKnownKeys(pParse, pEth0, Known))
    {
        return true;
    }
    json_t* pValue = s_Json.pObjectGet(pEth0, "mac");
    Enter(pParse, "mac");
    if (pValue == nullptr || !json_is_string(pValue))
    {
        return Fail(pParse, pValue == nullptr ? "missing; " : "", "must be a MAC address such as \"02:00:00:00:00:01\"");
    }
    if (!MacIsValid(s_Json.pStringValue(pValue)))
    {
        return Fail(pParse, "not the unicast MAC address of an interface, such as \"02:00:00:00:00:01\": ",
                    s_Json.pStringValue(pValue));
    }
    Leave(pParse);
    pValue = s_Json.pObjectGet(pEth0, "ipv4");
    Enter(pParse, "ipv4");
    if (pValue != nullptr && !json_is_null(pValue)
        && (!json_is_string(pValue) || !Ipv4IsValid(s_Json.pStringValue(pValue))))
    {
        return Fail(pParse, "must be an IPv4 address with its prefix length, such as \"192.168.1.10/24\"");
    }
    Leave(pParse);
    return false;
}

// "zel_sysapp": [ {"path": ..., "content": text} or {"path": ..., "source": file}, ... ]
bool CheckSysapp(sParse* pParse, json_t* pFiles)
{
    static const char* const Known[] = {"path", "content", "source", nullptr};
    if (!json_is_array(pFiles))
    {
        return Fail(pParse, "must be a list of {\"path\": ..., \"content\" or \"source\": ...}");
    }
    for (size_t Index = 0; Index < s_Json.pArraySize(pFiles); Index++)
    {
        json_t* pEntry = s_Json.pArrayGet(pFiles, Index);
        Enter(pParse, nullptr, static_cast<unsigned>(Index));
        if (!json_is_object(pEntry))
        {
            return Fail(pParse, "must be an object such as {\"path\": \"name\", \"content\": \"text\"}");
        }
        if (OnlyKnownKeys(pParse, pEntry, Known))
        {
            return true;
        }
        json_t* pPath = s_Json.pObjectGet(pEntry, "path");
        json_t* pContent = s_Json.pObjectGet(pEntry, "content");
        json_t* pSource = s_Json.pObjectGet(pEntry, "source");
        Enter(pParse, "path");
        if (pPath == nullptr || !json_is_string(pPath) || !SysappPathIsValid(s_Json.pStringValue(pPath)))
        {
            return Fail(pParse, pPath == nullptr ? "missing; " : "",
                        "must be a relative file name without empty, \".\" or \"..\" parts");
        }
        Leave(pParse);
        if ((pContent == nullptr) == (pSource == nullptr))
        {
            return Fail(pParse, "needs either \"content\" (the text) or \"source\" (a file to copy)");
        }
        Enter(pParse, pContent != nullptr ? "content" : "source");
        if (!json_is_string(pContent != nullptr ? pContent : pSource))
        {
            return Fail(pParse, "must be a string");
        }
        if (pSource != nullptr && s_Json.pStringValue(pSource)[0] == '\0')
        {
            return Fail(pParse, "must be a file name");
        }
        Leave(pParse);
        Leave(pParse);
    }
    return false;
}

bool ParseFaults(sParse* pParse, json_t* pFaults, sSimFaults* pOut)
{
    static const char* const Known[] = {"no_ack", "slave_busy", "read_fail", "long_read_fail",
                                        "power_cut_after_page", "nack_transfer", "busy_at_start_ms", nullptr};
    if (!json_is_object(pFaults))
    {
        return Fail(pParse, "must be an object");
    }
    if (OnlyKnownKeys(pParse, pFaults, Known))
    {
        return true;
    }
    struct
    {
        const char* pKey;
        bool* pOn;
    } const Switches[] = {{"no_ack", &pOut->NoAck}, {"slave_busy", &pOut->SlaveBusy}, {"read_fail", &pOut->ReadFail},
                          {"long_read_fail", &pOut->LongReadFail}};
    for (const auto& Switch : Switches)
    {
        json_t* pValue = s_Json.pObjectGet(pFaults, Switch.pKey);
        Enter(pParse, Switch.pKey);
        if (pValue != nullptr && GetBool(pParse, pValue, Switch.pOn))
        {
            return true;
        }
        Leave(pParse);
    }
    int64_t Number;
    json_t* pValue = s_Json.pObjectGet(pFaults, "power_cut_after_page");
    Enter(pParse, "power_cut_after_page");
    if (pValue != nullptr && !json_is_null(pValue))
    {
        if (GetInteger(pParse, pValue, 0, UINT32_MAX, false, &Number))
        {
            return true;
        }
        pOut->PowerCutAfterPage = Number;
    }
    Leave(pParse);
    pValue = s_Json.pObjectGet(pFaults, "nack_transfer");
    Enter(pParse, "nack_transfer");
    if (pValue != nullptr && !json_is_null(pValue))
    {
        if (GetInteger(pParse, pValue, 0, UINT32_MAX, false, &Number))
        {
            return true;
        }
        pOut->NackTransfer = static_cast<uint32_t>(Number);
    }
    Leave(pParse);
    pValue = s_Json.pObjectGet(pFaults, "busy_at_start_ms");
    Enter(pParse, "busy_at_start_ms");
    if (pValue != nullptr && GetMs(pParse, pValue, &pOut->BusyAtStartNs))
    {
        return true;
    }
    Leave(pParse);
    return false;
}

bool ParseDevice(sParse* pParse, unsigned Bus, json_t* pDevice, sSimDeviceConfig* pOut)
{
    static const char* const Known[] = {"model", "address", "image", "write_cycle_ms", "faults", nullptr};
    if (!json_is_object(pDevice))
    {
        return Fail(pParse, "a device must be an object with \"model\" and \"address\"");
    }
    if (OnlyKnownKeys(pParse, pDevice, Known))
    {
        return true;
    }
    memset(pOut, 0, sizeof(*pOut));
    pOut->Bus = Bus;
    pOut->WriteCycleNs = int64_t(Chip24c32WriteCycleMs) * 1000000;
    pOut->Faults.PowerCutAfterPage = -1;

    Enter(pParse, "model");
    json_t* pValue = s_Json.pObjectGet(pDevice, "model");
    const char* pModel = s_Json.pStringValue(pValue);
    if (pModel == nullptr)
    {
        return Fail(pParse, pValue == nullptr ? "missing; " : "must be a string; ", "the supported model is \"24c32\"");
    }
    if (strcmp(pModel, "24c32") != 0)
    {
        return Fail(pParse, "unsupported model (supported: \"24c32\"): ", pModel);
    }
    pOut->Model = SIM_MODEL_24C32;
    Leave(pParse);

    Enter(pParse, "address");
    pValue = s_Json.pObjectGet(pDevice, "address");
    int64_t Number;
    if (pValue == nullptr)
    {
        return Fail(pParse, "missing");
    }
    if (GetInteger(pParse, pValue, 0, 0x7f, true, &Number))
    {
        return true;
    }
    pOut->Address = static_cast<unsigned>(Number);
    Leave(pParse);

    if ((pValue = s_Json.pObjectGet(pDevice, "image")) != nullptr)
    {
        Enter(pParse, "image");
        if (ResolvePath(pParse, pValue, pOut->ImagePath))
        {
            return true;
        }
        pOut->HasImage = true;
        Leave(pParse);
    }
    if ((pValue = s_Json.pObjectGet(pDevice, "write_cycle_ms")) != nullptr)
    {
        Enter(pParse, "write_cycle_ms");
        if (GetMs(pParse, pValue, &pOut->WriteCycleNs))
        {
            return true;
        }
        Leave(pParse);
    }
    if ((pValue = s_Json.pObjectGet(pDevice, "faults")) != nullptr)
    {
        Enter(pParse, "faults");
        if (ParseFaults(pParse, pValue, &pOut->Faults))
        {
            return true;
        }
        Leave(pParse);
    }
    return false;
}

bool ParseI2c(sParse* pParse, json_t* pI2c, sSimConfig* pConfig)
{
    static const char* const Known[] = {"log", "buses", nullptr};
    if (!json_is_object(pI2c))
    {
        return Fail(pParse, "must be an object with \"buses\"");
    }
    if (OnlyKnownKeys(pParse, pI2c, Known))
    {
        return true;
    }
    json_t* pLog = s_Json.pObjectGet(pI2c, "log");
    if (pLog != nullptr && !json_is_null(pLog))
    {
        Enter(pParse, "log");
        if (ResolvePath(pParse, pLog, pConfig->LogPath))
        {
            return true;
        }
        pConfig->HasLog = true;
        Leave(pParse);
    }
    json_t* pBuses = s_Json.pObjectGet(pI2c, "buses");
    Enter(pParse, "buses");
    if (pBuses == nullptr || !json_is_object(pBuses))
    {
        return Fail(pParse, "must be an object such as {\"1\": [devices...]}");
    }
    for (void* pIter = s_Json.pObjectIter(pBuses); pIter != nullptr;
         pIter = s_Json.pObjectIterNext(pBuses, pIter))
    {
        const char* pKey = s_Json.pObjectIterKey(pIter);
        json_t* pDevices = s_Json.pObjectIterValue(pIter);
        Enter(pParse, pKey);
        char* pEnd = nullptr;
        unsigned long Bus = strtoul(pKey, &pEnd, 10);
        if (pKey[0] < '0' || pKey[0] > '9' || *pEnd != '\0' || Bus > MaxSimBusNumber
            || (pKey[0] == '0' && pKey[1] != '\0'))
        {
            return Fail(pParse, "a bus is named by its number, 0 to 1023");
        }
        if (!json_is_array(pDevices))
        {
            return Fail(pParse, "must be a list of devices (may be empty)");
        }
        if (pConfig->NumBuses == MaxSimBuses)
        {
            return Fail(pParse, "too many buses (at most 32)");
        }
        pConfig->Buses[pConfig->NumBuses++] = static_cast<unsigned>(Bus);
        for (size_t Index = 0; Index < s_Json.pArraySize(pDevices); Index++)
        {
            Enter(pParse, nullptr, static_cast<unsigned>(Index));
            if (pConfig->NumDevices == MaxSimDevices)
            {
                return Fail(pParse, "too many devices (at most 32)");
            }
            sSimDeviceConfig* pDevice = &pConfig->Devices[pConfig->NumDevices];
            if (ParseDevice(pParse, static_cast<unsigned>(Bus), s_Json.pArrayGet(pDevices, Index), pDevice))
            {
                return true;
            }
            for (unsigned Other = 0; Other < pConfig->NumDevices; Other++)
            {
                if (pConfig->Devices[Other].Bus == pDevice->Bus
                    && pConfig->Devices[Other].Address == pDevice->Address)
                {
                    return Fail(pParse, "two devices at one address");
                }
            }
            pConfig->NumDevices++;
            Leave(pParse);
        }
        Leave(pParse);
    }
    Leave(pParse);
    return false;
}

// The whole description: its members are checked here, also those the
// simulated buses do not use, so that a mistyped one is never ignored.
bool ParseUnit(sParse* pParse, json_t* pUnit, sSimConfig* pConfig)
{
    static const char* const Known[] = {"eth0", "zel_sysapp", "i2c", nullptr};
    if (!json_is_object(pUnit))
    {
        return Fail(pParse, "the unit description must be a JSON object");
    }
    if (OnlyKnownKeys(pParse, pUnit, Known))
    {
        return true;
    }
    json_t* pValue;
    if ((pValue = s_Json.pObjectGet(pUnit, "eth0")) != nullptr)
    {
        Enter(pParse, "eth0");
        if (CheckEth0(pParse, pValue))
        {
            return true;
        }
        Leave(pParse);
    }
    if ((pValue = s_Json.pObjectGet(pUnit, "zel_sysapp")) != nullptr)
    {
        Enter(pParse, "zel_sysapp");
        if (CheckSysapp(pParse, pValue))
        {
            return true;
        }
        Leave(pParse);
    }
    if ((pValue = s_Json.pObjectGet(pUnit, "i2c")) != nullptr)
    {
        pConfig->HasI2c = true;
        Enter(pParse, "i2c");
        if (ParseI2c(pParse, pValue, pConfig))
        {
            return true;
        }
        Leave(pParse);
    }
    return false;
}
}

bool SimConfigLoad(const char* pPath, sSimConfig* pConfig)
{
    memset(pConfig, 0, sizeof(*pConfig));
    if (BindJansson())
    {
        return true;
    }
    char* pText = nullptr;
    size_t Size = 0;
    if (ReadWhole(pPath, &pText, &Size))
    {
        ReportError("%s: cannot read the unit description: %s", pPath, strerror(errno));
        return true;
    }
    json_error_t Error;
    json_t* pUnit = s_Json.pLoadBuffer(pText, Size, JSON_REJECT_DUPLICATES, &Error);
    bool Failed = true;
    if (pUnit == nullptr)
    {
        char Text[4 * sizeof(Error.text)];     // it quotes the text near the fault
        SimConfigEscape(Error.text, Text, sizeof(Text));
        ReportError("%s:%d: %s", pPath, Error.line, Text);
    }
    else
    {
        sParse Parse = {pPath, pText, Size, {}, 0};
        Failed = ParseUnit(&Parse, pUnit, pConfig);
        s_Json.pDelete(pUnit);
    }
    free(pText);
    if (Failed)
    {
        memset(pConfig, 0, sizeof(*pConfig));
    }
    return Failed;
}

void SimConfigEscape(const char* pText, char* pOut, size_t Size)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(pText);
    size_t Used = 0;
    while (*p != '\0')
    {
        size_t Length = Utf8Length(p);
        bool Control = p[0] < 0x20 || p[0] == 0x7F || (p[0] == 0xC2 && p[1] < 0xA0);
        // Byte by byte: after a broken sequence a good character may follow.
        size_t Take = Length == 0 || Control ? 1 : Length;
        size_t Room = Length == 0 || Control ? 4 : Length;
        if (Used + Room >= Size)
        {
            break;
        }
        if (Room == 4)
        {
            snprintf(pOut + Used, Size - Used, "\\x%02x", p[0]);
        }
        else
        {
            memcpy(pOut + Used, p, Take);
        }
        Used += Room;
        p += Take;
    }
    pOut[Used] = '\0';
}

int SimConfigLineOf(const char* pPath, const char* pKey, unsigned Index, const char* pMember)
{
    char* pText = nullptr;
    size_t Size = 0;
    if (ReadWhole(pPath, &pText, &Size))
    {
        return 0;
    }
    sParse Parse = {pPath, pText, Size, {}, 0};
    Enter(&Parse, pKey);
    Enter(&Parse, nullptr, Index);
    Enter(&Parse, pMember);
    int Line = LineOf(&Parse, Parse.Depth);
    free(pText);
    return Line;
}

uint64_t SimConfigLayoutHash(const sSimConfig* pConfig)
{
    // FNV-1a over the fields the shared state is laid out by.
    uint64_t Hash = 14695981039346656037ull;
    auto Mix = [&Hash](uint64_t Value) {
        for (int Byte = 0; Byte < 8; Byte++)
        {
            Hash = (Hash ^ ((Value >> (8 * Byte)) & 0xff)) * 1099511628211ull;
        }
    };
    Mix(pConfig->NumDevices);
    for (unsigned Index = 0; Index < pConfig->NumDevices; Index++)
    {
        const sSimDeviceConfig* pDevice = &pConfig->Devices[Index];
        Mix(pDevice->Bus);
        Mix(pDevice->Address);
        Mix(pDevice->Model);
        Mix(pDevice->HasImage);
    }
    return Hash;
}
}
