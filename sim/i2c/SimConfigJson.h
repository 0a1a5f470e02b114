// SimConfigJson: the JSON side of reading the unit description: the jansson
// functions bound at run time, the path to the member being read, the line
// on which a member stands in the text, and the one-line reports that name
// it, with what they quote from the description escaped.
#ifndef SIM_I2C_SIMCONFIGJSON_H
#define SIM_I2C_SIMCONFIGJSON_H

#include <cstddef>
#include <cstdint>

#include <jansson.h>

namespace unitsim
{
// pText for a message: control bytes, DEL, C1 controls and bytes that are
// not UTF-8 as \xNN, the rest as it is. pOut (Size bytes) gets as much as
// fits, NUL-terminated.
void SimConfigEscape(const char* pText, char* pOut, size_t Size);

// The line of the description at pPath on which the member
// pKey[Index].pMember starts (as zel_sysapp[2].source), for messages about
// it; 0 when the description cannot be read.
int SimConfigLineOf(const char* pPath, const char* pKey, unsigned Index, const char* pMember);

namespace config
{
// The jansson functions the parser calls, bound at run time. Only the
// header's type tags (json_is_*) are used directly.
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
// Bound by BindJansson, before anything is parsed.
extern sJansson Jansson;

// Opens jansson and fills Jansson, once per process. Returns true on
// failure, after a report.
bool BindJansson();

// Reads the whole file into a malloc'ed buffer (*ppText, *pSize). Returns
// true on failure, with errno set.
bool ReadWhole(const char* pPath, char** ppText, size_t* pSize);

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

// Steps into the member pKey, or (pKey null) the list element Index.
void Enter(sParse* pParse, const char* pKey, unsigned Index = 0);
// Steps back out of the member entered last.
void Leave(sParse* pParse);

// The line on which the member at the first Depth steps of the path starts;
// for a member that is not there, the line of the nearest one that is.
int LineOf(const sParse* pParse, unsigned Depth);

// Reports a problem of the member at Depth steps, found on Line; pDetail
// (which may quote the description) is escaped. Returns true.
bool Report(const sParse* pParse, unsigned Depth, int Line, const char* pProblem, const char* pDetail);

// Reports a problem of the member being read. Returns true.
bool Fail(const sParse* pParse, const char* pProblem, const char* pDetail = "");
}
}

#endif
