// The simulated 24xx32 EEPROM on the bus: addressing, page writes, the write
// cycle, persistence, the fault switches and the transfer log.
#include <chrono>
#include <thread>

#include <sys/wait.h>

#include "SimTest.h"

namespace
{
using cChip24c32Test = cSimTest;

// Runs Body in a forked child (another process of the same session); the
// child's failures show as its exit status.
template <typename tBody>
void InChild(tBody Body)
{
    pid_t Pid = fork();
    ASSERT_LE(0, Pid);
    if (Pid == 0)
    {
        _exit(Body() ? 0 : 1);
    }
    int Status = 0;
    ASSERT_EQ(Pid, waitpid(Pid, &Status, 0));
    EXPECT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 0) << "child failed";
}

class cChipRandomReadTest : public cSimTest, public ::testing::WithParamInterface<unsigned>
{
};

TEST_P(cChipRandomReadTest, ReturnsTheImageAcrossPageBoundaries)
{
    int Fd = Open(1);
    unsigned Addr = GetParam();
    EXPECT_EQ(PatternAt(Addr, 40), ReadAt(Fd, Addr, 40));
    // A current-address read goes on where the last read stopped.
    tBytes Next(3);
    ASSERT_EQ(1, Transfer(Fd, {Read(Next)}));
    EXPECT_EQ(PatternAt(Addr + 40, 3), Next);
}

INSTANTIATE_TEST_SUITE_P(Addresses, cChipRandomReadTest, ::testing::Values(0u, 1u, 31u, 32u, 2047u, 4064u));

TEST_F(cChip24c32Test, SequentialReadRollsOverAtTheEndOfMemory)
{
    int Fd = Open(1);
    EXPECT_EQ(PatternAt(4092, 8), ReadAt(Fd, 4092, 8));
    tBytes Whole(8192);
    tBytes Pointer = WordAddress(0);
    ASSERT_EQ(2, Transfer(Fd, {Write(Pointer), Read(Whole)}));
    EXPECT_EQ(PatternAt(0, 8192), Whole);
    // The upper four bits of the word address are not decoded.
    EXPECT_EQ(PatternAt(0x0123, 4), ReadAt(Fd, 0xF123, 4));
}

TEST_F(cChip24c32Test, PageWriteWrapsInsideItsPage)
{
    int Fd = Open(1);
    tBytes Data(PageBytes);
    for (unsigned Index = 0; Index < PageBytes; Index++)
    {
        Data[Index] = static_cast<uint8_t>(0xA0 + Index);
    }
    // Starting in the middle of page 1 (0x20..0x3F).
    ASSERT_EQ(1, WriteAt(Fd, 0x30, Data));
    tBytes Expected = PatternAt(0x1F, 1);
    Expected.insert(Expected.end(), Data.begin() + 16, Data.end());     // 0x20..0x2F
    Expected.insert(Expected.end(), Data.begin(), Data.begin() + 16);   // 0x30..0x3F
    tBytes After = PatternAt(0x40, 1);
    Expected.insert(Expected.end(), After.begin(), After.end());
    EXPECT_EQ(Expected, ReadAt(Fd, 0x1F, 34));
    // The content went to the image file.
    tBytes Image = ReadFile("chip.bin");
    ASSERT_EQ(ChipBytes, Image.size());
    EXPECT_EQ(tBytes(Expected.begin() + 1, Expected.end() - 1), tBytes(Image.begin() + 0x20, Image.begin() + 0x40));

    // More than a page: the counter wraps again and later bytes overwrite
    // earlier ones, so the last 32 bytes remain.
    tBytes Long(40);
    for (unsigned Index = 0; Index < Long.size(); Index++)
    {
        Long[Index] = static_cast<uint8_t>(Index);
    }
    ASSERT_EQ(1, WriteAt(Fd, 0x0FE0, Long));
    tBytes Last = ReadAt(Fd, 0x0FE0, PageBytes);
    ASSERT_EQ(PageBytes, Last.size());
    for (unsigned Offset = 0; Offset < PageBytes; Offset++)
    {
        unsigned Written = Offset < 8 ? Offset + 32 : Offset;
        EXPECT_EQ(Written, Last[Offset]) << "offset " << Offset;
    }
}

TEST_F(cChip24c32Test, CounterEndsAfterTheLastByteWithinThePage)
{
    int Fd = Open(1);
    ASSERT_EQ(1, WriteAt(Fd, 0x005E, {0x11, 0x22, 0x33}));
    // 0x5E, 0x5F, then wrapped to 0x40: the counter stands at 0x41.
    tBytes Next(2);
    ASSERT_EQ(1, Transfer(Fd, {Read(Next)}));
    EXPECT_EQ(PatternAt(0x41, 2), Next);
    EXPECT_EQ((tBytes{0x33, Pattern(0x41)}), ReadAt(Fd, 0x40, 2));
}

TEST_F(cChip24c32Test, ShortWritesOnlyMoveTheCounter)
{
    LoadChip("\"write_cycle_ms\": 60000");
    int Fd = Open(1);
    // Two address bytes: no write cycle, the next read answers at once.
    tBytes Pointer = WordAddress(0x0123);
    ASSERT_EQ(1, Transfer(Fd, {Write(Pointer)}));
    tBytes One(1);
    ASSERT_EQ(1, Transfer(Fd, {Read(One)}));
    EXPECT_EQ(Pattern(0x0123), One[0]);
    // One address byte is latched as the high byte; the low byte stays.
    tBytes High = {0x0A};
    ASSERT_EQ(1, Transfer(Fd, {Write(High)}));
    ASSERT_EQ(1, Transfer(Fd, {Read(One)}));
    EXPECT_EQ(Pattern(0x0A24), One[0]);
    // A zero-length write (an SMBus quick write) just finds the chip.
    tBytes None;
    EXPECT_EQ(1, Transfer(Fd, {Write(None)}));
    EXPECT_EQ(ReadFile("chip.bin"), PatternAt(0, ChipBytes));
}

TEST_F(cChip24c32Test, WriteAbortedByARepeatedStartProgramsNothing)
{
    LoadChip("\"write_cycle_ms\": 60000");
    int Fd = Open(1);
    tBytes Message = {0x00, 0x40, 0xDE, 0xAD};
    tBytes Data(2);
    ASSERT_EQ(2, Transfer(Fd, {Write(Message), Read(Data)}));
    EXPECT_EQ(PatternAt(0x42, 2), Data);
    EXPECT_EQ(PatternAt(0x40, 2), ReadAt(Fd, 0x40, 2));
    EXPECT_EQ(ReadFile("chip.bin"), PatternAt(0, ChipBytes));
}

TEST_F(cChip24c32Test, AcknowledgesNothingDuringTheWriteCycle)
{
    LoadChip("\"write_cycle_ms\": 60000");
    int Fd = Open(1);
    ASSERT_EQ(1, WriteAt(Fd, 0x0100, {0x5A}));
    // The acknowledge poll of the service, a read, a second page write.
    tBytes Poll = {0x0F, 0xFE};
    EXPECT_EQ(-1, Transfer(Fd, {Write(Poll)}));
    EXPECT_EQ(ENXIO, LastErrno);
    EXPECT_TRUE(ReadAt(Fd, 0x0100, 1).empty());
    EXPECT_EQ(ENXIO, LastErrno);
    EXPECT_EQ(-1, WriteAt(Fd, 0x0200, {0x5B}));
    // Another process of the session sees the same write cycle.
    InChild([&] { return Transfer(Fd, {Write(Poll)}) == -1 && LastErrno == ENXIO; });
    // The data itself is stored at once.
    EXPECT_EQ(0x5A, ReadFile("chip.bin")[0x0100]);
    EXPECT_EQ(Pattern(0x0200), ReadFile("chip.bin")[0x0200]);
}

TEST_F(cChip24c32Test, AcknowledgesAgainWhenTheWriteCycleEnds)
{
    LoadChip("\"write_cycle_ms\": 20");
    int Fd = Open(1);
    ASSERT_EQ(1, WriteAt(Fd, 0x0100, {0x5A, 0x5B}));
    tBytes Poll = {0x0F, 0xFE};
    auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int Polls = 0;
    while (Transfer(Fd, {Write(Poll)}) != 1 && std::chrono::steady_clock::now() < Deadline)
    {
        EXPECT_EQ(ENXIO, LastErrno);
        Polls++;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_LT(0, Polls);
    EXPECT_EQ((tBytes{0x5A, 0x5B}), ReadAt(Fd, 0x0100, 2));
}

TEST_F(cChip24c32Test, ContentOutlivesTheSessionButTheCounterDoesNot)
{
    int Fd = Open(1);
    ASSERT_EQ(1, WriteAt(Fd, 0x0300, {0x01, 0x02}));
    tBytes Pointer = WordAddress(0x0400);
    ASSERT_EQ(1, Transfer(Fd, {Write(Pointer)}));
    LoadChip("");
    Fd = Open(1);
    tBytes First(1);
    ASSERT_EQ(1, Transfer(Fd, {Read(First)}));
    EXPECT_EQ(Pattern(0), First[0]);    // the counter starts at 0 after power-up
    EXPECT_EQ((tBytes{0x01, 0x02}), ReadAt(Fd, 0x0300, 2));
}

TEST_F(cChip24c32Test, MissingImageIsCreatedBlank)
{
    LoadBuses("\"1\": [ " + Chip(0x50, "\"image\": \"blank.bin\"") + ", " + Chip(0x51, "\"write_cycle_ms\": 0") + " ]");
    tBytes Blank(ChipBytes, 0xFF);
    EXPECT_EQ(Blank, ReadFile("blank.bin"));
    int Fd = Open(1);
    EXPECT_EQ(tBytes(4, 0xFF), ReadAt(Fd, 0x0FFE, 4));
    // Without an image the content lasts for the session only.
    tBytes Page = {0x00, 0x00, 0x77};
    ASSERT_EQ(1, Transfer(Fd, {Write(Page, 0x51)}));
    tBytes Pointer = WordAddress(0);
    tBytes Data(1);
    ASSERT_EQ(2, Transfer(Fd, {Write(Pointer, 0x51), Read(Data, 0x51)}));
    EXPECT_EQ(0x77, Data[0]);
    LoadBuses("\"1\": [ " + Chip(0x51) + " ]");
    Fd = Open(1);
    ASSERT_EQ(2, Transfer(Fd, {Write(Pointer, 0x51), Read(Data, 0x51)}));
    EXPECT_EQ(0xFF, Data[0]);
}

TEST_F(cChip24c32Test, RejectsAnImageOfTheWrongSize)
{
    WriteFile("short.bin", tBytes(4095, 0));
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(-1, LoadI2c("{ \"buses\": { \"1\": [ " + Chip(0x50, "\"image\": \"short.bin\"") + " ] } }"));
    EXPECT_NE(std::string::npos, ::testing::internal::GetCapturedStderr().find("holds 4095 bytes"));
    EXPECT_EQ(-1, open("/dev/i2c-1", O_RDWR));
    EXPECT_EQ(EIO, errno);
}

using cSimFaultTest = cSimTest;

TEST_F(cSimFaultTest, NoAckChipAnswersNothingButCanBeSelected)
{
    LoadChip("\"faults\": { \"no_ack\": true }");
    int Fd = Open(1);
    EXPECT_EQ(0, ioctl(Fd, I2C_SLAVE, 0x50));
    EXPECT_TRUE(ReadAt(Fd, 0, 1).empty());
    EXPECT_EQ(ENXIO, LastErrno);
    EXPECT_EQ(-1, WriteAt(Fd, 0, {0x00}));
    EXPECT_EQ(ReadFile("chip.bin"), PatternAt(0, ChipBytes));
}

TEST_F(cSimFaultTest, SlaveBusyRefusesSelectionUnlessForced)
{
    LoadChip("\"faults\": { \"slave_busy\": true }");
    int Fd = Open(1);
    EXPECT_EQ(-1, ioctl(Fd, I2C_SLAVE, 0x50));
    EXPECT_EQ(EBUSY, errno);
    EXPECT_EQ(0, ioctl(Fd, I2C_SLAVE, 0x51));
    EXPECT_EQ(0, ioctl(Fd, I2C_SLAVE_FORCE, 0x50));
    // The chip itself still answers.
    EXPECT_EQ(PatternAt(0x10, 2), ReadAt(Fd, 0x10, 2));
}

TEST_F(cSimFaultTest, ReadFailRefusesReadsAfterTheAddressIsSet)
{
    LoadChip("\"faults\": { \"read_fail\": true }");
    int Fd = Open(1);
    tBytes Data = {0xAA, 0xAA};
    tBytes Pointer = WordAddress(0x20);
    EXPECT_EQ(-1, Transfer(Fd, {Write(Pointer), Read(Data)}));
    EXPECT_EQ(ENXIO, LastErrno);
    EXPECT_EQ((tBytes{0xAA, 0xAA}), Data);
    EXPECT_EQ(1, WriteAt(Fd, 0x20, {0x42}));
    EXPECT_EQ(0x42, ReadFile("chip.bin")[0x20]);
    std::vector<std::string> Log = LogLines();
    ASSERT_EQ(3u, Log.size());
    EXPECT_EQ("1.0 i2c-1 W 0x50 len=2 ack 00 20", Log[0]);
    EXPECT_EQ("1.1 i2c-1 R 0x50 len=2 nack", Log[1]);
    EXPECT_EQ("2.0 i2c-1 W 0x50 len=3 ack 00 20 42", Log[2]);
}

TEST_F(cSimFaultTest, PowerCutDropsDataWritesAfterTheGivenCount)
{
    LoadChip("\"faults\": { \"power_cut_after_page\": 2 }");
    int Fd = Open(1);
    ASSERT_EQ(1, WriteAt(Fd, 0x00, {0x10}));
    // Address-only writes are not data writes; a second process counts too.
    ASSERT_EQ(1, WriteAt(Fd, 0x40, {}));
    InChild([&] { return WriteAt(Fd, 0x20, {0x11}) == 1; });
    EXPECT_EQ(1, WriteAt(Fd, 0x40, {0x12}));
    EXPECT_EQ(1, WriteAt(Fd, 0x60, {0x13}));
    tBytes Image = ReadFile("chip.bin");
    EXPECT_EQ(0x10, Image[0x00]);
    EXPECT_EQ(0x11, Image[0x20]);
    EXPECT_EQ(Pattern(0x40), Image[0x40]);
    EXPECT_EQ(Pattern(0x60), Image[0x60]);
}

TEST_F(cSimFaultTest, NackTransferFailsOnlyTheNthTransferToTheDevice)
{
    LoadBuses("\"1\": [ " + Chip(0x50, "\"image\": \"chip.bin\", \"write_cycle_ms\": 0, \"faults\": { \"nack_transfer\": 3 }")
              + ", " + Chip(0x51) + " ]");
    int Fd = Open(1);
    tBytes Pointer = WordAddress(0);
    tBytes Other(1);
    EXPECT_EQ(1, Transfer(Fd, {Write(Pointer)}));                        // 1
    EXPECT_EQ(1, Transfer(Fd, {Read(Other, 0x51)}));                     // not to 0x50
    EXPECT_EQ(2, Transfer(Fd, {Write(Pointer), Read(Other)}));           // 2: counted once
    InChild([&] { return Transfer(Fd, {Write(Pointer)}) == -1; });       // 3
    EXPECT_EQ(1, Transfer(Fd, {Write(Pointer)}));                        // 4
    EXPECT_EQ("4.0 i2c-1 W 0x50 len=2 nack 00 00", LogLines().at(4));
}

using cSimLogTest = cSimTest;

TEST_F(cSimLogTest, OneLinePerMessageUpToTheFirstNack)
{
    int Fd = Open(1);
    tBytes Pointer = WordAddress(0x0FF0);
    tBytes Data(20);
    tBytes Absent(1);
    tBytes Never(1);
    ASSERT_EQ(2, Transfer(Fd, {Write(Pointer), Read(Data)}));
    EXPECT_EQ(-1, Transfer(Fd, {Write(Pointer), Read(Absent, 0x57), Read(Never)}));
    InChild([&] { return Transfer(Fd, {Read(Never, 0x23)}) == -1; });
    std::vector<std::string> Log = LogLines();
    ASSERT_EQ(5u, Log.size());
    EXPECT_EQ("1.0 i2c-1 W 0x50 len=2 ack 0f f0", Log[0]);
    char Expected[128];
    snprintf(Expected, sizeof(Expected), "1.1 i2c-1 R 0x50 len=20 ack");
    std::string Line = Expected;
    for (uint8_t Byte : PatternAt(0x0FF0, 16))
    {
        snprintf(Expected, sizeof(Expected), " %02x", Byte);
        Line += Expected;
    }
    EXPECT_EQ(Line, Log[1]);
    EXPECT_EQ("2.0 i2c-1 W 0x50 len=2 ack 0f f0", Log[2]);
    EXPECT_EQ("2.1 i2c-1 R 0x57 len=1 nack", Log[3]);
    EXPECT_EQ("3.0 i2c-1 R 0x23 len=1 nack", Log[4]);
    // read() and write() on the descriptor are transfers as well.
    ASSERT_EQ(0, ioctl(Fd, I2C_SLAVE, 0x50));
    EXPECT_EQ(0, write(Fd, "", 0));
    EXPECT_EQ("4.0 i2c-1 W 0x50 len=0 ack", LogLines().at(5));
}
}
