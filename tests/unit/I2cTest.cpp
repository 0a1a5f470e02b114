// I2C bus table and device, against a 24xx32 EEPROM at 0x50 on the simulated
// bus 1, which this binary links in-process. Each test gets a fresh session:
// new chip image, transfer numbers from 1, chip address counter at 0.
//
// The chip serves as a register device: a one-byte write [m] latches the
// counter's high byte (the low byte stays), a two-byte write [hi, lo] moves
// the counter without programming, and reads run on from the counter. With
// the counter's low byte at 0, register m is chip byte m * 256.
//
// The bus table is process-wide and never reset, so the cases that need a
// bus that was never opened run in freshly executed death-test children.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "I2cBus.h"
#include "I2cDevice.h"
#include "UnitsimI2c.h"

namespace
{
const std::string Tag = "I2C Error : ";
const std::string Nack = strerror(ENXIO);   // i2c-dev's errno for a missing acknowledge
const std::string DeadLine = Tag + "EEPROM (Addr 0x50) is being declared dead due to communication errors.\n";
const std::string ReadFailed = Tag + "I2C Device EEPROM read failed:\n" + Tag + " - Error:  " + Nack + "\n";

uint8_t ImageByte(unsigned Addr)
{
    return static_cast<uint8_t>(Addr * 13 + (Addr >> 8) + 7);
}

// Up to 16 image bytes from Addr as the transfer log shows them.
std::string Hex(unsigned Addr, unsigned Count)
{
    std::string Text;
    char Byte[4];
    for (unsigned Index = 0; Index < Count && Index < 16; Index++)
    {
        snprintf(Byte, sizeof(Byte), Index ? " %02x" : "%02x", ImageByte(Addr + Index));
        Text += Byte;
    }
    return Text;
}

std::string Chip(const std::string& Faults = "")
{
    return "[ { \"model\": \"24c32\", \"address\": \"0x50\", \"image\": \"chip.bin\", "
           "\"write_cycle_ms\": 5, \"faults\": { " + Faults + " } } ]";
}

// Scratch root of the run; death-test children inherit it and add their own
// directory.
class cScratch : public testing::Environment
{
public:
    void SetUp() override
    {
        char Template[] = "/tmp/i2c-test-XXXXXX";
        Owner = (nullptr == getenv("I2C_TEST_ROOT"));
        if (Owner)
        {
            ASSERT_NE(nullptr, mkdtemp(Template));
            setenv("I2C_TEST_ROOT", Template, 1);
        }
        Root = getenv("I2C_TEST_ROOT");
    }
    void TearDown() override
    {
        if (Owner)
        {
            std::filesystem::remove_all(Root);
        }
    }
    std::string Root;
    bool Owner = false;
};
cScratch* pScratch = static_cast<cScratch*>(testing::AddGlobalTestEnvironment(new cScratch));

class I2cTest : public testing::Test
{
protected:
    void SetUp() override
    {
        Dir = pScratch->Root + "/" + std::to_string(getpid());
        std::filesystem::create_directories(Dir + "/state");
        setenv("UNITSIM_STATE_DIR", (Dir + "/state").c_str(), 1);
        Load("\"0\": [], \"1\": " + Chip() + ", \"2\": []", OpenInSetUp);
    }
    void TearDown() override
    {
        if (BusesOpen)
        {
            CloseI2cBusses();
        }
    }

    // New session with the given "buses" members; opens the buses.
    void Load(const std::string& Buses, bool OpenBuses = true)
    {
        if (BusesOpen)
        {
            CloseI2cBusses();
        }
        std::string Image;
        for (unsigned Addr = 0; Addr < 4096; Addr++)
        {
            Image.push_back(static_cast<char>(ImageByte(Addr)));
        }
        std::ofstream(Dir + "/chip.bin", std::ios::binary) << Image;
        std::filesystem::remove(Dir + "/transfers.log");
        std::ofstream(Dir + "/unit.json") << "{ \"i2c\": { \"log\": \"transfers.log\", \"buses\": { " << Buses << " } } }";
        ASSERT_EQ(0, unitsim_i2c_load((Dir + "/unit.json").c_str()));
        Seen = 0;
        BusesOpen = OpenBuses;
        if (OpenBuses)
        {
            InitI2cBusses();
        }
    }
    void LoadChip(const std::string& Faults)
    {
        Load("\"0\": [], \"1\": " + Chip(Faults) + ", \"2\": []");
    }
    // Changes a chip byte behind the bus (the image is mapped by the chip).
    void Poke(unsigned Addr, uint8_t Value)
    {
        int Fd = open((Dir + "/chip.bin").c_str(), O_WRONLY);
        ASSERT_EQ(1, pwrite(Fd, &Value, 1, Addr));
        close(Fd);
    }

    // Transfer log lines since the previous call.
    std::vector<std::string> Log()
    {
        std::vector<std::string> Lines;
        std::ifstream In(Dir + "/transfers.log");
        for (std::string Line; std::getline(In, Line);)
        {
            Lines.push_back(Line);
        }
        Lines.erase(Lines.begin(), Lines.begin() + static_cast<long>(std::min(Seen, Lines.size())));
        Seen += Lines.size();
        return Lines;
    }

    static std::vector<std::string> WithoutNumbers(std::vector<std::string> Lines)
    {
        for (std::string& Line : Lines)
        {
            Line.erase(0, Line.find(' ') + 1);
        }
        return Lines;
    }

    static void Capture()
    {
        fflush(stdout);
        testing::internal::CaptureStdout();
    }
    static std::string Output() { return testing::internal::GetCapturedStdout(); }

    // True when exactly Remaining more error updates declare Device dead;
    // they come from tracked reads, which the chip must refuse.
    static bool DiesAfter(cI2cDevice& Device, int Remaining)
    {
        uint8_t Byte = 0;
        Capture();
        for (int Index = 1; Index < Remaining; Index++)
        {
            Device.Read(&Byte, 1, true);
        }
        bool AliveBefore = Device.DeviceIsOk();
        Device.Read(&Byte, 1, true);
        Output();
        return AliveBefore && !Device.DeviceIsOk();
    }

    bool OpenInSetUp = true;    // the bus table tests open the buses themselves
    std::string Dir;
    size_t Seen = 0;
    bool BusesOpen = false;
};

class I2cBusTest : public I2cTest
{
protected:
    I2cBusTest() { OpenInSetUp = false; }
};

TEST_F(I2cBusTest, EachBusOpensSilentlyOnItsOwnDevice)
{
    Capture();
    InitI2cBusses();
    BusesOpen = true;
    EXPECT_EQ("", Output());
    EXPECT_NE(GetBusFd(I2C_BUS_0), GetBusFd(I2C_BUS_1));
    EXPECT_NE(GetBusFd(I2C_BUS_1), GetBusFd(I2C_BUS_2));
    for (eBusNames Bus : {I2C_BUS_0, I2C_BUS_1, I2C_BUS_2})
    {
        cI2cDevice::DeviceExists(Bus, 0x50);
    }
    EXPECT_EQ((std::vector<std::string>{"1.0 i2c-0 R 0x50 len=1 nack",
                                        "2.0 i2c-1 R 0x50 len=1 ack " + Hex(0, 1),
                                        "3.0 i2c-2 R 0x50 len=1 nack"}),
              Log());
}

TEST_F(I2cBusTest, UnopenedBusesAreReportedSkippedAndFatalForTheirFirstDevice)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            fflush(stdout);
            dup2(2, 1);     // the reports join the assertion report
            Load("\"1\": " + Chip(), false);
            InitI2cBusses();
            int Fd1 = GetBusFd(I2C_BUS_1);
            uint8_t Byte = 0;
            if (!cI2cDevice(0x50, I2C_BUS_1, "EEPROM").Read(&Byte, 1, true))
            {
                fprintf(stderr, "bus 1 works\n");
            }
            CloseI2cBusses();
            if (fcntl(Fd1, F_GETFD) < 0)
            {
                fprintf(stderr, "bus 1 closed\n");
            }
            cI2cDevice Orphan(0x50, I2C_BUS_2, "Orphan");
        },
        "^I2C Error : Unable to open bus 0\\.  Result: -1\n"
        "I2C Error : Unable to open bus 2\\.  Result: -1\n"
        "bus 1 works\nbus 1 closed\n"
        ".*GetBusFd.*Assertion `\\(-1\\) != RetVal' failed");
}

TEST_F(I2cBusTest, BadBusNumbersAndNamesAreFatal)
{
    EXPECT_DEATH(GetBusFd(NUM_I2C_BUSSES), "GetBusFd.*Assertion `NUM_I2C_BUSSES > BusName' failed");
    EXPECT_DEATH(GetBusFd(static_cast<eBusNames>(-1)), "Assertion `NUM_I2C_BUSSES > BusName' failed");
    EXPECT_DEATH(InitI2cBus(NUM_I2C_BUSSES), "Assertion `NUM_I2C_BUSSES > BusName' failed");
    EXPECT_DEATH(cI2cDevice(0x50, NUM_I2C_BUSSES, "EEPROM"),
                 "const char\\*\\): Assertion `NUM_I2C_BUSSES > NewBusName' failed");
    EXPECT_DEATH(cI2cDevice(0x50, NUM_I2C_BUSSES, "EEPROM", false),
                 "const char\\*, bool\\): Assertion `NUM_I2C_BUSSES > NewBusName' failed");
    EXPECT_DEATH(cI2cDevice(0x50, I2C_BUS_1, nullptr), "Assertion `nullptr != NewDeviceName' failed");
}

using cI2cDeviceTest = I2cTest;

TEST_F(cI2cDeviceTest, ConstructionIsQuietAndDeferredDevicesWaitForAProbe)
{
    Capture();
    cI2cDevice Eeprom(0x50, I2C_BUS_1, "EEPROM");
    cI2cDevice Long(0x50, I2C_BUS_1, "ABCDEFGHIJKLMNOPQRST");
    cI2cDevice Deferred(0x50, I2C_BUS_1, "Deferred", false);
    EXPECT_EQ("", Output());
    EXPECT_STREQ("ABCDEFGHIJKLMNO", Long.GetName());
    EXPECT_TRUE(Eeprom.DeviceIsOk());

    uint8_t Pointer[2] = {0x00, 0x00};
    EXPECT_TRUE(Deferred.Write(Pointer, 2, true));
    EXPECT_TRUE(Log().empty());
    EXPECT_TRUE(Deferred.DeviceExists());
    EXPECT_FALSE(Deferred.Write(Pointer, 2, true));
    EXPECT_EQ((std::vector<std::string>{"1.0 i2c-1 R 0x50 len=1 ack " + Hex(0, 1),
                                        "2.0 i2c-1 W 0x50 len=2 ack 00 00"}),
              Log());
}

TEST_F(cI2cDeviceTest, FailedAddressSelectionLeavesTheDeviceDeadUntilItAnswers)
{
    LoadChip("\"slave_busy\": true");
    const std::string Busy = std::string(" creation failed with result: -1 (") + strerror(EBUSY) + ")\n";
    Capture();
    cI2cDevice Eeprom(0x50, I2C_BUS_1, "EEPROM");
    uint8_t Data[4] = {};
    EXPECT_TRUE(Eeprom.Write(Data, 2, true));
    EXPECT_TRUE(Eeprom.Write(nullptr, 4, true));   // the gate comes before the buffer test
    EXPECT_TRUE(Eeprom.Read(Data, 4, true));
    EXPECT_EQ(Tag + "EEPROM" + Busy, Output());
    EXPECT_TRUE(Log().empty());

    // Untracked reads reach the bus but leave the device dead.
    EXPECT_FALSE(Eeprom.Read(Data, 4, false));
    EXPECT_FALSE(Eeprom.DeviceIsOk());
    EXPECT_EQ(std::vector<std::string>{"1.0 i2c-1 R 0x50 len=4 ack " + Hex(0, 4)}, Log());

    // The static probe goes on after its own creation report.
    Capture();
    EXPECT_TRUE(cI2cDevice::DeviceExists(I2C_BUS_1, 0x50));
    EXPECT_FALSE(cI2cDevice::DeviceExists(I2C_BUS_1, 0x51));
    EXPECT_EQ(Tag + "AddressTest" + Busy, Output());

    EXPECT_TRUE(Eeprom.DeviceExists());
    EXPECT_TRUE(Eeprom.DeviceIsOk());
    EXPECT_FALSE(Eeprom.Write(Data, 2, true));
}

TEST_F(cI2cDeviceTest, FifteenthConsecutiveErrorDeclaresTheDeviceDead)
{
    LoadChip("\"no_ack\": true");
    cI2cDevice Eeprom(0x50, I2C_BUS_1, "EEPROM");
    uint8_t Data[2] = {};
    Capture();
    for (int Index = 0; Index < 14; Index++)
    {
        EXPECT_TRUE(Eeprom.Write(Data, 2, 0 == Index));
    }
    // A zero-length write neither counts nor ends the run of errors.
    EXPECT_FALSE(Eeprom.Write(Data, 0, true));
    EXPECT_TRUE(Eeprom.DeviceIsOk());
    EXPECT_EQ(Tag + "I2C Device EEPROM Write failed with: " + Nack + "\n", Output());
    Capture();
    EXPECT_TRUE(Eeprom.Write(Data, 2, false));
    EXPECT_EQ(DeadLine, Output());
    EXPECT_EQ(15u, Log().size());

    // Dead: writes and tracked reads fail at once, silently, off the bus;
    // untracked reads still go out.
    Capture();
    EXPECT_TRUE(Eeprom.Write(Data, 2, true));
    EXPECT_TRUE(Eeprom.Read(Data, 2, true));
    EXPECT_TRUE(Eeprom.Read(Data, 2, false));
    EXPECT_EQ("", Output());
    EXPECT_EQ(std::vector<std::string>{"16.0 i2c-1 R 0x50 len=2 nack"}, Log());
}

TEST_F(cI2cDeviceTest, SuccessResetsTheCountAndUntrackedFailuresDoNotCount)
{
    LoadChip("\"read_fail\": true");
    cI2cDevice Eeprom(0x50, I2C_BUS_1, "EEPROM");
    uint8_t Data[2] = {};
    Capture();
    EXPECT_TRUE(Eeprom.Read(Data, 1, true));
    EXPECT_EQ(Tag + "I2C Device EEPROM Read failed with: " + Nack + "\n", Output());
    Capture();
    for (int Index = 1; Index < 14; Index++)
    {
        EXPECT_TRUE(Eeprom.Read(Data, 1, true));
    }
    Output();
    EXPECT_FALSE(Eeprom.Write(Data, 2, true));
    EXPECT_TRUE(Eeprom.Read(Data, 1, false));
    EXPECT_TRUE(DiesAfter(Eeprom, 15));
}

TEST_F(cI2cDeviceTest, BufferTestsComeInTheirOrder)
{
    cI2cDevice Eeprom(0x50, I2C_BUS_1, "EEPROM");
    uint8_t Data[2] = {};
    EXPECT_FALSE(Eeprom.Write(Data, 0, true));
    EXPECT_FALSE(Eeprom.Read(nullptr, 0, true));    // length before buffer
    EXPECT_FALSE(Eeprom.ReadRegs(0x10, Data, 0, true));
    EXPECT_FALSE(Eeprom.ReadRegsWithAttempts(0x10, nullptr, 0));
    EXPECT_TRUE(Log().empty());
    EXPECT_DEATH(Eeprom.Write(nullptr, 0, true), "Write.*Assertion `nullptr != pWrBuf' failed");
    EXPECT_DEATH(Eeprom.Read(nullptr, 1, true), "Read.*Assertion `nullptr != pRdBuf' failed");
    EXPECT_DEATH(Eeprom.ReadRegs(0x10, nullptr, 0, true), "ReadRegsArbMapSize.*`nullptr != pRdBuf' failed");
    EXPECT_DEATH(Eeprom.ReadRegsWithAttempts(0x10, nullptr, 1), "ReadRegsWithAttempts.*`nullptr != pRdBuf' failed");

    // Dead: the gate comes first, except in untracked reads and in the core
    // register read.
    LoadChip("\"slave_busy\": true");
    Capture();
    cI2cDevice Dead(0x50, I2C_BUS_1, "EEPROM");
    Output();
    EXPECT_TRUE(Dead.Read(nullptr, 2, true));
    EXPECT_TRUE(Dead.ReadRegs(0x10, Data, 0, true));
    EXPECT_TRUE(Dead.ReadRegsWithAttempts(0x10, nullptr, 2));
    EXPECT_DEATH(Dead.Read(nullptr, 2, false), "Assertion `nullptr != pRdBuf' failed");
    EXPECT_DEATH(Dead.ReadRegs16(0x10, nullptr, 2, true), "Assertion `nullptr != pRdBuf' failed");
}

using RegisterTest = I2cTest;

TEST_F(RegisterTest, ReadRegs16SendsTheMapLowByteFirstInOneTransfer)
{
    cI2cDevice Eeprom(0x50, I2C_BUS_1, "EEPROM");
    uint8_t Data[4] = {};
    ASSERT_FALSE(Eeprom.ReadRegs16(0x0102, Data, sizeof(Data), true));
    EXPECT_EQ(ImageByte(0x0201), Data[0]);
    EXPECT_EQ(ImageByte(0x0204), Data[3]);

    static uint8_t Whole[4096];
    Capture();
    ASSERT_FALSE(Eeprom.ReadRegs16(0, Whole, sizeof(Whole), true));
    EXPECT_EQ("", Output());
    EXPECT_EQ((std::vector<std::string>{"1.0 i2c-1 W 0x50 len=2 ack 02 01",
                                        "1.1 i2c-1 R 0x50 len=4 ack " + Hex(0x0201, 4),
                                        "2.0 i2c-1 W 0x50 len=2 ack 00 00",
                                        "2.1 i2c-1 R 0x50 len=4096 ack " + Hex(0, 16)}),
              Log());
    unsigned Mismatches = 0;
    for (unsigned Addr = 0; Addr < sizeof(Whole); Addr++)
    {
        Mismatches += (ImageByte(Addr) != Whole[Addr]);
    }
    EXPECT_EQ(0u, Mismatches);
}

TEST_F(RegisterTest, FailedReadIsReportedCountedAndLeavesTheBuffer)
{
    LoadChip("\"no_ack\": true");
    cI2cDevice Eeprom(0x50, I2C_BUS_1, "EEPROM");
    uint8_t Data[2] = {0xEE, 0xEE};
    Capture();
    EXPECT_TRUE(Eeprom.ReadRegs(0x10, Data, sizeof(Data), true));
    EXPECT_TRUE(Eeprom.ReadRegs16(0x0010, Data, sizeof(Data), false));
    EXPECT_EQ(ReadFailed, Output());
    EXPECT_EQ((std::vector<std::string>{"1.0 i2c-1 W 0x50 len=1 nack 10", "2.0 i2c-1 W 0x50 len=2 nack 10 00"}),
              Log());
    EXPECT_EQ(0xEE, Data[0]);
    EXPECT_TRUE(DiesAfter(Eeprom, 13));
}

TEST_F(RegisterTest, FieldsAreReadAndWrittenUnderTheirMask)
{
    Poke(0x0100, 0xA5);     // register 0x01
    cI2cDevice Eeprom(0x50, I2C_BUS_1, "EEPROM");
    RwRegister_s Read = {0x01, 0x00, 0x0F};
    RwRegister_s Field = {0x01, 0x3C, 0x0F};
    RwRegister_s Whole = {0x01, 0x3C, 0xFF};
    RwRegister_s Empty = {0x01, 0x3C, 0x00};
    EXPECT_FALSE(Eeprom.ReadOneReg(&Read, true));
    EXPECT_EQ(0x05, Read.Value);
    uint8_t Pointer[2] = {0x00, 0x00};
    EXPECT_FALSE(Eeprom.Write(Pointer, 2, true));
    EXPECT_FALSE(Eeprom.WriteOneReg(&Field, true));
    EXPECT_FALSE(Eeprom.WriteOneReg(&Whole, true));
    EXPECT_FALSE(Eeprom.WriteOneReg(&Empty, true));
    EXPECT_FALSE(Eeprom.ReadOneReg(&Empty, true));
    EXPECT_EQ(0x00, Empty.Value);
    EXPECT_EQ((std::vector<std::string>{"1.0 i2c-1 W 0x50 len=1 ack 01", "1.1 i2c-1 R 0x50 len=1 ack a5",
                                        "2.0 i2c-1 W 0x50 len=2 ack 00 00",
                                        "3.0 i2c-1 W 0x50 len=1 ack 01", "3.1 i2c-1 R 0x50 len=1 ack a5",
                                        "4.0 i2c-1 W 0x50 len=2 ack 01 ac",
                                        "5.0 i2c-1 W 0x50 len=2 ack 01 3c"}),
              Log());
}

TEST_F(RegisterTest, MaskedWriteWhoseReadFailsWritesNothing)
{
    LoadChip("\"read_fail\": true");
    cI2cDevice Eeprom(0x50, I2C_BUS_1, "EEPROM");
    RwRegister_s Field = {0x10, 0x3C, 0x0F};
    Capture();
    EXPECT_TRUE(Eeprom.WriteOneReg(&Field, true));
    EXPECT_TRUE(Eeprom.WriteOneReg(&Field, false));     // only the summary goes
    EXPECT_EQ(ReadFailed + Tag + "Unable to write to register 0x10 of EEPROM.\n" + ReadFailed, Output());
    EXPECT_EQ((std::vector<std::string>{"1.0 i2c-1 W 0x50 len=1 ack 10", "1.1 i2c-1 R 0x50 len=1 nack",
                                        "2.0 i2c-1 W 0x50 len=1 ack 10", "2.1 i2c-1 R 0x50 len=1 nack"}),
              Log());
    EXPECT_TRUE(DiesAfter(Eeprom, 11));     // two updates per call
}

TEST_F(RegisterTest, RetriesMakeFiveAttemptsAndSixUpdates)
{
    LoadChip("\"no_ack\": true");
    cI2cDevice Eeprom(0x50, I2C_BUS_1, "EEPROM");
    WoRegister_s WriteOnly = {0x21, 0x3C};
    Capture();
    EXPECT_TRUE(Eeprom.WriteOneRegWithAttempts(&WriteOnly));
    EXPECT_EQ(Tag + "All attempts to write EEPROM (WORWA), Map: 0x21 failed.\n", Output());
    EXPECT_EQ(std::vector<std::string>(5, "i2c-1 W 0x50 len=2 nack 21 3c"), WithoutNumbers(Log()));
    EXPECT_TRUE(DiesAfter(Eeprom, 9));

    LoadChip("\"no_ack\": true");
    cI2cDevice Again(0x50, I2C_BUS_1, "EEPROM");
    uint8_t Data[3] = {};
    Capture();
    EXPECT_TRUE(Again.ReadRegsWithAttempts(0x22, Data, sizeof(Data)));
    EXPECT_EQ(Tag + "All attempts to read EEPROM, MAP 0x22 failed.\n", Output());
    EXPECT_EQ(std::vector<std::string>(5, "i2c-1 W 0x50 len=1 nack 22"), WithoutNumbers(Log()));
    EXPECT_TRUE(DiesAfter(Again, 9));
}

TEST_F(RegisterTest, DeathDuringARetryStopsTheTrafficButNotTheFinalUpdate)
{
    LoadChip("\"no_ack\": true");
    cI2cDevice Eeprom(0x50, I2C_BUS_1, "EEPROM");
    uint8_t Pointer[2] = {0x00, 0x00};
    for (int Index = 0; Index < 12; Index++)
    {
        Eeprom.Write(Pointer, 2, false);
    }
    Log();
    WoRegister_s WriteOnly = {0x21, 0x3C};
    Capture();
    EXPECT_TRUE(Eeprom.WriteOneRegWithAttempts(&WriteOnly));
    EXPECT_EQ(DeadLine + Tag + "All attempts to write EEPROM (WORWA), Map: 0x21 failed.\n" + DeadLine, Output());
    EXPECT_EQ(3u, Log().size());
}

TEST_F(RegisterTest, VerifiedWriteComparesOnlyTheFieldAndTriesOnceUntracked)
{
    // The masked write leaves the counter at 0x1ac: the read-back reads there.
    Poke(0x0100, 0xA5);
    Poke(0x01AC, 0x5C);
    cI2cDevice Eeprom(0x50, I2C_BUS_1, "EEPROM");
    RwRegister_s Field = {0x01, 0x3C, 0x0F};
    EXPECT_FALSE(Eeprom.WriteReadCompare(&Field, true));
    EXPECT_EQ("3.1 i2c-1 R 0x50 len=1 ack 5c", Log().back());

    LoadChip("");
    Poke(0x0100, 0xA5);
    Poke(0x01AC, 0x50);     // the field reads back wrong
    cI2cDevice Again(0x50, I2C_BUS_1, "EEPROM");
    Capture();
    EXPECT_TRUE(Again.WriteReadCompare(&Field, false));
    EXPECT_EQ("", Output());
    EXPECT_EQ((std::vector<std::string>{"1.0 i2c-1 W 0x50 len=1 ack 01", "1.1 i2c-1 R 0x50 len=1 ack a5",
                                        "2.0 i2c-1 W 0x50 len=2 ack 01 ac",
                                        "3.0 i2c-1 W 0x50 len=1 ack 01", "3.1 i2c-1 R 0x50 len=1 ack 50"}),
              Log());
}
} // namespace
