// IPv4 validators with their exact reports, and the formatters.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "CaptureStdout.h"
#include "NetworkUtils.h"

namespace
{

// Runs Validate loud and quiet: both give Expected, the loud run prints
// exactly Report after the module tag (nothing when Report is empty), the
// quiet run prints nothing.
void ExpectValidation(bool Expected, const std::string& Report,
                      const std::function<bool(bool)>& Validate)
{
    cCaptureStdout Loud;
    bool LoudResult = Validate(true);
    std::string LoudText = Loud.Finish();
    cCaptureStdout Quiet;
    bool QuietResult = Validate(false);
    std::string QuietText = Quiet.Finish();
    EXPECT_EQ(Expected, LoudResult);
    EXPECT_EQ(Expected, QuietResult);
    EXPECT_EQ(Report.empty() ? "" : "NET ERROR : " + Report, LoudText);
    EXPECT_EQ("", QuietText);
}

TEST(IpAddrIsValidTest, AcceptsThreeDotAddressesOtherThanAllZerosAndAllOnes)
{
    EXPECT_TRUE(IpAddrIsValid("192.168.1.10"));
    EXPECT_TRUE(IpAddrIsValid("0x0a.010.0.1"));     // hex and octal parts
    EXPECT_TRUE(IpAddrIsValid("0.0.0.1"));
    EXPECT_FALSE(IpAddrIsValid("192.168.1"));
    EXPECT_FALSE(IpAddrIsValid("1.2.3.4.5"));
    EXPECT_FALSE(IpAddrIsValid("192.168.1.256"));
    EXPECT_FALSE(IpAddrIsValid("a.b.c.d"));
    EXPECT_FALSE(IpAddrIsValid("0.0.0.0"));
    EXPECT_FALSE(IpAddrIsValid("255.255.255.255"));
    EXPECT_FALSE(IpAddrIsValid(""));
    EXPECT_FALSE(IpAddrIsValid(nullptr));
}

TEST(IpAddrIsLinkLocalAndValidTest, NeedsValidAddressStartingWith169254)
{
    EXPECT_TRUE(IpAddrIsLinkLocalAndValid("169.254.10.20"));
    EXPECT_TRUE(IpAddrIsLinkLocalAndValid("169.254.0.0"));
    EXPECT_FALSE(IpAddrIsLinkLocalAndValid("169.254.1"));
    EXPECT_FALSE(IpAddrIsLinkLocalAndValid("10.169.254.1"));
    EXPECT_FALSE(IpAddrIsLinkLocalAndValid("169.25.4.1"));
    EXPECT_FALSE(IpAddrIsLinkLocalAndValid(nullptr));
}

TEST(NetmaskIsValidTest, AcceptsExactlyPrefixLengths1To31)
{
    char Mask[16];
    for (uint8_t Bits = 1; Bits <= 31; Bits++)
    {
        GetMaskFromNumBits(Mask, Bits);
        EXPECT_TRUE(NetmaskIsValid(Mask)) << Mask;
    }
    const char* const BadMasks[] = {"255.0.255.0", "0.0.0.0", "255.255.255.255", "255.255.255.253",
                                    "0.255.255.255", "127.0.0.0", "255.255.255", nullptr};
    for (const char* pMask : BadMasks)
    {
        EXPECT_FALSE(NetmaskIsValid(pMask)) << (pMask ? pMask : "null");
    }
}

TEST(IpAddrAndMaskAreValidTest, FirstFailingCheckDecidesAndIsReported)
{
    struct
    {
        const char* pIp;
        const char* pMask;
        bool Valid;
        const char* pReport;
    } const Cases[] = {
        {"192.168.1.10", "255.255.255.0", true, ""},
        {"10.1.2.3", "255.0.0.0", true, ""},
        {"192.168.1", "255.0.255.0", false, ""},
        {"192.168.1.10", "255.0.255.0", false, "The IP Mask (255.0.255.0) is invalid.\n"},
        {"192.168.1.0", "255.255.255.0", false,
         "The Host ID cannot be zero.\n"
         " - IP Address 192.168.1.0 and complement of IP Mask 255.255.255.0.\n"},
        {"0.0.0.5", "255.255.255.0", false,
         "The network prefix cannot be zero. (IP Address 0.0.0.5 and IP Mask 255.255.255.0.)\n"},
        {"10.0.0.255", "255.255.255.0", false,
         "The Host ID cannot be all ones. \n"
         " - IP Address 10.0.0.255 and IP Mask 255.255.255.0 results in 0xff000000.\n"},
        {"255.255.255.1", "255.255.255.0", false,
         "The network prefix cannot be all ones.\n"
         " - IP Address 255.255.255.1 and IP Mask 255.255.255.0 results in 0x00ffffff.\n"},
    };
    for (const auto& Case : Cases)
    {
        SCOPED_TRACE(std::string(Case.pIp) + " / " + Case.pMask);
        ExpectValidation(Case.Valid, Case.pReport, [&](bool PrintErrors) {
            return IpAddrAndMaskAreValid(Case.pIp, Case.pMask, PrintErrors);
        });
    }
}

TEST(GatewayIsValidTest, FirstFailingCheckDecidesAndIsReported)
{
    struct
    {
        const char* pIp;
        const char* pGateway;
        bool Valid;
        const char* pReport;
    } const Cases[] = {
        {"192.168.1.10", "192.168.1.1", true, ""},
        {"192.168.1.10", "192.168.1", false, "The gateway address 192.168.1 is invalid.\n"},
        {"192.168.1.10", "192.168.2.1", false,
         "Network prefix does not match IP. (IP Address 192.168.1.10, Gateway 192.168.2.1.)\n"},
        {"192.168.1.10", "192.168.1.10", false,
         "Ip and Gateway cannot have same host ID. "
         "(IP Address 192.168.1.10, Gateway 192.168.1.10.)\n"},
        // The IP itself is not checked: unparsable text counts as 0.0.0.0.
        {"bogus", "0.0.0.7", true, ""},
    };
    for (const auto& Case : Cases)
    {
        SCOPED_TRACE(std::string(Case.pIp) + " via " + Case.pGateway);
        ExpectValidation(Case.Valid, Case.pReport, [&](bool PrintErrors) {
            return GatewayIsValid(Case.pIp, "255.255.255.0", Case.pGateway, PrintErrors);
        });
    }
}

TEST(NetworkFormatTest, MacIpMaskAndEndpointText)
{
    char Text[32];
    const uint8_t Mac[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
    memset(Text, 'x', sizeof(Text));
    GetMacStringFromBytes(Text, Mac);
    EXPECT_STREQ("00:1a:2b:3c:4d:5e", Text);

    const uint8_t Ip[4] = {255, 0, 10, 1};
    CreateIpStringFromBytes(Text, Ip);
    EXPECT_STREQ("255.0.10.1", Text);

    const std::pair<uint8_t, const char*> Masks[] = {
        {24, "255.255.255.0"}, {1, "128.0.0.0"}, {9, "255.128.0.0"}, {31, "255.255.255.254"},
        {32, "255.255.255.255"}, {0, "0.0.0.0"}, {33, "0.0.0.0"}, {255, "0.0.0.0"}};
    for (const auto& Mask : Masks)
    {
        memset(Text, 'x', sizeof(Text));
        GetMaskFromNumBits(Text, Mask.first);
        EXPECT_STREQ(Mask.second, Text) << int(Mask.first);
        EXPECT_EQ(std::string(16 - strlen(Mask.second), '\0'),
                  std::string(Text + strlen(Mask.second), 16 - strlen(Mask.second)));
    }

    memset(Text, 'x', sizeof(Text));
    CreateTcpSocketStringFromIpAndPort(Text, "192.168.100.200", "65535");
    EXPECT_STREQ("tcp://192.168.100.200:65535", Text);
    EXPECT_EQ(std::string(32 - 27, '\0'), std::string(Text + 27, 32 - 27));
    // 24 characters of address and port is the most that fits.
    CreateTcpSocketStringFromIpAndPort(Text, "255.255.255.255", "123456789");
    EXPECT_EQ(31u, strlen(Text));
}

TEST(NetworkFormatDeathTest, BrokenPreconditionsAbort)
{
    char Text[32];
    const uint8_t Mac[6] = {0};
    EXPECT_DEATH(CreateTcpSocketStringFromIpAndPort(Text, "255.255.255.255", "1234567890"),
                 "Length");
    EXPECT_DEATH(CreateTcpSocketStringFromIpAndPort(Text, nullptr, "1"), "pIp");
    EXPECT_DEATH(GetMacStringFromBytes(nullptr, Mac), "MacString");
    EXPECT_DEATH(GetMacStringFromBytes(Text, nullptr), "MacBytes");
    EXPECT_DEATH(GetLinkLocalAddressFromIoctl("lo", nullptr), "Llip");
}

}
