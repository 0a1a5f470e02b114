// The i2c-dev interface of the simulated buses: which paths open, the
// ioctls with the kernel's checks and results, SMBus calls as the kernel
// builds them, read/write, descriptors across dup and fork, and staying out
// of the way of everything else.
#include <sys/stat.h>
#include <sys/wait.h>

#include "SimTest.h"

extern "C" int __open_2(const char* pPath, int Flags);

namespace
{
using cI2cDevOpenTest = cSimTest;

TEST_F(cI2cDevOpenTest, OpensTheBusesOfTheDescriptionOnly)
{
    int Fd = open("/dev/i2c-1", O_RDWR | O_CLOEXEC);
    ASSERT_LE(0, Fd);
    EXPECT_EQ(FD_CLOEXEC, fcntl(Fd, F_GETFD));
    close(Fd);
    Fd = openat(AT_FDCWD, "/dev/i2c-0", O_RDONLY);
    EXPECT_LE(0, Fd);
    close(Fd);
    Fd = __open_2("/dev/i2c-1", O_RDWR);
    EXPECT_LE(0, Fd);
    close(Fd);
    // A bus the unit lacks is like a missing node; so is a path that only
    // looks like one.
    for (const char* pPath : {"/dev/i2c-2", "/dev/i2c-01", "/dev/i2c-1x"})
    {
        EXPECT_EQ(-1, open(pPath, O_RDWR)) << pPath;
        EXPECT_EQ(ENOENT, errno) << pPath;
    }
    EXPECT_EQ(-1, open("/dev/i2c-1", O_RDWR | O_CREAT | O_EXCL, 0600));
    EXPECT_EQ(EEXIST, errno);
}

TEST_F(cI2cDevOpenTest, WithoutAnI2cSectionNothingIsEmulated)
{
    std::string Description = "{ \"eth0\": null }";
    WriteFile("plain.json", tBytes(Description.begin(), Description.end()));
    ASSERT_EQ(0, unitsim_i2c_load((Dir + "/plain.json").c_str()));
    struct stat Info;
    bool HostHasBus = stat("/dev/i2c-1", &Info) == 0;
    int Fd = open("/dev/i2c-1", O_RDWR);
    EXPECT_EQ(HostHasBus, Fd >= 0);
    if (Fd >= 0)
    {
        close(Fd);
    }
}

class cI2cDevRejectTest : public cSimTest, public ::testing::WithParamInterface<std::pair<const char*, const char*>>
{
};

TEST_P(cI2cDevRejectTest, ReportsAMalformedSectionOnOneLine)
{
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(-1, LoadI2c(GetParam().first));
    std::string Error = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(0u, Error.find("unitsim-i2c: Error: ")) << Error;
    EXPECT_NE(std::string::npos, Error.find(GetParam().second)) << Error;
    EXPECT_EQ(Error.size() - 1, Error.find('\n')) << Error;
    // Until a good description loads, bus opens fail.
    EXPECT_EQ(-1, open("/dev/i2c-1", O_RDWR));
    EXPECT_EQ(EIO, errno);
}

INSTANTIATE_TEST_SUITE_P(
    Descriptions, cI2cDevRejectTest,
    ::testing::Values(
        std::make_pair("[]", "i2c: must be an object"),
        std::make_pair("{ \"bus\": {} }", "unknown key \"bus\""),
        std::make_pair("{ \"buses\": { \"01\": [] } }", "i2c.buses.\"01\""),
        std::make_pair("{ \"buses\": { \"1\": {} } }", "must be a list"),
        std::make_pair("{ \"buses\": { \"1\": [ { \"model\": \"24c64\", \"address\": 80 } ] } }", "unsupported model"),
        std::make_pair("{ \"buses\": { \"1\": [ { \"model\": \"24c32\", \"address\": \"0x80\" } ] } }",
                       "i2c.buses.\"1\"[0].address: 128 is outside 0..127"),
        std::make_pair("{ \"buses\": { \"1\": [ { \"model\": \"24c32\", \"address\": \"fifty\" } ] } }", "not a number"),
        std::make_pair("{ \"buses\": { \"1\": [ { \"model\": \"24c32\", \"address\": 80 }, "
                       "{ \"model\": \"24c32\", \"address\": \"0x50\" } ] } }",
                       "two devices at one address"),
        std::make_pair("{ \"buses\": { \"1\": [ { \"model\": \"24c32\", \"address\": 80, \"write_cycle_ms\": -1 } ] } }",
                       "write_cycle_ms"),
        std::make_pair("{ \"buses\": { \"1\": [ { \"model\": \"24c32\", \"address\": 80, "
                       "\"faults\": { \"no_ak\": true } } ] } }",
                       "unknown key \"no_ak\""),
        std::make_pair("{ \"buses\": { \"1\": [ { \"model\": \"24c32\", \"address\": 80, "
                       "\"faults\": { \"nack_transfer\": \"7\" } } ] } }",
                       "faults.nack_transfer: must be an integer"),
        std::make_pair("{ \"buses\": { \"1\": [] }, }", "unit.json:1:")));

using cI2cDevIoctlTest = cSimTest;

TEST_F(cI2cDevIoctlTest, RdwrEnforcesTheKernelLimits)
{
    int Fd = Open(1);
    tBytes Pointer = WordAddress(0);
    std::vector<tBytes> Buffers(43, tBytes(1));
    std::vector<i2c_msg> Msgs;
    for (tBytes& Buffer : Buffers)
    {
        Msgs.push_back(Read(Buffer));
    }
    EXPECT_EQ(-1, Transfer(Fd, Msgs));
    EXPECT_EQ(EINVAL, LastErrno);
    Msgs.pop_back();
    EXPECT_EQ(42, Transfer(Fd, Msgs));
    for (unsigned Index = 0; Index < 42; Index++)
    {
        EXPECT_EQ(Pattern(Index), Buffers[Index][0]) << "message " << Index;
    }

    tBytes Largest(8192);
    tBytes TooLarge(8193);
    EXPECT_EQ(2, Transfer(Fd, {Write(Pointer), Read(Largest)}));
    EXPECT_EQ(-1, Transfer(Fd, {Write(Pointer), Read(TooLarge)}));
    EXPECT_EQ(EINVAL, LastErrno);
    EXPECT_EQ(-1, Transfer(Fd, {}));
    EXPECT_EQ(EINVAL, LastErrno);
    EXPECT_EQ(-1, ioctl(Fd, I2C_RDWR, nullptr));
    EXPECT_EQ(EFAULT, errno);
    // Refused transfers never reach the bus.
    EXPECT_EQ(44u, LogLines().size());
}

TEST_F(cI2cDevIoctlTest, ReadDataReachesTheCallerOnlyWhenAllMessagesSucceed)
{
    int Fd = Open(1);
    tBytes Pointer = WordAddress(0x10);
    tBytes Data(4, 0xAA);
    tBytes Absent(1, 0xAA);
    EXPECT_EQ(-1, Transfer(Fd, {Write(Pointer), Read(Data), Read(Absent, 0x51)}));
    EXPECT_EQ(ENXIO, LastErrno);
    EXPECT_EQ(tBytes(4, 0xAA), Data);
    EXPECT_EQ(tBytes(1, 0xAA), Absent);
    // The chip did send them: its counter moved on.
    tBytes Next(1);
    ASSERT_EQ(1, Transfer(Fd, {Read(Next)}));
    EXPECT_EQ(Pattern(0x14), Next[0]);
    // Two reads into one buffer: the first message's data ends up there.
    tBytes Shared(2);
    std::vector<i2c_msg> Msgs = {Write(Pointer), Read(Shared), Read(Shared)};
    ASSERT_EQ(3, Transfer(Fd, Msgs));
    EXPECT_EQ(PatternAt(0x10, 2), Shared);
}

TEST_F(cI2cDevIoctlTest, SlaveAddressIsCheckedAndKeptPerOpenFile)
{
    int Fd = Open(1);
    int Other = Open(1);
    EXPECT_EQ(-1, ioctl(Fd, I2C_SLAVE, 0x80));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(0, ioctl(Fd, I2C_TENBIT, 1));
    EXPECT_EQ(0, ioctl(Fd, I2C_SLAVE, 0x3ff));
    EXPECT_EQ(-1, ioctl(Fd, I2C_SLAVE_FORCE, 0x400));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(0, ioctl(Fd, I2C_TENBIT, 0));
    EXPECT_EQ(0, ioctl(Fd, I2C_SLAVE, 0x50));
    uint8_t Byte;
    EXPECT_EQ(1, read(Fd, &Byte, 1));
    // A second open of the bus starts at address 0, where nobody answers.
    EXPECT_EQ(-1, read(Other, &Byte, 1));
    EXPECT_EQ(ENXIO, errno);
    unsigned long Funcs = 0;
    EXPECT_EQ(0, ioctl(Fd, I2C_FUNCS, &Funcs));
    unsigned long Needed = I2C_FUNC_I2C | I2C_FUNC_SMBUS_QUICK | I2C_FUNC_SMBUS_BYTE | I2C_FUNC_SMBUS_BYTE_DATA
                         | I2C_FUNC_SMBUS_WORD_DATA | I2C_FUNC_SMBUS_I2C_BLOCK;
    EXPECT_EQ(Needed, Funcs & Needed);
    EXPECT_EQ(0u, Funcs & I2C_FUNC_10BIT_ADDR);
    EXPECT_EQ(-1, ioctl(Fd, I2C_FUNCS, nullptr));
    EXPECT_EQ(EFAULT, errno);
    EXPECT_EQ(-1, ioctl(Fd, 0x5401 /* TCGETS */, &Funcs));
    EXPECT_EQ(ENOTTY, errno);
}

// One SMBus call through the ioctl, as libi2c makes it.
int Smbus(int Fd, uint8_t ReadWrite, uint8_t Command, uint32_t Size, i2c_smbus_data* pData)
{
    i2c_smbus_ioctl_data Args = {ReadWrite, Command, Size, pData};
    return ioctl(Fd, I2C_SMBUS, &Args);
}

TEST_F(cI2cDevIoctlTest, SmbusCallsBecomeTheKernelsMessages)
{
    int Fd = Open(1);
    ASSERT_EQ(0, ioctl(Fd, I2C_SLAVE, 0x50));
    i2c_smbus_data Data = {};
    EXPECT_EQ(0, Smbus(Fd, I2C_SMBUS_WRITE, 0, I2C_SMBUS_QUICK, nullptr));
    EXPECT_EQ(0, Smbus(Fd, I2C_SMBUS_WRITE, 0x01, I2C_SMBUS_BYTE, nullptr));
    EXPECT_EQ(0, Smbus(Fd, I2C_SMBUS_READ, 0, I2C_SMBUS_BYTE, &Data));
    EXPECT_EQ(Pattern(0x0100), Data.byte);
    EXPECT_EQ(0, Smbus(Fd, I2C_SMBUS_READ, 0x02, I2C_SMBUS_BYTE_DATA, &Data));
    EXPECT_EQ(Pattern(0x0201), Data.byte);
    EXPECT_EQ(0, Smbus(Fd, I2C_SMBUS_READ, 0x02, I2C_SMBUS_WORD_DATA, &Data));
    EXPECT_EQ(Pattern(0x0202) | Pattern(0x0203) << 8, Data.word);
    Data.block[0] = 32;
    EXPECT_EQ(0, Smbus(Fd, I2C_SMBUS_READ, 0x03, I2C_SMBUS_I2C_BLOCK_DATA, &Data));
    EXPECT_EQ(PatternAt(0x0304, 32), tBytes(Data.block + 1, Data.block + 33));
    Data.word = 0x3456;
    EXPECT_EQ(0, Smbus(Fd, I2C_SMBUS_WRITE, 0x12, I2C_SMBUS_WORD_DATA, &Data));
    Data.block[0] = 2;
    Data.block[1] = 0x20;
    Data.block[2] = 0x99;
    EXPECT_EQ(0, Smbus(Fd, I2C_SMBUS_WRITE, 0x00, I2C_SMBUS_I2C_BLOCK_DATA, &Data));
    Data.block[0] = 33;
    EXPECT_EQ(-1, Smbus(Fd, I2C_SMBUS_WRITE, 0x00, I2C_SMBUS_I2C_BLOCK_DATA, &Data));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(-1, Smbus(Fd, I2C_SMBUS_READ, 0x00, I2C_SMBUS_BYTE_DATA, nullptr));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(-1, Smbus(Fd, I2C_SMBUS_READ, 0x00, 9, &Data));
    EXPECT_EQ(EINVAL, errno);

    std::vector<std::string> Log = LogLines();
    ASSERT_EQ(11u, Log.size());
    EXPECT_EQ("1.0 i2c-1 W 0x50 len=0 ack", Log[0]);
    EXPECT_EQ("2.0 i2c-1 W 0x50 len=1 ack 01", Log[1]);
    EXPECT_EQ(0u, Log[2].find("3.0 i2c-1 R 0x50 len=1 ack "));
    EXPECT_EQ("4.0 i2c-1 W 0x50 len=1 ack 02", Log[3]);
    EXPECT_EQ(0u, Log[4].find("4.1 i2c-1 R 0x50 len=1 ack "));
    EXPECT_EQ(0u, Log[6].find("5.1 i2c-1 R 0x50 len=2 ack "));
    EXPECT_EQ(0u, Log[8].find("6.1 i2c-1 R 0x50 len=32 ack "));
    EXPECT_EQ("7.0 i2c-1 W 0x50 len=3 ack 12 56 34", Log[9]);
    EXPECT_EQ("8.0 i2c-1 W 0x50 len=3 ack 00 20 99", Log[10]);
    EXPECT_EQ(0x99, ReadFile("chip.bin")[0x0020]);
}

TEST_F(cI2cDevIoctlTest, SmbusBlockReadTakesItsLengthFromTheChip)
{
    int Fd = Open(1);
    ASSERT_EQ(1, WriteAt(Fd, 0x0100, {0x04, 0x11, 0x22, 0x33, 0x44}));
    ASSERT_EQ(1, WriteAt(Fd, 0x0200, {0x00}));
    ASSERT_EQ(1, WriteAt(Fd, 0x0300, {0x21}));
    ASSERT_EQ(0, ioctl(Fd, I2C_SLAVE, 0x50));
    i2c_smbus_data Data = {};
    // The command byte becomes the high address byte; the low byte is the
    // counter's, set to 0 first. Counts of 0 and 33 are refused.
    tBytes Zero = WordAddress(0);
    ASSERT_EQ(1, Transfer(Fd, {Write(Zero)}));
    EXPECT_EQ(0, Smbus(Fd, I2C_SMBUS_READ, 0x01, I2C_SMBUS_BLOCK_DATA, &Data));
    EXPECT_EQ((tBytes{0x04, 0x11, 0x22, 0x33, 0x44}), tBytes(Data.block, Data.block + 5));
    for (uint8_t High : {0x02, 0x03})
    {
        ASSERT_EQ(1, Transfer(Fd, {Write(Zero)}));
        EXPECT_EQ(-1, Smbus(Fd, I2C_SMBUS_READ, High, I2C_SMBUS_BLOCK_DATA, &Data));
        EXPECT_EQ(EPROTO, errno);
    }
    // I2C_RDWR with I2C_M_RECV_LEN: room for the prefilled count plus 32.
    tBytes Pointer = WordAddress(0x0100);
    tBytes Block(33);
    Block[0] = 1;
    i2c_msg Recv = {0x50, I2C_M_RD | I2C_M_RECV_LEN, 33, Block.data()};
    ASSERT_EQ(2, Transfer(Fd, {Write(Pointer), Recv}));
    EXPECT_EQ((tBytes{0x04, 0x11, 0x22, 0x33, 0x44}), tBytes(Block.begin(), Block.begin() + 5));
    Recv.len = 32;
    EXPECT_EQ(-1, Transfer(Fd, {Write(Pointer), Recv}));
    EXPECT_EQ(EINVAL, LastErrno);
}

TEST_F(cI2cDevIoctlTest, PecIsAppendedToWritesAndCheckedOnReads)
{
    int Fd = Open(1);
    ASSERT_EQ(0, ioctl(Fd, I2C_SLAVE, 0x50));
    ASSERT_EQ(0, ioctl(Fd, I2C_PEC, 1));
    i2c_smbus_data Data = {};
    Data.byte = 0x10;
    ASSERT_EQ(0, Smbus(Fd, I2C_SMBUS_WRITE, 0x00, I2C_SMBUS_BYTE_DATA, &Data));
    // CRC-8 of a0 00 10; the EEPROM stores it as data.
    EXPECT_EQ("1.0 i2c-1 W 0x50 len=3 ack 00 10 38", LogLines().at(0));
    // The chip sends no PEC, so the byte after the data rarely matches.
    ASSERT_EQ(1, WriteAt(Fd, 0x0000, {0x12, 0x34}));
    EXPECT_EQ(-1, Smbus(Fd, I2C_SMBUS_READ, 0x00, I2C_SMBUS_BYTE, &Data));
    EXPECT_EQ(EBADMSG, errno);
}

using cI2cDevFileTest = cSimTest;

TEST_F(cI2cDevFileTest, ReadAndWriteAreSingleMessagesToTheSelectedAddress)
{
    int Fd = Open(1);
    uint8_t Pointer[2] = {0x00, 0x10};
    EXPECT_EQ(-1, write(Fd, Pointer, 2));
    EXPECT_EQ(ENXIO, errno);
    ASSERT_EQ(0, ioctl(Fd, I2C_SLAVE, 0x50));
    EXPECT_EQ(2, write(Fd, Pointer, 2));
    tBytes Data(10000);
    EXPECT_EQ(8192, read(Fd, Data.data(), Data.size()));
    EXPECT_EQ(PatternAt(0x10, 8192), tBytes(Data.begin(), Data.begin() + 8192));
    EXPECT_EQ("3.0 i2c-1 R 0x50 len=8192 ack", LogLines().at(2).substr(0, 29));

    int ReadOnly = Open(1, O_RDONLY);
    int WriteOnly = Open(1, O_WRONLY);
    EXPECT_EQ(-1, write(ReadOnly, Pointer, 2));
    EXPECT_EQ(EBADF, errno);
    EXPECT_EQ(-1, read(WriteOnly, Data.data(), 1));
    EXPECT_EQ(EBADF, errno);
    // ioctls work whatever the access mode.
    EXPECT_EQ(0, ioctl(ReadOnly, I2C_SLAVE, 0x50));
    EXPECT_EQ(PatternAt(0, 2), ReadAt(WriteOnly, 0, 2));
}

TEST_F(cI2cDevFileTest, DupAndForkShareTheOpenFile)
{
    int Fd = Open(1);
    ASSERT_EQ(0, ioctl(Fd, I2C_SLAVE, 0x50));
    int Copy = dup(Fd);
    ASSERT_LE(0, Copy);
    Fds.push_back(Copy);
    int High = dup2(Fd, 200);
    ASSERT_EQ(200, High);
    Fds.push_back(High);
    uint8_t Pointer[2] = {0x00, 0x20};
    EXPECT_EQ(2, write(Copy, Pointer, 2));
    uint8_t Byte = 0;
    EXPECT_EQ(1, read(High, &Byte, 1));
    EXPECT_EQ(Pattern(0x20), Byte);

    // The child selects another address on the inherited descriptor; the
    // parent's descriptor, the same open file, follows.
    pid_t Pid = fork();
    ASSERT_LE(0, Pid);
    if (Pid == 0)
    {
        uint8_t Child = 0;
        bool Ok = read(Fd, &Child, 1) == 1 && Child == Pattern(0x21) && ioctl(Fd, I2C_SLAVE, 0x51) == 0;
        _exit(Ok ? 0 : 1);
    }
    int Status = 0;
    ASSERT_EQ(Pid, waitpid(Pid, &Status, 0));
    ASSERT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 0);
    EXPECT_EQ(-1, read(Copy, &Byte, 1));
    EXPECT_EQ(ENXIO, errno);
}

TEST_F(cI2cDevFileTest, ReusedNumbersAndOtherDescriptorsPassThrough)
{
    int Fd = Open(1);
    // dup2 over an emulated descriptor closes it without close().
    std::string Text = "plain file";
    WriteFile("plain.txt", tBytes(Text.begin(), Text.end()));
    int Plain = open((Dir + "/plain.txt").c_str(), O_RDONLY);
    ASSERT_LE(0, Plain);
    ASSERT_EQ(Fd, dup2(Plain, Fd));
    close(Plain);
    char Buffer[32] = {};
    EXPECT_EQ(static_cast<ssize_t>(Text.size()), read(Fd, Buffer, sizeof(Buffer)));
    EXPECT_EQ(Text, Buffer);
    EXPECT_EQ(-1, ioctl(Fd, I2C_SLAVE, 0x50));
    EXPECT_EQ(ENOTTY, errno);

    // Errors of unrelated calls are the C library's own.
    EXPECT_EQ(-1, read(-1, Buffer, 1));
    EXPECT_EQ(EBADF, errno);
    EXPECT_EQ(-1, close(12345));
    EXPECT_EQ(EBADF, errno);
    EXPECT_EQ(-1, open((Dir + "/none").c_str(), O_RDONLY));
    EXPECT_EQ(ENOENT, errno);
}

TEST_F(cI2cDevFileTest, ReloadEndsTheOldDescriptors)
{
    int Fd = Open(1);
    ASSERT_EQ(0, ioctl(Fd, I2C_SLAVE, 0x50));
    LoadChip("");
    EXPECT_EQ(-1, ioctl(Fd, I2C_SLAVE, 0x50));
    EXPECT_EQ(EBADF, errno);
    uint8_t Byte;
    EXPECT_EQ(-1, read(Fd, &Byte, 1));
    EXPECT_EQ(EBADF, errno);
    int Fresh = Open(1);
    EXPECT_EQ(0, ioctl(Fresh, I2C_SLAVE, 0x50));
}
}
