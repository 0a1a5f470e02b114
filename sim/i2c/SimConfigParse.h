// SimConfigParse: what the pieces of the description parser share: the
// jansson functions bound at run time, the path to the member being read,
// and the one-line reports that name it with its line in the description.
// Private to SimConfig*.cpp.
#ifndef SIM_I2C_SIMCONFIGPARSE_H
#define SIM_I2C_SIMCONFIGPARSE_H

#include <cstddef>
#include <cstdint>

#include <jansson.h>

#include "SimConfig.h"

namespace unitsim
{
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
// Bound by SimConfigLoad before anything is parsed.
extern sJansson Jansson;

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

// The value readers below report a problem of the member being read and
// return true; else they store the value and return false.

// Checks that every key of object pObject is in the null-terminated list
// ppKnown; an unknown one is reported at its own line.
bool OnlyKnownKeys(sParse* pParse, json_t* pObject, const char* const* ppKnown);
// An integer in [Min, Max]; with HexString also a string such as "0x50".
bool GetInteger(const sParse* pParse, json_t* pValue, int64_t Min, int64_t Max, bool HexString,
                int64_t* pOut);
bool GetBool(const sParse* pParse, json_t* pValue, bool* pOut);
// A number of milliseconds in [0, 60000], fractions allowed, as nanoseconds.
bool GetMs(const sParse* pParse, json_t* pValue, int64_t* pNs);
// A file name from the description, joined with the description's
// directory unless absolute, into pOut (PATH_MAX bytes).
bool ResolvePath(const sParse* pParse, json_t* pValue, char* pOut);

// "aa:bb:cc:dd:ee:ff" that the kernel gives an interface: neither a group
// address (lowest bit of the first byte) nor all zeros.
bool MacIsValid(const char* pText);
// "A.B.C.D" or "A.B.C.D/LEN", LEN 0 to 32.
bool Ipv4IsValid(const char* pText);
// A file name below /root/zel_sysapp: relative, no empty, "." or ".." part.
bool SysappPathIsValid(const char* pText);

// Checks the whole description pUnit and keeps its "i2c" section in
// *pConfig. Returns true on failure, after the report.
bool ParseUnit(sParse* pParse, json_t* pUnit, sSimConfig* pConfig);
}
}

#endif
