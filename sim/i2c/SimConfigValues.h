// SimConfigValues: readers of single values of the unit description, each
// checked for its type and range. A reader that finds a problem reports it
// for the member being read and returns true; else it stores the value and
// returns false.
#ifndef SIM_I2C_SIMCONFIGVALUES_H
#define SIM_I2C_SIMCONFIGVALUES_H

#include <cstdint>

#include <jansson.h>

#include "SimConfigJson.h"

namespace unitsim
{
namespace config
{
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

// The checks of text values below only answer; the caller reports.

// "aa:bb:cc:dd:ee:ff" that the kernel gives an interface: neither a group
// address (lowest bit of the first byte) nor all zeros.
bool MacIsValid(const char* pText);
// "A.B.C.D" or "A.B.C.D/LEN", LEN 0 to 32.
bool Ipv4IsValid(const char* pText);
// A file name below /root/zel_sysapp: relative, no empty, "." or ".." part.
bool SysappPathIsValid(const char* pText);
}
}

#endif
