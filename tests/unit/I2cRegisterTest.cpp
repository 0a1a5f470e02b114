// Register access: map-address reads in one combined transfer, masked writes,
// fixed-count retries and verified writes, with their health updates, against
// a 24xx32 on the simulated bus 1.
//
// The chip takes a two-byte write [hi, lo] as a move of its address pointer
// and a read as a sequential read from the pointer, which is how its bytes
// serve as registers here.
#include <cstring>
#include <string>

#include "I2cDevice.h"
#include "I2cSimUnit.h"

namespace
{
const std::string Tag = "I2C Error : ";
const std::string NackText = strerror(ENXIO);
const std::string DeadLine = Tag + "EEPROM (Addr 0x50) is being declared dead due to communication errors.\n";
const std::string ReadFailedLines = Tag + "I2C Device EEPROM read failed:\n" + Tag + " - Error:  " + NackText + "\n";

// "xx xx ..." for up to 16 image bytes from Addr, as the log shows them.
std::string ImageHex(unsigned Addr, unsigned Count)
{
    std::string Text;
    char Byte[4];
    for (unsigned Index = 0; Index < Count && Index < 16; Index++)
    {
        snprintf(Byte, sizeof(Byte), "%s%02x", Index ? " " : "", ChipImage(Addr + Index));
        Text += Byte;
    }
    return Text;
}

class RegisterTest : public cI2cSimTest
{
protected:
    // Error updates from failed writes on a chip that does not acknowledge.
    static void FailWrites(cI2cDevice& Device, int Count)
    {
        uint8_t Pointer[2] = {0x00, 0x00};
        for (int Index = 0; Index < Count; Index++)
        {
            EXPECT_TRUE(Device.Write(Pointer, 2, false));
        }
    }

    // True when exactly Remaining more error updates declare Device dead;
    // the updates come from tracked reads, which this test's chips refuse.
    static bool DiesAfter(cI2cDevice& Device, int Remaining)
    {
        uint8_t Byte = 0;
        fflush(stdout);
        ::testing::internal::CaptureStdout();
        for (int Index = 1; Index < Remaining; Index++)
        {
            EXPECT_TRUE(Device.Read(&Byte, 1, true));
        }
        bool AliveBefore = Device.DeviceIsOk();
        EXPECT_TRUE(Device.Read(&Byte, 1, true));
        bool DeadAfter = !Device.DeviceIsOk();
        ::testing::internal::GetCapturedStdout();
        return AliveBefore && DeadAfter;
    }
};

TEST_F(RegisterTest, ReadRegs16SendsTheMapLowByteFirstInOneTransfer)
{
    cI2cDevice Eeprom(0x50, I2C_BUS_1, "EEPROM");
    uint8_t Data[4] = {};
    MarkLog();
    ASSERT_FALSE(Eeprom.ReadRegs16(0x0102, Data, sizeof(Data), true));
    std::vector<I2cLogLine> Log = NewTransfers();
    ASSERT_EQ(2u, Log.size());
    EXPECT_EQ("i2c-1 W 0x50 len=2 ack 02 01", Log[0].What);
    EXPECT_EQ("i2c-1 R 0x50 len=4 ack " + ImageHex(0x0201, 4), Log[1].What);
    EXPECT_EQ(Log[0].Transfer, Log[1].Transfer);
    EXPECT_EQ(0u, Log[0].Msg);
    EXPECT_EQ(1u, Log[1].Msg);
    for (unsigned Index = 0; Index < sizeof(Data); Index++)
    {
        EXPECT_EQ(ChipImage(0x0201 + Index), Data[Index]) << Index;
    }
}

TEST_F(RegisterTest, ReadRegs16ReadsTheWholeChipInOneTransfer)
{
    cI2cDevice Eeprom(0x50, I2C_BUS_1, "EEPROM");
    static uint8_t Image[4096];
    MarkLog();
    StartCapture();
    ASSERT_FALSE(Eeprom.ReadRegs16(0, Image, sizeof(Image), true));
    EXPECT_EQ("", StopCapture());
    std::vector<I2cLogLine> Log = NewTransfers();
    ASSERT_EQ(2u, Log.size());
    EXPECT_EQ("i2c-1 W 0x50 len=2 ack 00 00", Log[0].What);
    EXPECT_EQ("i2c-1 R 0x50 len=4096 ack " + ImageHex(0, 16), Log[1].What);
    EXPECT_EQ(Log[0].Transfer, Log[1].Transfer);
    unsigned Mismatches = 0;
    for (unsigned Addr = 0; Addr < sizeof(Image); Addr++)
    {
        Mismatches += (ChipImage(Addr) != Image[Addr]);
    }
    EXPECT_EQ(0u, Mismatches);
}

TEST_F(RegisterTest, FailedRegisterReadIsReportedAndLeavesTheBufferAlone)
{
    LoadEepromWithFaults("\"no_ack\": true");
    cI2cDevice Eeprom(0x50, I2C_BUS_1, "EEPROM");
    uint8_t Data[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    MarkLog();
    StartCapture();
    EXPECT_TRUE(Eeprom.ReadRegs(0x10, Data, sizeof(Data), true));
    EXPECT_TRUE(Eeprom.ReadRegs16(0x0010, Data, sizeof(Data), false));
    EXPECT_EQ(ReadFailedLines, StopCapture());
    std::vector<I2cLogLine> Log = NewTransfers();
    ASSERT_EQ(2u, Log.size());
    EXPECT_EQ("i2c-1 W 0x50 len=1 nack 10", Log[0].What);
    EXPECT_EQ("i2c-1 W 0x50 len=2 nack 10 00", Log[1].What);
    EXPECT_EQ(0xEE, Data[0]);
    EXPECT_EQ(0xEE, Data[3]);
    // One error update each.
    EXPECT_TRUE(DiesAfter(Eeprom, 13));
}

TEST_F(RegisterTest, EmptyFieldsZeroLengthsAndNullBuffersInTheirOrder)
{
    cI2cDevice Eeprom(0x50, I2C_BUS_1, "EEPROM");
    uint8_t Data[2] = {};
    RwRegister_s Empty = {0x10, 0x3C, 0x00};
    MarkLog();
    EXPECT_FALSE(Eeprom.ReadRegs(0x10, Data, 0, true));
    EXPECT_FALSE(Eeprom.ReadRegs16(0x0010, Data, 0, true));
    EXPECT_FALSE(Eeprom.ReadRegsWithAttempts(0x10, nullptr, 0));
    EXPECT_FALSE(Eeprom.WriteOneReg(&Empty, true));
    EXPECT_FALSE(Eeprom.WriteReadCompare(&Empty, true));
    EXPECT_FALSE(Eeprom.ReadOneReg(&Empty, true));
    EXPECT_EQ(0x00, Empty.Value);
    EXPECT_TRUE(NewTransfers().empty());
    EXPECT_DEATH(Eeprom.ReadRegs(0x10, nullptr, 0, true), "ReadRegsArbMapSize.*Assertion `nullptr != pRdBuf' failed");
    EXPECT_DEATH(Eeprom.ReadRegsWithAttempts(0x10, nullptr, 1), "ReadRegsWithAttempts.*Assertion `nullptr != pRdBuf' failed");

    // Dead: everything fails at once, but the core read tests its buffer first.
    LoadEepromWithFaults("\"slave_busy\": true");
    cI2cDevice Dead(0x50, I2C_BUS_1, "EEPROM");
    RwRegister_s Field = {0x10, 0x3C, 0x0F};
    WoRegister_s Whole = {0x10, 0x3C};
    MarkLog();
    StartCapture();
    EXPECT_TRUE(Dead.ReadRegs(0x10, Data, 0, true));
    EXPECT_TRUE(Dead.ReadRegs16(0x0010, Data, 2, true));
    EXPECT_TRUE(Dead.ReadRegsWithAttempts(0x10, nullptr, 2));
    EXPECT_TRUE(Dead.ReadOneReg(&Field, true));
    EXPECT_TRUE(Dead.WriteOneReg(&Field, true));
    EXPECT_TRUE(Dead.WriteReadCompare(&Field, true));
    EXPECT_TRUE(Dead.WriteOneRegWithAttempts(&Whole));
    EXPECT_EQ("", StopCapture());
    EXPECT_TRUE(NewTransfers().empty());
    EXPECT_EQ(0x3C, Field.Value);
    EXPECT_DEATH(Dead.ReadRegs(0x10, nullptr, 2, true), "Assertion `nullptr != pRdBuf' failed");
}

TEST_F(RegisterTest, WholeRegisterWriteSkipsTheRead)
{
    cI2cDevice Eeprom(0x50, I2C_BUS_1, "EEPROM");
    RwRegister_s Whole = {0x10, 0x3C, 0xFF};
    MarkLog();
    EXPECT_FALSE(Eeprom.WriteOneReg(&Whole, true));
    std::vector<I2cLogLine> Log = NewTransfers();
    ASSERT_EQ(1u, Log.size());
    EXPECT_EQ("i2c-1 W 0x50 len=2 ack 10 3c", Log[0].What);
}

TEST_F(RegisterTest, MaskedWriteWhoseReadFailsWritesNothing)
{
    LoadEepromWithFaults("\"read_fail\": true");
    cI2cDevice Eeprom(0x50, I2C_BUS_1, "EEPROM");
    RwRegister_s Field = {0x10, 0x3C, 0x0F};
    MarkLog();
    StartCapture();
    EXPECT_TRUE(Eeprom.WriteOneReg(&Field, true));
    EXPECT_EQ(ReadFailedLines + Tag + "Unable to write to register 0x10 of EEPROM.\n", StopCapture());
    std::vector<I2cLogLine> Log = NewTransfers();
    ASSERT_EQ(2u, Log.size());
    EXPECT_EQ("i2c-1 W 0x50 len=1 ack 10", Log[0].What);
    EXPECT_EQ("i2c-1 R 0x50 len=1 nack", Log[1].What);

    // PrintError governs only the summary line; inner reads still print.
    StartCapture();
    EXPECT_TRUE(Eeprom.WriteOneReg(&Field, false));
    EXPECT_EQ(ReadFailedLines, StopCapture());
    // Two updates per call (the inner read and the summary): 4 so far.
    EXPECT_TRUE(DiesAfter(Eeprom, 11));
}

TEST_F(RegisterTest, RetryingOperationsMakeFiveAttemptsAndSixUpdates)
{
    LoadEepromWithFaults("\"no_ack\": true");
    cI2cDevice Eeprom(0x50, I2C_BUS_1, "EEPROM");
    WoRegister_s Whole = {0x21, 0x3C};
    MarkLog();
    StartCapture();
    EXPECT_TRUE(Eeprom.WriteOneRegWithAttempts(&Whole));
    EXPECT_EQ(Tag + "All attempts to write EEPROM (WORWA), Map: 0x21 failed.\n", StopCapture());
    std::vector<I2cLogLine> Log = NewTransfers();
    ASSERT_EQ(5u, Log.size());
    for (const I2cLogLine& Line : Log)
    {
        EXPECT_EQ("i2c-1 W 0x50 len=2 nack 21 3c", Line.What);
    }
    EXPECT_TRUE(DiesAfter(Eeprom, 9));

    LoadEepromWithFaults("\"no_ack\": true");
    cI2cDevice Again(0x50, I2C_BUS_1, "EEPROM");
    uint8_t Data[3] = {};
    MarkLog();
    StartCapture();
    EXPECT_TRUE(Again.ReadRegsWithAttempts(0x22, Data, sizeof(Data)));
    EXPECT_EQ(Tag + "All attempts to read EEPROM, MAP 0x22 failed.\n", StopCapture());
    Log = NewTransfers();
    ASSERT_EQ(5u, Log.size());
    for (const I2cLogLine& Line : Log)
    {
        EXPECT_EQ("i2c-1 W 0x50 len=1 nack 22", Line.What);
    }
    EXPECT_TRUE(DiesAfter(Again, 9));
}

TEST_F(RegisterTest, DeathInTheMiddleOfARetryStopsTheTraffic)
{
    LoadEepromWithFaults("\"no_ack\": true");
    cI2cDevice Eeprom(0x50, I2C_BUS_1, "EEPROM");
    WoRegister_s Whole = {0x21, 0x3C};
    FailWrites(Eeprom, 12);
    MarkLog();
    StartCapture();
    EXPECT_TRUE(Eeprom.WriteOneRegWithAttempts(&Whole));
    // The third attempt kills it; the final update repeats the verdict.
    EXPECT_EQ(DeadLine + Tag + "All attempts to write EEPROM (WORWA), Map: 0x21 failed.\n" + DeadLine,
              StopCapture());
    EXPECT_EQ(3u, NewTransfers().size());
}

TEST_F(RegisterTest, SuccessfulRetryResetsTheCount)
{
    // The chip misses the 13th transfer once: the first attempt fails, the
    // second succeeds, and the run of 12 earlier errors is forgotten.
    LoadEepromWithFaults("\"read_fail\": true, \"nack_transfer\": 13");
    cI2cDevice Eeprom(0x50, I2C_BUS_1, "EEPROM");
    uint8_t Byte = 0;
    for (int Index = 0; Index < 12; Index++)
    {
        EXPECT_TRUE(Eeprom.Read(&Byte, 1, true));
    }
    WoRegister_s Whole = {0x21, 0x3C};
    MarkLog();
    StartCapture();
    EXPECT_FALSE(Eeprom.WriteOneRegWithAttempts(&Whole));
    EXPECT_EQ("", StopCapture());
    std::vector<I2cLogLine> Log = NewTransfers();
    ASSERT_EQ(2u, Log.size());
    EXPECT_EQ("i2c-1 W 0x50 len=2 nack 21 3c", Log[0].What);
    EXPECT_EQ("i2c-1 W 0x50 len=2 ack 21 3c", Log[1].What);
    EXPECT_TRUE(DiesAfter(Eeprom, 15));
}
} // namespace
