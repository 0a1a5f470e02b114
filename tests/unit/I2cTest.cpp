// The I2C bus table and device class against the simulated 24c32 at 0x50 on
// bus 1 (SimTest.h). The chip serves as a register device: a one-byte write
// [m] latches its address counter's high byte (the low byte, 0 at power-up,
// stays), a two-byte write [m, v] only moves the counter, and reads run on
// from the counter. So register m reads chip byte m * 256 at first.
#include "I2cBus.h"
#include "I2cDevice.h"
#include "SimTest.h"

namespace
{
const std::string Tag = "I2C Error : ";
const std::string Nack = strerror(ENXIO);   // i2c-dev's errno for a missing acknowledge
const std::string WriteFailed = Tag + "I2C Device EEPROM Write failed with: " + Nack + "\n";
const std::string ReadFailed = Tag + "I2C Device EEPROM Read failed with: " + Nack + "\n";
const std::string RegReadFailed = Tag + "I2C Device EEPROM read failed:\n" + Tag + " - Error:  " + Nack + "\n";
const std::string Unable = Tag + "Unable to write to register 0x21 of EEPROM.\n";
const std::string DeadLine = Tag + "EEPROM (Addr 0x50) is being declared dead due to communication errors.\n";
const std::string Busy = std::string(" creation failed with result: -1 (") + strerror(EBUSY) + ")\n";

class cI2cTest : public cSimTest
{
protected:
    void SetUp() override
    {
        cSimTest::SetUp();
        InitI2cBusses();
    }
    void TearDown() override
    {
        CloseI2cBusses();
        cSimTest::TearDown();
    }
    // A new session with these chip faults, on reopened buses.
    void Reload(const std::string& Faults, int CycleMs = 0)
    {
        CloseI2cBusses();
        LoadChip(Faults, CycleMs);
        InitI2cBusses();
    }
    static void Capture()
    {
        fflush(stdout);
        testing::internal::CaptureStdout();
    }
    static std::string Output() { return testing::internal::GetCapturedStdout(); }
    // Failing tracked reads (the chip must refuse them) until the device is
    // declared dead: 15 less the errors it has counted.
    static int ReadsToDeath(cI2cDevice& Device)
    {
        int Reads = 0;
        Capture();
        for (uint8_t Byte; Device.DeviceIsOk() && Reads < 20; Reads++)
        {
            Device.Read(&Byte, 1, true);
        }
        Output();
        return Reads;
    }
};

// A bus that was never opened needs a process whose table is fresh: the
// threadsafe style runs the statement in a newly executed child.
using cI2cBusTest = cSimTest;

TEST_F(cI2cBusTest, UnopenedBusesAreReportedSkippedAndFatalForTheirFirstDevice)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            fflush(stdout);
            dup2(2, 1);     // the reports join the assertion report
            LoadBuses("\"1\": [ { \"model\": \"24c32\", \"address\": 80 } ]");
            InitI2cBusses();
            int Fd = GetBusFd(I2C_BUS_1);
            uint8_t Byte = 0;
            bool Failed = cI2cDevice(0x50, I2C_BUS_1, "EEPROM").Read(&Byte, 1, true);
            CloseI2cBusses();
            fprintf(stderr, "read %d, closed %d\n", Failed, fcntl(Fd, F_GETFD) < 0);
            std::filesystem::remove_all(Dir);
            cI2cDevice Orphan(0x50, I2C_BUS_2, "Orphan");
        },
        "^I2C Error : Unable to open bus 0\\.  Result: -1\nI2C Error : Unable to open bus 2\\.  Result: -1\n"
        "read 0, closed 1\n.*GetBusFd.*Assertion `\\(-1\\) != RetVal' failed");
    GTEST_FLAG_SET(death_test_style, "fast");
}

TEST_F(cI2cTest, BusesOpenSilentlyAndDeferredDevicesWaitForAProbe)
{
    CloseI2cBusses();
    Capture();
    InitI2cBusses();
    cI2cDevice Eeprom(0x50, I2C_BUS_1, "EEPROM");
    cI2cDevice Deferred(0x50, I2C_BUS_1, "ABCDEFGHIJKLMNOPQRST", false);
    EXPECT_EQ("", Output());
    EXPECT_STREQ("ABCDEFGHIJKLMNO", Deferred.GetName());
    uint8_t Data[2] = {};
    EXPECT_TRUE(Deferred.Write(Data, 2, true));
    EXPECT_FALSE(cI2cDevice::DeviceExists(I2C_BUS_0, 0x50) || cI2cDevice::DeviceExists(I2C_BUS_2, 0x50));
    EXPECT_TRUE(Deferred.DeviceExists());
    EXPECT_FALSE(Deferred.Write(Data, 2, true));
    EXPECT_EQ((tLines{"1.0 i2c-0 R 0x50 len=1 nack", "2.0 i2c-2 R 0x50 len=1 nack", "3.0 i2c-1 R 0x50 len=1 ack 03",
                      "4.0 i2c-1 W 0x50 len=2 ack 00 00"}),
              Log());
}

TEST_F(cI2cTest, UnselectableDevicesAreReportedAndDeadUntilTheyAnswer)
{
    Reload("\"slave_busy\": true");
    uint8_t Data[4] = {};
    RwRegister_s Empty = {0x01, 0x3C, 0x00};
    Capture();
    cI2cDevice Eeprom(0x50, I2C_BUS_1, "EEPROM");
    // Untracked reads and the static probe (after its own report) still go out.
    EXPECT_FALSE(Eeprom.Read(Data, 4, false));
    EXPECT_TRUE(cI2cDevice::DeviceExists(I2C_BUS_1, 0x50));
    EXPECT_FALSE(cI2cDevice::DeviceExists(I2C_BUS_1, 0x51));
    // Dead: the gate comes first; untracked reads and register reads test the buffer before it.
    const std::pair<const char*, bool> DeadCalls[] = {
        {"Write", Eeprom.Write(nullptr, 2, true)},
        {"Read", Eeprom.Read(nullptr, 2, true)},
        {"ReadRegs", Eeprom.ReadRegs(0x10, Data, 0, true)},
        {"ReadRegsWithAttempts", Eeprom.ReadRegsWithAttempts(0x10, nullptr, 2)},
        {"ReadOneReg", Eeprom.ReadOneReg(&Empty, false)},
        {"WriteOneReg", Eeprom.WriteOneReg(&Empty, false)},
        {"WriteReadCompare", Eeprom.WriteReadCompare(&Empty, false)}};
    for (const auto& Call : DeadCalls)
    {
        EXPECT_TRUE(Call.second) << Call.first << " on a dead device";
    }
    EXPECT_EQ(Tag + "EEPROM" + Busy + Tag + "AddressTest" + Busy, Output());
    EXPECT_DEATH(Eeprom.Read(nullptr, 2, false), "Assertion `nullptr != pRdBuf' failed");
    EXPECT_DEATH(Eeprom.ReadRegs16(0x10, nullptr, 2, true), "Assertion `nullptr != pRdBuf' failed");
    EXPECT_EQ((tLines{"1.0 i2c-1 R 0x50 len=4 ack 03 0a 11 18", "2.0 i2c-1 R 0x50 len=1 ack 1f",
                      "3.0 i2c-1 R 0x51 len=1 nack"}),
              Log());
    EXPECT_TRUE(Eeprom.DeviceExists());
    EXPECT_FALSE(Eeprom.Write(Data, 2, true));
}

TEST_F(cI2cTest, BadBusesNamesAndBuffersAreFatalButEmptyTransfersAreNot)
{
    EXPECT_DEATH(GetBusFd(NUM_I2C_BUSSES), "GetBusFd.*Assertion `NUM_I2C_BUSSES > BusName' failed");
    EXPECT_DEATH(GetBusFd(static_cast<eBusNames>(-1)), "GetBusFd.*Assertion `NUM_I2C_BUSSES > BusName' failed");
    EXPECT_DEATH(InitI2cBus(NUM_I2C_BUSSES), "InitI2cBus.*Assertion `NUM_I2C_BUSSES > BusName' failed");
    EXPECT_DEATH(cI2cDevice(0x50, NUM_I2C_BUSSES, "E"), "char\\*\\): Assertion `NUM_I2C_BUSSES > NewBusName'");
    EXPECT_DEATH(cI2cDevice(0x50, NUM_I2C_BUSSES, "E", false), "bool\\): Assertion `NUM_I2C_BUSSES > NewBusName'");
    EXPECT_DEATH(cI2cDevice(0x50, I2C_BUS_1, nullptr), "char\\*\\): Assertion `nullptr != NewDeviceName' failed");
    EXPECT_DEATH(cI2cDevice(0x50, I2C_BUS_1, nullptr, false), "bool\\): Assertion `nullptr != NewDeviceName' failed");
    cI2cDevice Eeprom(0x50, I2C_BUS_1, "EEPROM");
    uint8_t Data[2] = {};
    EXPECT_FALSE(Eeprom.Write(Data, 0, true) || Eeprom.Read(nullptr, 0, true) || Eeprom.ReadRegs(0x10, Data, 0, true)
                 || Eeprom.ReadRegsWithAttempts(0x10, nullptr, 0));
    EXPECT_TRUE(Log().empty());
    EXPECT_DEATH(Eeprom.Write(nullptr, 0, true), "Write.*Assertion `nullptr != pWrBuf' failed");
    EXPECT_DEATH(Eeprom.Read(nullptr, 1, true), "Read.*Assertion `nullptr != pRdBuf' failed");
    EXPECT_DEATH(Eeprom.ReadRegs(0x10, nullptr, 0, true), "ReadRegsArbMapSize.*`nullptr != pRdBuf' failed");
    EXPECT_DEATH(Eeprom.ReadRegsWithAttempts(0x10, nullptr, 1), "ReadRegsWithAttempts.*`nullptr != pRdBuf' failed");
}

TEST_F(cI2cTest, FifteenthConsecutiveErrorDeclaresTheDeviceDeadEvenInARetry)
{
    Reload("\"read_fail\": true");
    cI2cDevice Eeprom(0x50, I2C_BUS_1, "EEPROM");
    uint8_t Data[2] = {};
    Capture();
    for (int Index = 0; Index < 28; Index++)
    {
        EXPECT_TRUE(Eeprom.Read(Data, 1, true));
        if (Index == 13)
        {
            EXPECT_FALSE(Eeprom.Write(Data, 2, true));  // a success resets the count
        }
    }
    EXPECT_FALSE(Eeprom.Write(Data, 0, true));  // an empty write neither counts nor resets
    EXPECT_EQ(28 * ReadFailed.size(), Output().size());
    // The 15th error stops the retries' traffic, not their final update.
    Capture();
    EXPECT_TRUE(Eeprom.ReadRegsWithAttempts(0x21, Data, 2));
    EXPECT_EQ(DeadLine + Tag + "All attempts to read EEPROM, MAP 0x21 failed.\n" + DeadLine, Output());
    EXPECT_EQ(31u, Log().size());
}

TEST_F(cI2cTest, ARevivedDeviceCountsItsErrorsAfresh)
{
    Reload("", 500);    // the chip acknowledges nothing during its write cycle
    cI2cDevice Eeprom(0x50, I2C_BUS_1, "EEPROM"), Writer(0x50, I2C_BUS_1, "Writer");
    uint8_t Page[3] = {0x00, 0x00, 0x55};
    for (int Round = 0; Round < 2; Round++)
    {
        ASSERT_FALSE(Writer.Write(Page, 3, true));
        EXPECT_EQ(15, ReadsToDeath(Eeprom));
        for (int Polls = 0; Polls < 1000 && !Eeprom.DeviceExists(); Polls++)
        {
            usleep(10000);
        }
    }
}

TEST_F(cI2cTest, RegisterReadsSendTheMapLowByteFirstInOneTransfer)
{
    cI2cDevice Eeprom(0x50, I2C_BUS_1, "EEPROM");
    static uint8_t Data[4096];
    ASSERT_FALSE(Eeprom.ReadRegs16(0x0102, Data, 4, true));
    EXPECT_EQ(PatternAt(0x0201, 4), tBytes(Data, Data + 4));
    ASSERT_FALSE(Eeprom.ReadRegs16(0, Data, sizeof(Data), true));
    EXPECT_EQ(PatternAt(0, 4096), tBytes(Data, Data + 4096));
    EXPECT_EQ((tLines{"1.0 i2c-1 W 0x50 len=2 ack 02 01", "1.1 i2c-1 R 0x50 len=4 ack 0c 13 1a 21",
                      "2.0 i2c-1 W 0x50 len=2 ack 00 00",
                      "2.1 i2c-1 R 0x50 len=4096 ack 03 0a 11 18 1f 26 2d 34 3b 42 49 50 57 5e 65 6c"}),
              Log());
}

TEST_F(cI2cTest, FieldsAreReadAndWrittenUnderTheirMask)
{
    Poke(0x0100, 0xA5);     // register 0x01, read twice
    Poke(0x0101, 0xA5);
    cI2cDevice Eeprom(0x50, I2C_BUS_1, "EEPROM");
    RwRegister_s Read = {0x01, 0x00, 0x0F}, Field = {0x01, 0x3C, 0x0F}, Empty = {0x01, 0x3C, 0x00};
    EXPECT_FALSE(Eeprom.ReadOneReg(&Read, true));
    EXPECT_EQ(0x05, Read.Value);
    EXPECT_FALSE(Eeprom.WriteOneReg(&Field, true));
    // An empty field is done at once.
    EXPECT_FALSE(Eeprom.WriteOneReg(&Empty, true) || Eeprom.WriteReadCompare(&Empty, true)
                 || Eeprom.ReadOneReg(&Empty, true));
    EXPECT_EQ(0x00, Empty.Value);
    EXPECT_EQ((tLines{"1.0 i2c-1 W 0x50 len=1 ack 01", "1.1 i2c-1 R 0x50 len=1 ack a5", "2.0 i2c-1 W 0x50 len=1 ack 01",
                      "2.1 i2c-1 R 0x50 len=1 ack a5", "3.0 i2c-1 W 0x50 len=2 ack 01 ac"}),
              Log());
}

TEST_F(cI2cTest, VerifiedWritesCompareOnlyTheField)
{
    // The masked write leaves the counter at 0x1ac, where the read-back reads.
    Poke(0x0100, 0xA5);
    Poke(0x01AC, 0x5C);
    cI2cDevice Eeprom(0x50, I2C_BUS_1, "EEPROM");
    RwRegister_s Field = {0x01, 0x3C, 0x0F};
    EXPECT_FALSE(Eeprom.WriteReadCompare(&Field, true));
    EXPECT_EQ("3.1 i2c-1 R 0x50 len=1 ack 5c", Log().back());
    // Now it reads 0xbf at 0x1ad, writes 0xbc and reads back 0x28: untracked, one quiet attempt.
    Capture();
    EXPECT_TRUE(Eeprom.WriteReadCompare(&Field, false));
    EXPECT_EQ("", Output());
    EXPECT_EQ("6.1 i2c-1 R 0x50 len=1 ack 28", Log().back());
}

// Buffers and registers for the failing calls; a failed call leaves them alone.
struct sRegs
{
    uint8_t Bytes[4] = {0x21, 0x3C, 0xEE, 0xEE};
    RwRegister_s Field = {0x21, 0x3C, 0x0F}, Whole = {0x21, 0x3C, 0xFF};
    WoRegister_s WriteOnly = {0x21, 0x3C};
};

// A call the chip refuses, what it prints and sends, and how many errors it counts.
struct sFailingCall
{
    const char* pFault;
    bool (*Call)(cI2cDevice& D, sRegs& R);
    std::string Output;
    tLines Traffic;     // transfer log lines without transfer number and bus
    int Errors;
};
#define CALL(Expression) [](cI2cDevice& D, sRegs& R) { return Expression; }
const std::string WriteNack = "W 0x50 len=2 nack 21 3c", ReadNack = "W 0x50 len=1 nack 21";

const sFailingCall FailingCalls[] = {
    {"no_ack", CALL(D.Write(R.Bytes, 2, true)), WriteFailed, {WriteNack}, 1},
    {"no_ack", CALL(D.Read(R.Bytes + 2, 2, true)), ReadFailed, {"R 0x50 len=2 nack"}, 1},
    {"no_ack", CALL(D.ReadRegs(0x21, R.Bytes + 2, 2, true)), RegReadFailed, {ReadNack}, 1},
    {"no_ack", CALL(D.ReadOneReg(&R.Field, true)), RegReadFailed, {ReadNack}, 2},
    {"no_ack", CALL(D.ReadOneReg(&R.Field, false)), RegReadFailed, {ReadNack}, 1},
    {"no_ack", CALL(D.WriteOneReg(&R.Whole, true)), WriteFailed + Unable, {WriteNack}, 2},
    {"no_ack", CALL(D.WriteOneReg(&R.Whole, false)), WriteFailed, {WriteNack}, 2},
    // A masked write whose read fails writes nothing.
    {"read_fail", CALL(D.WriteOneReg(&R.Field, true)), RegReadFailed + Unable,
     {"W 0x50 len=1 ack 21", "R 0x50 len=1 nack"}, 2},
    {"no_ack", CALL(D.ReadRegsWithAttempts(0x21, R.Bytes + 2, 2)),
     Tag + "All attempts to read EEPROM, MAP 0x21 failed.\n", tLines(5, ReadNack), 6},
    {"no_ack", CALL(D.WriteOneRegWithAttempts(&R.WriteOnly)),
     Tag + "All attempts to write EEPROM (WORWA), Map: 0x21 failed.\n", tLines(5, WriteNack), 6},
    // Each attempt is a whole-register write, which counts twice.
    {"no_ack", CALL(D.WriteReadCompare(&R.Whole, true)),
     WriteFailed + WriteFailed + WriteFailed + WriteFailed + WriteFailed + Tag
         + "All attempts to write EEPROM (WRC), Map: 0x21 failed.\n",
     tLines(5, WriteNack), 11},
    {"no_ack", CALL(D.WriteReadCompare(&R.Whole, false)), WriteFailed, {WriteNack}, 2},
    {"read_fail", CALL(D.WriteReadCompare(&R.Whole, false)), RegReadFailed,
     {"W 0x50 len=2 ack 21 3c", "W 0x50 len=1 ack 21", "R 0x50 len=1 nack"}, 1},
};

TEST_F(cI2cTest, FailedCallsReportCountAndLeaveTheBuffersAsTheyWere)
{
    for (const sFailingCall& Row : FailingCalls)
    {
        SCOPED_TRACE(Row.Output);
        Reload(std::string("\"") + Row.pFault + "\": true");
        cI2cDevice Eeprom(0x50, I2C_BUS_1, "EEPROM");
        sRegs Regs;
        Capture();
        EXPECT_TRUE(Row.Call(Eeprom, Regs));
        EXPECT_EQ(Row.Output, Output());
        tLines Traffic = Log();
        for (std::string& Line : Traffic)
        {
            Line.erase(0, Line.find(" 0x") - 1);
        }
        EXPECT_EQ(Row.Traffic, Traffic);
        EXPECT_EQ((tBytes{0x21, 0x3C, 0xEE, 0xEE, 0x3C}),
                  (tBytes{Regs.Bytes[0], Regs.Bytes[1], Regs.Bytes[2], Regs.Bytes[3], Regs.Field.Value}));
        EXPECT_EQ(15 - Row.Errors, ReadsToDeath(Eeprom));
        // A dead device fails them at once, silently, off the bus.
        Reload("\"slave_busy\": true");
        Capture();
        cI2cDevice Dead(0x50, I2C_BUS_1, "EEPROM");
        EXPECT_TRUE(Row.Call(Dead, Regs));
        EXPECT_EQ(Tag + "EEPROM" + Busy, Output());
        EXPECT_TRUE(Log().empty());
    }
}
} // namespace
