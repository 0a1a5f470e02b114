// Utilities: small diagnostic and numeric helpers shared by the unit's
// services: hex and bit dumps to standard output, clean-up of fixed-size text
// fields, character counting, digit checks, and conversion between a gain in
// decibels and a 16-bit linear coefficient. Character classes are those of the
// "C" locale; nothing here changes the locale or flushes standard output.
#ifndef DEVICE_WIDGETS_UTILITIES_H
#define DEVICE_WIDGETS_UTILITIES_H

#include <cstddef>
#include <cstdint>

// Dumps NumBytes bytes as hex and characters, 16 bytes a line, after a
// two-line header. Prints nothing for NumBytes 0 or below.
void PrintBuffer(uint8_t* pBuf, int32_t NumBytes);
// Dumps two buffers one after the other; differences are not marked.
void PrintBufferComparison(uint8_t* pBuf1, uint8_t* pBuf2, int32_t NumBytes);
// Prints "0x" and 16 lower-case hex digits, no line end.
void PrintU64Hex(uint64_t TheNumber);
// Trims a fixed-size text field in place: leading and trailing non-graphic
// bytes are dropped, inner ones become spaces. The field's last byte is kept
// for the terminator. Returns a pointer into pData. NumBytes 0 is fatal.
char* DataToString(uint8_t* pData, uint8_t NumBytes);
// Number of bytes equal to CharToCount in pString; 0 for a null pointer.
size_t CountChars(char CharToCount, const char* pString);
// True when Input is non-empty and holds only the digits 0 to 9.
bool HasDigitsOnly(const char* Input);
// Prints the 8 bits of AByte, most significant first, as "1010_0101".
void PrintBinary(uint8_t AByte);
// Ref * 10^(dB/20), rounded, saturated at 65535.
uint16_t ConvertDbToCoeff(float dB, uint16_t Ref);
// 20 * log10(Coeff / Ref); a Coeff of 0 counts as 1.
float ConvertCoeffToDb(uint16_t Coeff, uint16_t Ref);

#endif
