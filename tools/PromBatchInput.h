// PromBatchInput: what `promtool image batch` issues, read and checked before
// anything is issued: the units of a CSV file (serial number, MAC address,
// unit name; a header line; UTF-8), or ranges of serial numbers and MAC
// addresses to allocate from.
//
// Every bad line of a CSV file is reported with its line number: a
// malformed serial number or MAC address, a MAC address no interface has,
// a serial number or MAC address on an earlier line too, a name over 15
// bytes, not UTF-8 or holding a NUL. One field per column, each on its
// line: a field may be quoted ("...", "" for a quote) to hold a comma, not
// a line end, so that a line number always names one unit.
#ifndef TOOLS_PROMBATCHINPUT_H
#define TOOLS_PROMBATCHINPUT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A unit to issue.
struct BatchUnit_s
{
    size_t Line = 0;        // its line in the CSV file; 0 for one from ranges
    std::string Serial;     // six digits
    uint8_t Mac[6] = {};
    std::string Name;       // UTF-8, at most 15 bytes
};

// A complaint about one line of the input.
struct BadLine_s
{
    size_t Line;
    std::string Why;
};

// Reads the units of the CSV file at pPath. Returns true on failure: the
// file cannot be read or is no list of units (reported), or lines are bad
// (*pBad gets each, in line order, for the caller to report).
bool ReadBatchCsv(const char* pPath, std::vector<BatchUnit_s>* pUnits, std::vector<BadLine_s>* pBad);

// Why a unit name cannot be issued; empty when it can.
std::string NameProblem(const std::string& Name);

// Ranges to allocate from, as given on the command line.
struct BatchRanges_s
{
    uint32_t FirstSerial = 0;
    uint32_t LastSerial = 0;
    uint64_t FirstMac = 0;      // as 48-bit numbers
    uint64_t LastMac = 0;
};
// Parses "NNNNNN-NNNNNN" (the first at most the last). Returns true on failure.
bool ParseSerialRange(const char* pText, BatchRanges_s* pRanges);
// Parses "MAC-MAC" (the first at most the last). Returns true on failure:
// *pWhy says why.
bool ParseMacRange(const char* pText, BatchRanges_s* pRanges, std::string* pWhy);
// The name of the unit with this serial number: Template with each
// "{serial}" replaced by it.
std::string NameFromTemplate(const std::string& Template, const std::string& Serial);

#endif
