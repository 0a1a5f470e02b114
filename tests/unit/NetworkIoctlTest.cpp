// Interface ioctls on a simulated unit whose eth0 has MAC 02:ab:cd:0e:f1:23
// and the address 169.254.10.20/16 (tests/units/net-eth0.json).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "CaptureStdout.h"
#include "NetworkUtils.h"
#include "OpenDescriptors.h"

namespace
{


TEST(NetworkIoctlTest, ReadsMacOfEth0)
{
    cCaptureStdout Capture;
    uint8_t Bytes[6];
    char Text[18];
    memset(Text, 'x', sizeof(Text));
    EXPECT_FALSE(GetMacBytesFromIoctl(Bytes));
    EXPECT_FALSE(GetMacStringFromIoctl(Text));
    EXPECT_EQ("", Capture.Finish());
    const uint8_t Expected[6] = {0x02, 0xab, 0xcd, 0x0e, 0xf1, 0x23};
    EXPECT_EQ(0, memcmp(Expected, Bytes, sizeof(Bytes)));
    EXPECT_STREQ("02:ab:cd:0e:f1:23", Text);
}

TEST(NetworkIoctlTest, ReadsIpv4AddressOfNamedInterface)
{
    char Llip[16];
    {
        cCaptureStdout Capture;
        EXPECT_FALSE(GetLinkLocalAddressFromIoctl("eth0", Llip));
        EXPECT_EQ("", Capture.Finish());
    }
    EXPECT_STREQ("169.254.10.20", Llip);
    EXPECT_TRUE(IpAddrIsLinkLocalAndValid(Llip));

    // Any address is read; only the check tells link-local ones apart.
    EXPECT_FALSE(GetLinkLocalAddressFromIoctl("lo", Llip));
    EXPECT_STREQ("127.0.0.1", Llip);
    EXPECT_FALSE(IpAddrIsLinkLocalAndValid(Llip));
}

TEST(NetworkIoctlTest, MissingInterfaceLeavesAddressEmpty)
{
    char Llip[16];
    memset(Llip, 'x', sizeof(Llip));
    cCaptureStdout Capture;
    EXPECT_TRUE(GetLinkLocalAddressFromIoctl("nosuch0", Llip));
    EXPECT_EQ("NET ERROR :  - getting link local IP address.\n", Capture.Finish());
    EXPECT_EQ(std::string(16, '\0'), std::string(Llip, 16));
}

TEST(NetworkIoctlTest, PollingKeepsNoDescriptors)
{
    int Before = OpenDescriptors();
    uint8_t Bytes[6];
    char Llip[16];
    for (int i = 0; i < 10000; i++)
    {
        ASSERT_FALSE(GetMacBytesFromIoctl(Bytes));
    }
    for (int i = 0; i < 1000; i++)
    {
        ASSERT_FALSE(GetLinkLocalAddressFromIoctl("eth0", Llip));
    }
    EXPECT_EQ(Before, OpenDescriptors());
}

}
