// Diagnostic dumps on their exact output, field trimming and the dB helpers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>

#include "CaptureStdout.h"
#include "Utilities.h"

static std::string Printed(const std::function<void()>& Print)
{
    cCaptureStdout Capture;
    Print();
    return Capture.Finish();
}

const std::string Columns = "ADDR 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 0123456789ABCDEF\n";

TEST(UtilitiesTest, PrintBufferLayout)
{
    uint8_t Odd[] = {0x41, 0x00, 0x7F}, Run[17];
    memcpy(Run, " !\"#$%&'()*+,-./0", sizeof(Run));
    EXPECT_EQ("\n\n Dumping 0x03 (3) bytes.\n" + Columns
              + "   0 41 00 7f .. .. .. .. .. .. .. .. .. .. .. .. .. A..\n", Printed([&] { PrintBuffer(Odd, 3); }));
    EXPECT_EQ("\n\n Dumping 0x11 (17) bytes.\n" + Columns
              + "   0 20 21 22 23 24 25 26 27 28 29 2a 2b 2c 2d 2e 2f  !\"#$%&'()*+,-./\n"
                "  10 30 .. .. .. .. .. .. .. .. .. .. .. .. .. .. .. 0\n", Printed([&] { PrintBuffer(Run, 17); }));
    EXPECT_EQ("\n Buf 1:\n\n Dumping 0x01 (1) bytes.\n" + Columns + "   0 41 .. .. .. .. .. .. .. .. .. .. .. .. .. .. .. A\n"
              "\n Buf 2:\n\n Dumping 0x01 (1) bytes.\n" + Columns + "   0 20 .. .. .. .. .. .. .. .. .. .. .. .. .. .. ..  \n\n\n",
              Printed([&] { PrintBufferComparison(Odd, Run, 1); }));
    EXPECT_EQ("", Printed([&] { PrintBuffer(Odd, 0); PrintBuffer(Odd, -5); }));
    // Offsets past 0xffff widen the column instead of being cut.
    static uint8_t Big[0x10010];
    EXPECT_NE(std::string::npos, Printed([&] { PrintBuffer(Big, sizeof(Big)); }).find("\n10000 00 00 "));
    EXPECT_EQ("0x00000001000000020xfedcba98765432101010_01010000_0000",
              Printed([] { PrintU64Hex((1ull << 32) | 2u); PrintU64Hex(0xFEDCBA9876543210ull);
                           PrintBinary(0xA5); PrintBinary(0); }));
}

TEST(UtilitiesTest, DataToStringTrimsBlanksAndKeepsTheLastByteForTheTerminator)
{
    const std::pair<std::string, std::string> Cases[] = {   // field; result, after one '.' per byte skipped
        {"  AB\tC  ", "..AB C"}, {"WXYZ", "WXY"}, {std::string("\x80 \xFFQ", 4), ""}, {"K", ""},
        {std::string("\0 \n ", 4), ""}, {std::string(150, ' ') + "late" + std::string(46, ' '), std::string(150, '.') + "late"}};
    for (auto Case : Cases)
    {
        char* pText = DataToString(reinterpret_cast<uint8_t*>(&Case.first[0]), static_cast<uint8_t>(Case.first.size()));
        EXPECT_EQ(Case.second, std::string(pText - &Case.first[0], '.') + pText);
    }
    EXPECT_DEATH(DataToString(nullptr, 0), "1 <= NumBytes");
}

TEST(UtilitiesTest, CharacterChecksAndDecibels)
{
    EXPECT_EQ(3u, CountChars('.', "192.168.1.10"));
    EXPECT_EQ(0u, CountChars('.', nullptr) + CountChars('\0', "abc"));
    EXPECT_TRUE(HasDigitsOnly("0123"));
    EXPECT_FALSE(HasDigitsOnly("")) << "empty";
    EXPECT_FALSE(HasDigitsOnly("12a"));
    EXPECT_EQ(1000, ConvertDbToCoeff(0, 1000));
    EXPECT_EQ(16423, ConvertDbToCoeff(-6, 32768)) << "rounded, not truncated";
    EXPECT_EQ(10000, ConvertDbToCoeff(20, 1000));
    EXPECT_EQ(65535, ConvertDbToCoeff(6.1f, 32768)) << "saturates from 65535 on";
    EXPECT_FLOAT_EQ(-60.0f, ConvertCoeffToDb(0, 1000)) << "a coefficient of 0 counts as 1";
    EXPECT_FLOAT_EQ(-20.0f, ConvertCoeffToDb(100, 1000));
    EXPECT_NEAR(6.0206f, ConvertCoeffToDb(2000, 1000), 1e-4);
    EXPECT_TRUE(std::isinf(ConvertCoeffToDb(5, 0)));
}
