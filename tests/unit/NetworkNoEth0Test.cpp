// Interface ioctls on a simulated unit without eth0
// (tests/units/net-noeth0.json): every call fails, reports once and leaves
// its output zeroed, and no descriptor stays open on the failure path.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "CaptureStdout.h"
#include "NetworkUtils.h"
#include "OpenDescriptors.h"

namespace
{

const std::string MacReport = "NET ERROR : Unable to get mac address from ioctl.\n";


TEST(NetworkNoEth0Test, MacReadsFailWithOneReportPerCall)
{
    uint8_t Bytes[6];
    char Text[18];
    memset(Text, 'x', sizeof(Text));
    cCaptureStdout Capture;
    for (int i = 0; i < 3; i++)
    {
        memset(Bytes, 0xff, sizeof(Bytes));
        EXPECT_TRUE(GetMacBytesFromIoctl(Bytes));
        EXPECT_EQ(std::string(6, '\0'), std::string(reinterpret_cast<char*>(Bytes), 6));
    }
    EXPECT_TRUE(GetMacStringFromIoctl(Text));
    EXPECT_EQ(MacReport + MacReport + MacReport + MacReport, Capture.Finish());
    EXPECT_EQ(std::string(18, '\0'), std::string(Text, 18));
}

TEST(NetworkNoEth0Test, AddressReadFails)
{
    char Llip[16];
    memset(Llip, 'x', sizeof(Llip));
    cCaptureStdout Capture;
    EXPECT_TRUE(GetLinkLocalAddressFromIoctl("eth0", Llip));
    EXPECT_EQ("NET ERROR :  - getting link local IP address.\n", Capture.Finish());
    EXPECT_EQ(std::string(16, '\0'), std::string(Llip, 16));
}

TEST(NetworkNoEth0Test, FailingPollsKeepNoDescriptors)
{
    int Before = OpenDescriptors();
    uint8_t Bytes[6];
    cCaptureStdout Capture;
    for (int i = 0; i < 10000; i++)
    {
        ASSERT_TRUE(GetMacBytesFromIoctl(Bytes));
    }
    // The capture's own descriptors are still open here.
    int After = OpenDescriptors();
    std::string Text = Capture.Finish();
    EXPECT_EQ(Before + 2, After);
    EXPECT_EQ(10000 * MacReport.size(), Text.size());
}

}
