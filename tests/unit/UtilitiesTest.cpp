// Diagnostic dumps on their exact output, and the numeric helpers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "CaptureStdout.h"
#include "Utilities.h"

namespace
{

std::string HeaderFor(int NumBytes)
{
    char Text[256];
    snprintf(Text, sizeof(Text),
             "\n\n Dumping 0x%02x (%d) bytes.\n"
             "ADDR 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 0123456789ABCDEF\n",
             NumBytes, NumBytes);
    return Text;
}

std::string Dump(uint8_t* pBuf, int32_t NumBytes)
{
    cCaptureStdout Capture;
    PrintBuffer(pBuf, NumBytes);
    return Capture.Finish();
}

std::string Repeat(const std::string& Piece, int Times)
{
    std::string Text;
    for (int i = 0; i < Times; i++)
    {
        Text += Piece;
    }
    return Text;
}

TEST(PrintBufferTest, ShortLastLineIsPaddedAndHasAShortCharacterColumn)
{
    uint8_t Bytes[] = {0x41, 0x00, 0x7F};
    EXPECT_EQ(HeaderFor(3) + "   0 41 00 7f " + Repeat(".. ", 13) + "A..\n", Dump(Bytes, 3));
}

TEST(PrintBufferTest, FullLinesAdvanceTheOffsetBySixteen)
{
    uint8_t Bytes[32];
    for (int i = 0; i < 32; i++)
    {
        Bytes[i] = static_cast<uint8_t>(0x20 + i);   // printable from 0x20 on
    }
    std::string Expected = HeaderFor(32)
        + "   0 20 21 22 23 24 25 26 27 28 29 2a 2b 2c 2d 2e 2f  !\"#$%&'()*+,-./\n"
        + "  10 30 31 32 33 34 35 36 37 38 39 3a 3b 3c 3d 3e 3f 0123456789:;<=>?\n";
    EXPECT_EQ(Expected, Dump(Bytes, 32));
}

TEST(PrintBufferTest, SeventeenBytesGiveOneByteOnTheSecondLine)
{
    uint8_t Bytes[17];
    memset(Bytes, 0xFF, sizeof(Bytes));
    Bytes[16] = 'z';
    std::string Expected = HeaderFor(17) + "   0 " + Repeat("ff ", 16) + Repeat(".", 16) + "\n"
        + "  10 7a " + Repeat(".. ", 15) + "z\n";
    EXPECT_EQ(Expected, Dump(Bytes, 17));
}

TEST(PrintBufferTest, WideOffsetsWidenTheColumn)
{
    static uint8_t Bytes[0x10010];
    memset(Bytes, 'q', sizeof(Bytes));
    std::string Text = Dump(Bytes, sizeof(Bytes));
    EXPECT_NE(std::string::npos, Text.find("\nfff0 71 "));
    EXPECT_NE(std::string::npos, Text.find("\n10000 71 "));
    EXPECT_EQ(0u, Text.rfind(HeaderFor(0x10010), 0));
}

TEST(PrintBufferTest, NothingForZeroOrNegativeLengths)
{
    uint8_t Byte = 0;
    EXPECT_EQ("", Dump(&Byte, 0));
    EXPECT_EQ("", Dump(&Byte, -5));
}

TEST(PrintBufferTest, ComparisonShowsBothBuffersInTurn)
{
    uint8_t One[] = {'a'};
    uint8_t Two[] = {'b'};
    cCaptureStdout Capture;
    PrintBufferComparison(One, Two, 1);
    std::string Line = Repeat(".. ", 15);
    EXPECT_EQ("\n Buf 1:" + HeaderFor(1) + "   0 61 " + Line + "a\n"
              + "\n Buf 2:" + HeaderFor(1) + "   0 62 " + Line + "b\n\n\n",
              Capture.Finish());
}

TEST(PrintNumberTest, HexAndBinaryForms)
{
    cCaptureStdout Capture;
    PrintU64Hex((1ull << 32) | 2u);
    PrintU64Hex(0xFEDCBA9876543210ull);
    PrintBinary(0xA5);
    PrintBinary(0x00);
    EXPECT_EQ("0x00000001000000020xfedcba98765432101010_01010000_0000", Capture.Finish());
}

TEST(DataToStringTest, TrimsAndBlanksInnerControlCharacters)
{
    uint8_t Field[8] = {' ', ' ', 'A', 'B', '\t', 'C', ' ', ' '};
    char* pText = DataToString(Field, sizeof(Field));
    EXPECT_EQ(reinterpret_cast<char*>(Field) + 2, pText);
    EXPECT_STREQ("AB C", pText);
    EXPECT_EQ(0, Field[6]);
}

TEST(DataToStringTest, LastByteIsReservedForTheTerminator)
{
    uint8_t Full[4] = {'W', 'X', 'Y', 'Z'};
    EXPECT_STREQ("WXY", DataToString(Full, sizeof(Full)));

    uint8_t OnlyLast[4] = {0, ' ', 0x7F, 'Q'};
    char* pText = DataToString(OnlyLast, sizeof(OnlyLast));
    EXPECT_EQ(reinterpret_cast<char*>(OnlyLast), pText);
    EXPECT_STREQ("", pText);

    uint8_t One[1] = {'K'};
    EXPECT_STREQ("", DataToString(One, 1));
}

TEST(DataToStringTest, FieldWithoutGraphicBytesBecomesEmpty)
{
    uint8_t Field[5] = {' ', '\n', 0x80, 0xFF, ' '};
    char* pText = DataToString(Field, sizeof(Field));
    EXPECT_EQ(reinterpret_cast<char*>(Field), pText);
    EXPECT_EQ(0, Field[0]);
}

TEST(DataToStringTest, FieldsLongerThan127BytesWork)
{
    uint8_t Field[200];
    memset(Field, ' ', sizeof(Field));
    memcpy(Field + 150, "late", 4);
    EXPECT_STREQ("late", DataToString(Field, sizeof(Field)));
}

TEST(DataToStringDeathTest, ZeroLengthIsFatal)
{
    uint8_t Field[1] = {0};
    EXPECT_DEATH(DataToString(Field, 0), "1 <= NumBytes");
}

TEST(StringCheckTest, CountCharsAndHasDigitsOnly)
{
    EXPECT_EQ(3u, CountChars('.', "192.168.1.10"));
    EXPECT_EQ(0u, CountChars('.', ""));
    EXPECT_EQ(0u, CountChars('.', nullptr));
    EXPECT_EQ(0u, CountChars('\0', "abc"));

    EXPECT_FALSE(HasDigitsOnly(""));
    EXPECT_TRUE(HasDigitsOnly("0123"));
    EXPECT_FALSE(HasDigitsOnly("12a"));
    EXPECT_FALSE(HasDigitsOnly(" 12"));
}

TEST(GainConversionTest, DecibelsToCoefficient)
{
    EXPECT_EQ(1000, ConvertDbToCoeff(0, 1000));
    EXPECT_EQ(16423, ConvertDbToCoeff(-6, 32768));
    EXPECT_EQ(10000, ConvertDbToCoeff(20, 1000));
    EXPECT_EQ(65535, ConvertDbToCoeff(12, 32768)) << "saturates";
}

TEST(GainConversionTest, CoefficientToDecibels)
{
    EXPECT_FLOAT_EQ(-60.0f, ConvertCoeffToDb(0, 1000)) << "a coefficient of 0 counts as 1";
    EXPECT_FLOAT_EQ(-20.0f, ConvertCoeffToDb(100, 1000));
    EXPECT_NEAR(6.0206f, ConvertCoeffToDb(2000, 1000), 1e-4);
    EXPECT_TRUE(std::isinf(ConvertCoeffToDb(5, 0)));
}

TEST(GainConversionTest, RoundTripStaysWithinOneStep)
{
    for (uint16_t Coeff : {1, 17, 1000, 16423, 40000, 65534})
    {
        float Db = ConvertCoeffToDb(Coeff, 32768);
        EXPECT_NEAR(Coeff, ConvertDbToCoeff(Db, 32768), 1 + Coeff * 1e-5) << Coeff;
    }
}
}
