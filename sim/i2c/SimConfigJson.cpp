// SimConfigJson: the JSON side of reading the description: jansson, opened
// with dlopen on first use, where a member of the description stands in its
// text, its name in messages, and the escaping of what messages quote.
//
// jansson is not linked, so the preloaded simulation adds no library to the
// many programs of a session that never touch a bus; only the header's type
// tags are used directly, every function goes through the table Jansson.
// jansson keeps no positions of the values it parsed, so a member's line is
// found by following its path through the text, which jansson has accepted:
// the scan checks nothing. Text quoted from the description may hold
// control bytes or broken UTF-8, which must not reach a terminal as they are.
#include "SimConfigJson.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dlfcn.h>

#include "SimLibc.h"

namespace unitsim
{
namespace
{
using namespace config;

const char* const JanssonLibrary = "libjansson.so.4";
bool s_JsonBound = false;

// Length of the UTF-8 character at p (NUL-terminated), 0 when the bytes
// there are not one (a stray continuation byte, a sequence cut short, an
// overlong form, a surrogate, a code point beyond U+10FFFF). The tools have
// a check of their own; the simulator keeps this copy on purpose, so that it
// checks the product independently.
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

// A position in the text of the description.
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
}

namespace config
{
sJansson Jansson;

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
        {"json_loadb", reinterpret_cast<void**>(&Jansson.pLoadBuffer)},
        {"json_object_get", reinterpret_cast<void**>(&Jansson.pObjectGet)},
        {"json_object_iter", reinterpret_cast<void**>(&Jansson.pObjectIter)},
        {"json_object_iter_next", reinterpret_cast<void**>(&Jansson.pObjectIterNext)},
        {"json_object_iter_key", reinterpret_cast<void**>(&Jansson.pObjectIterKey)},
        {"json_object_iter_value", reinterpret_cast<void**>(&Jansson.pObjectIterValue)},
        {"json_array_size", reinterpret_cast<void**>(&Jansson.pArraySize)},
        {"json_array_get", reinterpret_cast<void**>(&Jansson.pArrayGet)},
        {"json_string_value", reinterpret_cast<void**>(&Jansson.pStringValue)},
        {"json_integer_value", reinterpret_cast<void**>(&Jansson.pIntegerValue)},
        {"json_real_value", reinterpret_cast<void**>(&Jansson.pRealValue)},
        {"json_delete", reinterpret_cast<void**>(&Jansson.pDelete)},
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


void Enter(sParse* pParse, const char* pKey, unsigned Index)
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

bool Report(const sParse* pParse, unsigned Depth, int Line, const char* pProblem, const char* pDetail)
{
    char Member[160];
    NameOf(pParse, Depth, Member, sizeof(Member));
    char Detail[640];
    SimConfigEscape(pDetail, Detail, sizeof(Detail));
    ReportError("%s:%d: %s%s%s%s", pParse->pFile, Line, Member, Member[0] != '\0' ? ": " : "", pProblem, Detail);
    return true;
}

bool Fail(const sParse* pParse, const char* pProblem, const char* pDetail)
{
    return Report(pParse, pParse->Depth, LineOf(pParse, pParse->Depth), pProblem, pDetail);
}
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
}
