// I2C device: construction, raw transfers, the consecutive-error count, the
// dead-device gate and revival, against a 24xx32 on the simulated bus 1.
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "I2cDevice.h"
#include "I2cSimUnit.h"

namespace
{
const std::string Tag = "I2C Error : ";
const std::string DeadLine = Tag + "EEPROM (Addr 0x50) is being declared dead due to communication errors.\n";
// What the simulated bus reports for a missing acknowledge, as i2c-dev does.
const std::string NackText = strerror(ENXIO);

class cI2cDeviceTest : public cI2cSimTest
{
protected:
    // Fails Count address-only writes on a chip that does not acknowledge.
    static void FailWrites(cI2cDevice& Device, int Count)
    {
        uint8_t Pointer[2] = {0x00, 0x00};
        for (int Index = 0; Index < Count; Index++)
        {
            EXPECT_TRUE(Device.Write(Pointer, 2, false));
        }
    }
};

TEST_F(cI2cDeviceTest, ConstructionSelectsTheAddressQuietly)
{
    MarkLog();
    StartCapture();
    cI2cDevice Eeprom(0x50, I2C_BUS_1, "EEPROM");
    cI2cDevice Long(0x50, I2C_BUS_1, "ABCDEFGHIJKLMNOPQRST");
    EXPECT_EQ("", StopCapture());
    EXPECT_TRUE(NewTransfers().empty());
    EXPECT_STREQ("EEPROM", Eeprom.GetName());
    EXPECT_STREQ("ABCDEFGHIJKLMNO", Long.GetName());
    EXPECT_TRUE(Eeprom.DeviceIsOk());

    // Deferred construction sends nothing and transfers nothing until a
    // probe finds the device.
    cI2cDevice Deferred(0x50, I2C_BUS_1, "Deferred", false);
    uint8_t Data[2] = {0x00, 0x00};
    EXPECT_FALSE(Deferred.DeviceIsOk());
    EXPECT_TRUE(Deferred.Write(Data, 2, true));
    EXPECT_TRUE(NewTransfers().empty());
    EXPECT_TRUE(Deferred.DeviceExists());
    EXPECT_FALSE(Deferred.Write(Data, 2, true));
}

TEST_F(cI2cDeviceTest, StaticProbeAnswersOnlyWhereADeviceAcknowledges)
{
    MarkLog();
    StartCapture();
    EXPECT_TRUE(cI2cDevice::DeviceExists(I2C_BUS_1, 0x50));
    EXPECT_FALSE(cI2cDevice::DeviceExists(I2C_BUS_1, 0x51));
    EXPECT_FALSE(cI2cDevice::DeviceExists(I2C_BUS_2, 0x50));
    EXPECT_EQ("", StopCapture());
    std::vector<I2cLogLine> Log = NewTransfers();
    ASSERT_EQ(3u, Log.size());
    EXPECT_EQ(0u, Log[0].What.find("i2c-1 R 0x50 len=1 ack "));
    EXPECT_EQ("i2c-1 R 0x51 len=1 nack", Log[1].What);
    EXPECT_EQ("i2c-2 R 0x50 len=1 nack", Log[2].What);
}

TEST_F(cI2cDeviceTest, FailedAddressSelectionLeavesTheDeviceDeadUntilItAnswers)
{
    LoadEepromWithFaults("\"slave_busy\": true");
    MarkLog();
    StartCapture();
    cI2cDevice Eeprom(0x50, I2C_BUS_1, "EEPROM");
    uint8_t Data[4] = {0x00, 0x00, 0x00, 0x00};
    EXPECT_TRUE(Eeprom.Write(Data, 2, true));
    EXPECT_TRUE(Eeprom.Write(nullptr, 4, true));   // the gate comes before the buffer test
    EXPECT_TRUE(Eeprom.Read(Data, 4, true));
    EXPECT_EQ(Tag + "EEPROM creation failed with result: -1 (" + strerror(EBUSY) + ")\n", StopCapture());
    EXPECT_FALSE(Eeprom.DeviceIsOk());
    EXPECT_TRUE(NewTransfers().empty());

    // An untracked read still reaches the bus and leaves the device dead.
    EXPECT_FALSE(Eeprom.Read(Data, 4, false));
    EXPECT_FALSE(Eeprom.DeviceIsOk());
    std::vector<I2cLogLine> Log = NewTransfers();
    ASSERT_EQ(1u, Log.size());
    EXPECT_EQ(0u, Log[0].What.find("i2c-1 R 0x50 len=4 ack "));

    // The probe goes on after its own creation message, and finds the chip.
    StartCapture();
    EXPECT_TRUE(cI2cDevice::DeviceExists(I2C_BUS_1, 0x50));
    EXPECT_EQ(Tag + "AddressTest creation failed with result: -1 (" + strerror(EBUSY) + ")\n", StopCapture());

    EXPECT_TRUE(Eeprom.DeviceExists());
    EXPECT_TRUE(Eeprom.DeviceIsOk());
    EXPECT_FALSE(Eeprom.Write(Data, 2, true));
}

TEST_F(cI2cDeviceTest, FifteenthConsecutiveErrorDeclaresTheDeviceDead)
{
    LoadEepromWithFaults("\"no_ack\": true");
    cI2cDevice Eeprom(0x50, I2C_BUS_1, "EEPROM");
    uint8_t Data[2] = {0x00, 0x00};
    MarkLog();
    StartCapture();
    EXPECT_TRUE(Eeprom.Write(Data, 2, true));
    FailWrites(Eeprom, 13);
    // A zero-length write neither counts nor clears the run of errors.
    EXPECT_FALSE(Eeprom.Write(Data, 0, true));
    EXPECT_TRUE(Eeprom.DeviceIsOk());
    std::string Before = StopCapture();
    EXPECT_EQ(Tag + "I2C Device EEPROM Write failed with: " + NackText + "\n", Before);

    StartCapture();
    FailWrites(Eeprom, 1);
    EXPECT_EQ(DeadLine, StopCapture());
    EXPECT_FALSE(Eeprom.DeviceIsOk());
    EXPECT_EQ(15u, NewTransfers().size());

    // Dead: writes and tracked reads fail at once, silently, off the bus.
    MarkLog();
    StartCapture();
    EXPECT_TRUE(Eeprom.Write(Data, 2, true));
    EXPECT_TRUE(Eeprom.Read(Data, 2, true));
    EXPECT_EQ("", StopCapture());
    EXPECT_TRUE(NewTransfers().empty());
    // An untracked read still goes out (and fails on this chip).
    EXPECT_TRUE(Eeprom.Read(Data, 2, false));
    ASSERT_EQ(1u, NewTransfers().size());
    EXPECT_EQ("i2c-1 R 0x50 len=2 nack", NewTransfers()[0].What);
}

TEST_F(cI2cDeviceTest, SuccessResetsTheErrorCountButReadsFailAlone)
{
    // Reads fail and writes succeed: one success between two runs of 14.
    LoadEepromWithFaults("\"read_fail\": true");
    cI2cDevice Eeprom(0x50, I2C_BUS_1, "EEPROM");
    uint8_t Data[2] = {0x00, 0x00};
    StartCapture();
    EXPECT_TRUE(Eeprom.Read(Data, 1, true));
    std::string FirstFailure = StopCapture();
    EXPECT_EQ(Tag + "I2C Device EEPROM Read failed with: " + NackText + "\n", FirstFailure);
    for (int Index = 1; Index < 14; Index++)
    {
        EXPECT_TRUE(Eeprom.Read(Data, 1, true));
    }
    EXPECT_FALSE(Eeprom.Write(Data, 2, true));
    for (int Index = 0; Index < 14; Index++)
    {
        EXPECT_TRUE(Eeprom.Read(Data, 1, true));
    }
    EXPECT_TRUE(Eeprom.DeviceIsOk());

    // Untracked failures are not counted either.
    StartCapture();
    EXPECT_TRUE(Eeprom.Read(Data, 1, false));
    EXPECT_EQ("", StopCapture());
    EXPECT_TRUE(Eeprom.DeviceIsOk());

    StartCapture();
    EXPECT_TRUE(Eeprom.Read(Data, 1, true));
    EXPECT_EQ(Tag + "I2C Device EEPROM Read failed with: " + NackText + "\n" + DeadLine, StopCapture());
    EXPECT_FALSE(Eeprom.DeviceIsOk());
}

TEST_F(cI2cDeviceTest, DeviceExistsRevivesADeviceKilledByAWriteCycle)
{
    // A long write cycle: the chip ignores everything long enough for the
    // device to be declared dead, then answers again.
    LoadEepromWithFaults("", 2000);
    cI2cDevice Eeprom(0x50, I2C_BUS_1, "EEPROM");
    uint8_t Program[3] = {0x00, 0x10, 0x5A};
    ASSERT_FALSE(Eeprom.Write(Program, 3, true));
    StartCapture();
    FailWrites(Eeprom, 15);
    EXPECT_EQ(DeadLine, StopCapture());
    ASSERT_FALSE(Eeprom.DeviceIsOk());
    // Still busy: the probe fails and changes nothing.
    EXPECT_FALSE(Eeprom.DeviceExists());
    EXPECT_FALSE(Eeprom.DeviceIsOk());

    auto GiveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    bool Found = false;
    while (!Found && std::chrono::steady_clock::now() < GiveUp)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        Found = Eeprom.DeviceExists();
    }
    ASSERT_TRUE(Found);
    EXPECT_TRUE(Eeprom.DeviceIsOk());
    uint8_t Byte = 0;
    EXPECT_FALSE(Eeprom.Write(Program, 2, true));
    EXPECT_FALSE(Eeprom.Read(&Byte, 1, true));
    EXPECT_EQ(0x5A, Byte);
}

TEST_F(cI2cDeviceTest, BufferChecksFollowTheDeadAndLengthTests)
{
    cI2cDevice Eeprom(0x50, I2C_BUS_1, "EEPROM");
    uint8_t Data[2] = {0x00, 0x00};
    MarkLog();
    EXPECT_FALSE(Eeprom.Write(Data, 0, true));
    EXPECT_FALSE(Eeprom.Read(Data, 0, true));
    EXPECT_FALSE(Eeprom.Read(nullptr, 0, true));    // length before buffer
    EXPECT_TRUE(NewTransfers().empty());
    EXPECT_DEATH(Eeprom.Write(nullptr, 0, true), "Write.*Assertion `nullptr != pWrBuf' failed");
    EXPECT_DEATH(Eeprom.Read(nullptr, 1, true), "Read.*Assertion `nullptr != pRdBuf' failed");

    LoadEepromWithFaults("\"slave_busy\": true");
    cI2cDevice Dead(0x50, I2C_BUS_1, "EEPROM");
    EXPECT_TRUE(Dead.Write(nullptr, 2, true));
    EXPECT_TRUE(Dead.Read(nullptr, 2, true));
    // Untracked reads skip the gate, so the buffer test applies.
    EXPECT_DEATH(Dead.Read(nullptr, 2, false), "Assertion `nullptr != pRdBuf' failed");
}
} // namespace
