// Utilities: diagnostic dumps and small numeric helpers.
#include "Utilities.h"

#include <cassert>
#include <cmath>
#include <cstdio>

namespace
{
const int32_t BytesPerLine = 16;

// Graphic in the "C" locale: 0x21 to 0x7E. Tested directly so that the
// result never depends on a locale a caller might have set.
bool IsGraphic(uint8_t Byte)
{
    return Byte >= 0x21 && Byte <= 0x7E;
}

bool IsPrintable(uint8_t Byte)
{
    return Byte >= 0x20 && Byte <= 0x7E;
}
}

void PrintBuffer(uint8_t* pBuf, int32_t NumBytes)
{
    if (NumBytes <= 0)
    {
        return;
    }
    printf("\n\n Dumping 0x%02x (%d) bytes.\n", NumBytes, NumBytes);
    printf("ADDR 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 0123456789ABCDEF\n");

    char Line[255];
    for (int32_t Offset = 0; Offset < NumBytes; Offset += BytesPerLine)
    {
        int32_t RunLength = NumBytes - Offset;
        if (RunLength > BytesPerLine)
        {
            RunLength = BytesPerLine;
        }
        int Pos = snprintf(Line, sizeof(Line), "%4x ", static_cast<unsigned>(Offset));
        // Hex part: always 16 fields wide, fillers after a short last run.
        for (int32_t i = 0; i < BytesPerLine; i++)
        {
            if (i < RunLength)
            {
                Pos += snprintf(Line + Pos, sizeof(Line) - Pos, "%02x ", pBuf[Offset + i]);
            }
            else
            {
                Pos += snprintf(Line + Pos, sizeof(Line) - Pos, ".. ");
            }
        }
        // Character part: one character per byte of the run.
        for (int32_t i = 0; i < RunLength; i++)
        {
            uint8_t Byte = pBuf[Offset + i];
            Line[Pos++] = IsPrintable(Byte) ? static_cast<char>(Byte) : '.';
        }
        Line[Pos] = '\0';
        printf("%s\n", Line);
    }
}

void PrintBufferComparison(uint8_t* pBuf1, uint8_t* pBuf2, int32_t NumBytes)
{
    printf("\n Buf 1:");
    PrintBuffer(pBuf1, NumBytes);
    printf("\n Buf 2:");
    PrintBuffer(pBuf2, NumBytes);
    printf("\n\n");
}

void PrintU64Hex(uint64_t TheNumber)
{
    printf("0x%08x%08x", static_cast<unsigned>(TheNumber >> 32),
           static_cast<unsigned>(TheNumber & 0xFFFFFFFFu));
}

char* DataToString(uint8_t* pData, uint8_t NumBytes)
{
    assert(1 <= NumBytes);
    // Indexes are int rather than signed 8-bit, so fields of 128 to 255 bytes
    // work too; for 1 to 127 bytes the result is the same.
    int FirstCharIndex = NumBytes;
    for (int i = 0; i < NumBytes; i++)
    {
        if (IsGraphic(pData[i]))
        {
            FirstCharIndex = i;
            break;
        }
    }
    // The last byte is reserved for the terminator, so the backward scan
    // starts one before it.
    int LastCharIndex = -1;
    for (int i = NumBytes - 2; i >= FirstCharIndex; i--)
    {
        if (IsGraphic(pData[i]))
        {
            LastCharIndex = i;
            break;
        }
    }
    if (LastCharIndex >= 0)
    {
        for (int i = FirstCharIndex; i <= LastCharIndex; i++)
        {
            if (!IsGraphic(pData[i]))
            {
                pData[i] = ' ';
            }
        }
    }
    if (LastCharIndex + 1 > FirstCharIndex)
    {
        pData[LastCharIndex + 1] = '\0';
        return reinterpret_cast<char*>(pData + FirstCharIndex);
    }
    pData[0] = '\0';
    return reinterpret_cast<char*>(pData);
}

size_t CountChars(char CharToCount, const char* pString)
{
    size_t Count = 0;
    if (pString == nullptr)
    {
        return 0;
    }
    for (const char* p = pString; *p != '\0'; p++)
    {
        if (*p == CharToCount)
        {
            Count++;
        }
    }
    return Count;
}

bool HasDigitsOnly(const char* Input)
{
    if (*Input == '\0')
    {
        return false;
    }
    for (const char* p = Input; *p != '\0'; p++)
    {
        if (*p < '0' || *p > '9')
        {
            return false;
        }
    }
    return true;
}

void PrintBinary(uint8_t AByte)
{
    for (int Bit = 7; Bit >= 0; Bit--)
    {
        printf("%01d", (AByte >> Bit) & 1);
        if (Bit == 4)
        {
            printf("_");
        }
    }
}

uint16_t ConvertDbToCoeff(float dB, uint16_t Ref)
{
    float FloatCoeff = static_cast<float>(Ref) * powf(10.0f, dB / 20.0f);
    if (FloatCoeff < 65535.0f)
    {
        return static_cast<uint16_t>(roundf(FloatCoeff));
    }
    return 65535;
}

float ConvertCoeffToDb(uint16_t Coeff, uint16_t Ref)
{
    float C = (Coeff == 0) ? 1.0f : static_cast<float>(Coeff);
    return 20.0f * log10f(C / static_cast<float>(Ref));
}
