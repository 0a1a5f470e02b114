// Bus table: opening, lending and closing the three bus descriptors.
//
// The table is process-wide and never reset, so every case that needs a bus
// that was never opened runs in a freshly executed child ("threadsafe" death
// tests); its standard output joins standard error there, where the death
// test matches it.
#include <cstdio>
#include <set>

#include <fcntl.h>
#include <unistd.h>

#include "I2cBus.h"
#include "I2cDevice.h"
#include "I2cSimUnit.h"

namespace
{
class I2cBusTest : public cI2cSimTest
{
protected:
    I2cBusTest() { OpenBusesInSetUp = false; }

    void SetUp() override
    {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        cI2cSimTest::SetUp();
    }

    // Sends the code's standard output to standard error, in order.
    static void JoinOutputToStderr()
    {
        fflush(stdout);
        dup2(2, 1);
    }

    // True when a device at 0x50 on BusName answers a tracked one-byte read.
    static bool EepromAnswers(eBusNames BusName)
    {
        cI2cDevice Eeprom(0x50, BusName, "EEPROM");
        uint8_t Byte = 0;
        return !Eeprom.Read(&Byte, 1, true);
    }
};

TEST_F(I2cBusTest, OpensEachBusSilentlyOnItsOwnDevice)
{
    StartCapture();
    InitI2cBusses();
    BusesOpen = true;
    EXPECT_EQ("", StopCapture());

    std::set<int> Descriptors;
    for (eBusNames Bus : {I2C_BUS_0, I2C_BUS_1, I2C_BUS_2})
    {
        int Fd = GetBusFd(Bus);
        EXPECT_LE(0, Fd);
        Descriptors.insert(Fd);
    }
    EXPECT_EQ(3u, Descriptors.size());

    // Each descriptor reaches its own bus: a probe on bus n is logged on i2c-n.
    MarkLog();
    for (eBusNames Bus : {I2C_BUS_0, I2C_BUS_1, I2C_BUS_2})
    {
        cI2cDevice::DeviceExists(Bus, 0x50);
    }
    std::vector<I2cLogLine> Log = NewTransfers();
    ASSERT_EQ(3u, Log.size());
    EXPECT_EQ("i2c-0 R 0x50 len=1 nack", Log[0].What);
    EXPECT_EQ(0u, Log[1].What.find("i2c-1 R 0x50 len=1 ack"));
    EXPECT_EQ("i2c-2 R 0x50 len=1 nack", Log[2].What);
}

TEST_F(I2cBusTest, MissingBusIsReportedAndFatalForItsFirstDevice)
{
    EXPECT_DEATH(
        {
            JoinOutputToStderr();
            LoadUnit("\"0\": [], \"1\": [ " + Chip24c32(0x50) + " ]", false);
            InitI2cBusses();
            if (EepromAnswers(I2C_BUS_1))
            {
                fprintf(stderr, "bus 1 works\n");
            }
            cI2cDevice Orphan(0x50, I2C_BUS_2, "Orphan");
        },
        "I2C Error : Unable to open bus 2\\.  Result: -1\n"
        "bus 1 works\n"
        ".*GetBusFd.*Assertion `\\(-1\\) != RetVal' failed");
}

TEST_F(I2cBusTest, FailedBusZeroLeavesTheOthersUsableAndClosable)
{
    EXPECT_EXIT(
        {
            JoinOutputToStderr();
            LoadUnit("\"1\": [ " + Chip24c32(0x50) + " ], \"2\": [ " + Chip24c32(0x50) + " ]", false);
            InitI2cBusses();
            int Fd1 = GetBusFd(I2C_BUS_1);
            int Fd2 = GetBusFd(I2C_BUS_2);
            if (EepromAnswers(I2C_BUS_1) && EepromAnswers(I2C_BUS_2))
            {
                fprintf(stderr, "buses 1 and 2 work\n");
            }
            // Closing passes the never-opened bus 0 too: quietly.
            CloseI2cBusses();
            if (fcntl(Fd1, F_GETFD) < 0 && fcntl(Fd2, F_GETFD) < 0)
            {
                fprintf(stderr, "closed\n");
            }
            fflush(stdout);
            _exit(0);
        },
        ::testing::ExitedWithCode(0),
        "^I2C Error : Unable to open bus 0\\.  Result: -1\n"
        "buses 1 and 2 work\n"
        "closed\n$");
}

TEST_F(I2cBusTest, BadBusNumbersAndNamesAreFatal)
{
    InitI2cBusses();
    BusesOpen = true;
    EXPECT_DEATH(GetBusFd(NUM_I2C_BUSSES), "GetBusFd.*Assertion `NUM_I2C_BUSSES > BusName' failed");
    // Compared unsigned: a negative number is out of range too.
    EXPECT_DEATH(GetBusFd(static_cast<eBusNames>(-1)), "Assertion `NUM_I2C_BUSSES > BusName' failed");
    EXPECT_DEATH(InitI2cBus(NUM_I2C_BUSSES), "Assertion `NUM_I2C_BUSSES > BusName' failed");
    EXPECT_DEATH(cI2cDevice(0x50, NUM_I2C_BUSSES, "EEPROM"),
                 "const char\\*\\): Assertion `NUM_I2C_BUSSES > NewBusName' failed");
    EXPECT_DEATH(cI2cDevice(0x50, NUM_I2C_BUSSES, "EEPROM", false),
                 "const char\\*, bool\\): Assertion `NUM_I2C_BUSSES > NewBusName' failed");
    EXPECT_DEATH(cI2cDevice(0x50, I2C_BUS_1, nullptr), "Assertion `nullptr != NewDeviceName' failed");
    EXPECT_DEATH(cI2cDevice(0x50, I2C_BUS_1, nullptr, true), "Assertion `nullptr != NewDeviceName' failed");
}
} // namespace
