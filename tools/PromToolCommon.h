// PromToolCommon: small helpers shared by promtool's commands.
#ifndef TOOLS_PROMTOOLCOMMON_H
#define TOOLS_PROMTOOLCOMMON_H

#include <cstdint>
#include <string>

// Prints "Error: " and the formatted message to stderr; returns 1.
int ToolError(const char* pFormat, ...) __attribute__((format(printf, 1, 2)));
// Prints "Warning: " and the formatted message to stderr.
void ToolWarning(const char* pFormat, ...) __attribute__((format(printf, 1, 2)));
// Parses "aa:bb:cc:dd:ee:ff" (hex digits, either case) into 6 bytes.
// Returns true on failure.
bool ParseMac(const char* pText, uint8_t* pMac);
// Parses a whole decimal number within [Min, Max]. Returns true on failure.
bool ParseNumber(const char* pText, long Min, long Max, long* pValue);

#endif
