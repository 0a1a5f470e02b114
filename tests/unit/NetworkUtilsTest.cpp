// IPv4 validators with their exact reports, the formatters, and the interface
// ioctls. Runs on two simulated units: one whose eth0 has MAC
// 02:ab:cd:0e:f1:23 and 169.254.10.20/16 (net-eth0.json, every test but
// NoEth0*), and one without eth0 (net-noeth0.json, only NoEth0*).
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "CaptureStdout.h"
#include "NetworkUtils.h"

static int OpenDescriptors()
{
    return static_cast<int>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

TEST(NetworkValidateTest, AddressesAndNetmasks)
{
    // v: a valid address, l: a valid link-local one, m: a valid netmask.
    const std::pair<const char*, std::string> Cases[] = {
        {"192.168.1.10", "v"}, {"0x0a.010.0.1", "v"}, {"0.0.0.1", "v"}, {"169.254.10.20", "vl"}, {"169.254.0.0", "vl"},
        {"10.169.254.1", "v"}, {"169.25.4.1", "v"}, {"169.254.1", ""}, {"1.2.3.4.5", ""}, {"192.168.1.256", ""},
        {"a.b.c.d", ""}, {"0.0.0.0", ""}, {"255.255.255.255", ""}, {"", ""}, {nullptr, ""}, {"255.0.255.0", "v"},
        {"255.255.255.253", "v"}, {"0.255.255.255", "v"}, {"127.0.0.0", "v"}, {"255.255.255", ""}, {"128.0.0.0", "vm"},
        {"255.128.0.0", "vm"}, {"255.255.255.0", "vm"}, {"255.255.255.254", "vm"},
        {"10.0.0.1 .", ""}};   // inet_aton stops at the blank
    for (const auto& Case : Cases)
    {
        EXPECT_EQ(Case.second, std::string(IpAddrIsValid(Case.first) ? "v" : "")
                                   + (IpAddrIsLinkLocalAndValid(Case.first) ? "l" : "")
                                   + (NetmaskIsValid(Case.first) ? "m" : "")) << (Case.first ? Case.first : "null");
    }
}

// The first failing check decides; it is reported only when asked for.
TEST(NetworkValidateTest, AddressMaskAndGatewayReports)
{
    // With a null gateway IpAddrAndMaskAreValid is checked, else GatewayIsValid.
    const struct { const char* pIp; const char* pMask; const char* pGateway; bool Valid; const char* pReport; } Cases[] = {
        {"192.168.1.10", "255.255.255.0", nullptr, true, ""},
        {"192.168.1", "255.0.255.0", nullptr, false, ""},
        {"192.168.1.10", "255.0.255.0", nullptr, false, "The IP Mask (255.0.255.0) is invalid.\n"},
        {"192.168.1.0", "255.255.255.0", nullptr, false, "The Host ID cannot be zero.\n"
         " - IP Address 192.168.1.0 and complement of IP Mask 255.255.255.0.\n"},
        {"0.0.0.5", "255.255.255.0", nullptr, false,
         "The network prefix cannot be zero. (IP Address 0.0.0.5 and IP Mask 255.255.255.0.)\n"},
        {"10.0.0.255", "255.255.255.0", nullptr, false, "The Host ID cannot be all ones. \n"
         " - IP Address 10.0.0.255 and IP Mask 255.255.255.0 results in 0xff000000.\n"},
        {"255.255.255.1", "255.255.255.0", nullptr, false, "The network prefix cannot be all ones.\n"
         " - IP Address 255.255.255.1 and IP Mask 255.255.255.0 results in 0x00ffffff.\n"},
        {"192.168.1.10", "255.255.255.0", "192.168.1.1", true, ""},
        {"192.168.1.10", "255.255.255.0", "192.168.1", false, "The gateway address 192.168.1 is invalid.\n"},
        {"192.168.1.10", "255.255.255.0", "192.168.2.1", false,
         "Network prefix does not match IP. (IP Address 192.168.1.10, Gateway 192.168.2.1.)\n"},
        {"192.168.1.10", "255.255.255.0", "192.168.1.10", false,
         "Ip and Gateway cannot have same host ID. (IP Address 192.168.1.10, Gateway 192.168.1.10.)\n"},
        // The IP itself is not checked: unparsable text counts as 0.0.0.0.
        {"bogus", "255.255.255.0", "0.0.0.7", true, ""},
    };
    for (const auto& Case : Cases)
    {
        SCOPED_TRACE(std::string(Case.pIp) + " / " + Case.pMask + " / " + (Case.pGateway ? Case.pGateway : "-"));
        for (bool Print : {true, false})
        {
            cCaptureStdout Capture;
            bool Valid = Case.pGateway ? GatewayIsValid(Case.pIp, Case.pMask, Case.pGateway, Print)
                                       : IpAddrAndMaskAreValid(Case.pIp, Case.pMask, Print);
            EXPECT_EQ(Case.Valid, Valid);
            EXPECT_EQ(Print && *Case.pReport ? "NET ERROR : " + std::string(Case.pReport) : "", Capture.Finish());
        }
    }
}

TEST(NetworkFormatTest, MacIpMaskAndEndpointText)
{
    char Text[32];
    const uint8_t Mac[6] = {0xA0, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F}, Ip[4] = {255, 0, 10, 1};
    GetMacStringFromBytes(Text, Mac);
    EXPECT_STREQ("a0:1b:2c:3d:4e:5f", Text);
    CreateIpStringFromBytes(Text, Ip);
    EXPECT_STREQ("255.0.10.1", Text);
    for (auto Mask : {std::make_pair(24, "255.255.255.0"), {1, "128.0.0.0"}, {9, "255.128.0.0"},
                      {31, "255.255.255.254"}, {32, "255.255.255.255"}, {0, "0.0.0.0"}, {33, "0.0.0.0"}})
    {
        memset(Text, 'x', sizeof(Text));
        GetMaskFromNumBits(Text, static_cast<uint8_t>(Mask.first));
        EXPECT_EQ(Mask.second + std::string(16 - strlen(Mask.second), '\0'), std::string(Text, 16));
    }
    memset(Text, 'x', sizeof(Text));
    CreateTcpSocketStringFromIpAndPort(Text, "192.168.100.200", "65535");
    EXPECT_EQ("tcp://192.168.100.200:65535" + std::string(5, '\0'), std::string(Text, 32));
    CreateTcpSocketStringFromIpAndPort(Text, "255.255.255.255", "123456789");   // 31 characters fit
    EXPECT_STREQ("tcp://255.255.255.255:123456789", Text);

    EXPECT_DEATH(CreateTcpSocketStringFromIpAndPort(Text, "255.255.255.255", "1234567890"), "Length");
    EXPECT_DEATH(CreateTcpSocketStringFromIpAndPort(Text, nullptr, "1"), "pIp");
    EXPECT_DEATH(GetMacStringFromBytes(nullptr, Mac), "MacString");
    EXPECT_DEATH(GetMacStringFromBytes(Text, nullptr), "MacBytes");
    EXPECT_DEATH(GetLinkLocalAddressFromIoctl("lo", nullptr), "Llip");
}

TEST(NetworkIoctlTest, ReadsMacOfEth0AndAddressesQuietlyAndKeepsNoDescriptor)
{
    uint8_t Bytes[6];
    char Mac[18], Eth0[16], Lo[16];
    cCaptureStdout Capture;
    int Before = OpenDescriptors();
    for (int i = 0; i < 100; i++)
    {
        ASSERT_FALSE(GetMacBytesFromIoctl(Bytes) || GetMacStringFromIoctl(Mac));
        ASSERT_FALSE(GetLinkLocalAddressFromIoctl("eth0", Eth0) || GetLinkLocalAddressFromIoctl("lo", Lo));
    }
    EXPECT_EQ(Before, OpenDescriptors());
    EXPECT_EQ("", Capture.Finish());
    EXPECT_EQ(std::string("\x02\xab\xcd\x0e\xf1\x23", 6), std::string(reinterpret_cast<char*>(Bytes), 6));
    EXPECT_STREQ("02:ab:cd:0e:f1:23", Mac);
    EXPECT_STREQ("169.254.10.20", Eth0);
    EXPECT_STREQ("127.0.0.1", Lo) << "any address is read, not only link-local ones";
}

TEST(NoEth0Test, EveryReadFailsWithOneReportZeroedOutputAndNoDescriptorKept)
{
    struct { uint8_t Bytes[6]; char Mac[18], Address[16]; } Out;
    std::string Expected;
    cCaptureStdout Capture;
    int Before = OpenDescriptors();
    for (int i = 0; i < 100; i++)
    {
        memset(&Out, 'x', sizeof(Out));
        ASSERT_TRUE(GetMacBytesFromIoctl(Out.Bytes)) << i;
        ASSERT_TRUE(GetMacStringFromIoctl(Out.Mac)) << i;
        ASSERT_TRUE(GetLinkLocalAddressFromIoctl("eth0", Out.Address)) << i;
        ASSERT_EQ(std::string(sizeof(Out), '\0'), std::string(reinterpret_cast<char*>(&Out), sizeof(Out)));
        Expected += "NET ERROR : Unable to get mac address from ioctl.\nNET ERROR : Unable to get mac address from ioctl.\n"
                    "NET ERROR :  - getting link local IP address.\n";
    }
    EXPECT_EQ(Before, OpenDescriptors());
    EXPECT_EQ(Expected, Capture.Finish());
}
