// The i2c-dev interface of the simulated buses: which paths open, the unit description's checks, the
// kernel's limits and results, descriptors across dup, fork and reloads. The 24xx32 model, its faults,
// the log and SMBus calls are seen through i2c-tools in tests/e2e/test_i2c_tools.py.
#include <sys/wait.h>

#include "SimTest.h"

extern "C" int __open_2(const char* pPath, int Flags);

namespace
{
using cSimI2cDevTest = cSimTest;

TEST_F(cSimI2cDevTest, OnlyTheBusesOfTheDescriptionOpen)
{
    int Fd = open("/dev/i2c-1", O_RDWR | O_CLOEXEC);
    EXPECT_EQ(FD_CLOEXEC, fcntl(Fd, F_GETFD));
    for (int Other : {Fd, openat(AT_FDCWD, "/dev/i2c-0", O_RDONLY), __open_2("/dev/i2c-2", O_RDWR)})
    {
        EXPECT_EQ(0, close(Other));
    }
    for (const char* pPath : {"/dev/i2c-3", "/dev/i2c-01", "/dev/i2c-1x"})
    {
        EXPECT_EQ(-1, open(pPath, O_RDWR)) << pPath;
        EXPECT_EQ(ENOENT, errno) << pPath;
    }
    EXPECT_EQ(-1, open("/dev/i2c-1", O_RDWR | O_CREAT | O_EXCL, 0600));
    EXPECT_EQ(EEXIST, errno);
    // Without an "i2c" section the host's file system answers.
    WriteFile("plain.json", {'{', '}'});
    ASSERT_EQ(0, unitsim_i2c_load((Dir + "/plain.json").c_str()));
    EXPECT_EQ(0 == access("/dev/i2c-1", F_OK), 0 == close(open("/dev/i2c-1", O_RDWR)));
}

class cSimRejectTest : public cSimTest, public ::testing::WithParamInterface<std::pair<const char*, const char*>>
{
};

TEST_P(cSimRejectTest, MalformedSectionsAreReportedOnOneLineAndFailEveryOpen)
{
    WriteFile("short.bin", tBytes(4095));
    std::string Text = GetParam().first;
    if (Text[0] == ',')
    {
        Text = "{ \"buses\": { \"1\": [ { \"model\": \"24c32\"" + Text + " } ] } }";
    }
    if (Text[0] == '\n')
    {
        WriteFile("unit.json", tBytes(Text.begin(), Text.end()));
    }
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(-1, Text[0] == '\n' ? unitsim_i2c_load((Dir + "/unit.json").c_str()) : LoadI2c(Text));
    std::string Error = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(0u, Error.find("unitsim-i2c: Error: ")) << Error;
    EXPECT_NE(std::string::npos, Error.find(GetParam().second)) << Error;
    EXPECT_EQ(Error.size() - 1, Error.find('\n')) << Error;
    EXPECT_EQ(-1, open("/dev/i2c-1", O_RDWR));
    EXPECT_EQ(EIO, errno);
}

// A text starting with ',' holds the keys of a 24c32 on bus 1 after its model; one starting with a line
// break is a whole description (its first line is empty).
const std::vector<std::pair<const char*, const char*>> Malformed = {
    {"[]", "i2c: must be an object"}, {"{ \"bus\": {} }", "unknown key \"bus\""}, {"{ , }", "unit.json:1:"},
    {"{ \"buses\": [] }", "object"}, {"{ \"buses\": { \"01\": [] } }", "i2c.buses.\"01\""},
    {"{ \"buses\": { \"1\": {} } }", "must be a list"},
    {"{ \"buses\": { \"1\": [ { \"model\": \"24c64\", \"address\": 80 } ] } }", "unsupported model"},
    {", \"address\": \"0x80\"", "i2c.buses.\"1\"[0].address: 128 is outside 0..127"},
    {", \"address\": \"fifty\"", "not a number"}, {", \"address\": 80, \"write_cycle_ms\": -1", "write_cycle_ms"},
    {", \"address\": 80 }, { \"model\": \"24c32\", \"address\": \"0x50\"", "two devices at one"},
    {", \"address\": 80, \"image\": \"short.bin\"", "holds 4095 bytes"},
    {", \"address\": 80, \"faults\": { \"no_ak\": true }", "unknown key \"no_ak\""},
    {", \"address\": 80, \"faults\": { \"nack_transfer\": \"7\" }", "must be an integer"},
    {", \"address\": 80, \"faults\": { \"long_read_fail\": 1 }", "faults.long_read_fail: must be true or false"},
    {", \"address\": 80, \"faults\": { \"busy_at_start_ms\": 60001 }", "busy_at_start_ms: must be between"},
    {", \"address\": 80, \"faults\": { \"torn_page_bytes\": 8 }", "torn_page_bytes: needs \"power_cut_after_page\""},
    {", \"address\": 80, \"faults\": { \"power_cut_after_page\": 1, \"torn_page_bytes\": 32 }", "32 is outside 1..31"},
    {"\n\n[]", "unit.json:3: the unit description must be a JSON object"},
    {"\n{ \"eth0\": null,\n  \"eht0\": {} }", "unit.json:3: unknown key \"eht0\""},
    {"\n{ \"eth0\":\n  {\n  } }", "unit.json:3: eth0.mac: missing"},
    {"\n{ \"eth0\": { \"mac\": \"02:00:00:00:00:01\",\n  \"ipv4\": \"10.0.0.1/33\" } }", "unit.json:3: eth0.ipv4"},
    {"\n{ \"eth0\": { \"mac\": \"03:00:00:00:00:01\" } }", "unit.json:2: eth0.mac: not the unicast MAC"},
    {"\n{ \"zel_sysapp\": [ { \"path\": \"a/b\", \"content\": \"\" },\n  { \"path\": \"a/../b\" } ] }", "3: zel_sysapp[1].path"},
    {"\n{ \"zel_sysapp\": [ { \"path\": \"a\", \"content\": \"x\", \"source\": \"y\" } ] }", "needs either"},
    {R"(
{ "zel_sysapp": [ { "path": "a", "content": "}]\"\\\n{[" } ], "i2c": { "log": "x,]}",
  "buses": { "0": [], "1": [ { "model": "24c32", "address": 80 }, {
  "model": "24c64" } ] } } })", "unit.json:4: i2c.buses.\"1\"[1].model: unsupported"}};
INSTANTIATE_TEST_SUITE_P(Descriptions, cSimRejectTest, ::testing::ValuesIn(Malformed));

TEST_F(cSimI2cDevTest, RequestsOutsideTheKernelsLimitsNeverReachTheBus)
{
    int Fd = Open(1);
    tBytes One(1), Pointer = Word(0), Largest(8192), TooLarge(8193), Block(33, 1);
    std::vector<i2c_msg> Msgs(43, Rd(One));
    EXPECT_EQ(-1, Transfer(Fd, Msgs));
    EXPECT_EQ(EINVAL, errno);
    Msgs.pop_back();
    EXPECT_EQ(42, Transfer(Fd, Msgs));
    EXPECT_EQ("1.41 i2c-1 R 0x50 len=1 ack 22", Log().back());    // byte 41 of the image
    EXPECT_EQ(2, Transfer(Fd, {Wr(Pointer), Rd(Largest)}));
    EXPECT_EQ(PatternAt(0, 8192), Largest);     // rolling over at 4095, twice
    // A read whose length comes from the chip needs room for the prefilled count and 32 bytes.
    i2c_msg Recv = {0x50, I2C_M_RD | I2C_M_RECV_LEN, 32, Block.data()};
    for (const std::vector<i2c_msg>& Refused : {std::vector<i2c_msg>{Wr(Pointer), Rd(TooLarge)}, {Recv}, {}})
    {
        EXPECT_EQ(-1, Transfer(Fd, Refused));
        EXPECT_EQ(EINVAL, errno);
    }
    Recv.len = 33;
    EXPECT_EQ(2, Transfer(Fd, {Wr(Pointer), Recv}));
    EXPECT_EQ(PatternAt(0, 4), tBytes(Block.begin(), Block.begin() + 4));  // the count, 3, and 3 bytes
    EXPECT_EQ(-1, ioctl(Fd, I2C_RDWR, nullptr));
    EXPECT_EQ(EFAULT, errno);
    i2c_smbus_ioctl_data NoData = {I2C_SMBUS_READ, 0, I2C_SMBUS_BYTE_DATA, nullptr};
    EXPECT_EQ(-1, ioctl(Fd, I2C_SMBUS, &NoData));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(46u, Log().size());
}

TEST_F(cSimI2cDevTest, ReadDataIsCopiedOnlyWhenTheWholeTransferSucceeds)
{
    int Fd = Open(1);
    tBytes Pointer = Word(0x10), Data(4, 0xAA), Absent(1, 0xAA), Next(1), Shared(2);
    EXPECT_EQ(-1, Transfer(Fd, {Wr(Pointer), Rd(Data), Rd(Absent, 0x51)}));
    EXPECT_EQ(ENXIO, errno);
    EXPECT_EQ(tBytes(4, 0xAA), Data);
    ASSERT_EQ(1, Transfer(Fd, {Rd(Next)}));
    EXPECT_EQ(Pattern(0x14), Next[0]);  // the chip did send them
    // Copied in reverse message order: the first read's data ends up in a shared buffer.
    ASSERT_EQ(3, Transfer(Fd, {Wr(Pointer), Rd(Shared), Rd(Shared)}));
    EXPECT_EQ(PatternAt(0x10, 2), Shared);
}

// A chip restarted in the middle of a page write is busy from the first transfer on; an adapter that
// cannot read more than a byte refuses longer reads (EOPNOTSUPP) before they reach the bus.
TEST_F(cSimI2cDevTest, ChipBusyAtStartAndLongReadsRefused)
{
    LoadChip("\"busy_at_start_ms\": 60000, \"long_read_fail\": true");
    int Fd = Open(1);
    tBytes Pointer = Word(0x10), One(1), Two(2);
    EXPECT_EQ(-1, Transfer(Fd, {Wr(Pointer), Rd(One)}));
    EXPECT_EQ(ENXIO, errno);
    EXPECT_EQ(-1, Transfer(Fd, {Rd(One)}));
    EXPECT_EQ(ENXIO, errno);
    LoadChip("\"long_read_fail\": true");
    EXPECT_EQ(2, Transfer(Open(1), {Wr(Pointer), Rd(One)}));
    EXPECT_EQ(PatternAt(0x10, 1), One);
    EXPECT_EQ(-1, Transfer(Fds.back(), {Wr(Pointer), Rd(Two)}));
    EXPECT_EQ(EOPNOTSUPP, errno);
    EXPECT_EQ(2u, Log().size()) << "a refused read is not a transfer";
}

TEST_F(cSimI2cDevTest, ReadAndWriteGoToTheAddressSelectedOnTheOpenFile)
{
    int Fd = Open(1), ReadOnly = Open(1, O_RDONLY), WriteOnly = Open(1, O_WRONLY);
    EXPECT_EQ(-1, ioctl(Fd, I2C_SLAVE, 0x80));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(0, ioctl(Fd, I2C_TENBIT, 1) + ioctl(Fd, I2C_SLAVE, 0x3ff));
    EXPECT_EQ(-1, ioctl(Fd, I2C_SLAVE_FORCE, 0x400));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(0, ioctl(Fd, I2C_TENBIT, 0) + ioctl(Fd, I2C_SLAVE, 0x50) + ioctl(ReadOnly, I2C_SLAVE, 0x50));
    // A page written at the end of memory rolls over inside the page.
    tBytes Page(34, 0x5A), Data(10000);
    Page[0] = 0x0F;
    Page[1] = 0xF0;
    EXPECT_EQ(34, write(Fd, Page.data(), Page.size()));
    EXPECT_EQ(2, write(Fd, Word(0x0FE0).data(), 2));
    EXPECT_EQ(8192, read(Fd, Data.data(), Data.size()));    // one message of at most 8192 bytes
    EXPECT_EQ(tBytes(32, 0x5A), tBytes(Data.begin(), Data.begin() + 32));
    EXPECT_EQ(PatternAt(0, 4064), tBytes(Data.begin() + 32, Data.begin() + 4096));
    EXPECT_EQ(-1, write(WriteOnly, Page.data(), 2));   // a new open starts at address 0
    EXPECT_EQ(ENXIO, errno);
    EXPECT_EQ(-1, write(ReadOnly, Page.data(), 2));
    EXPECT_EQ(EBADF, errno);
    EXPECT_EQ(-1, read(WriteOnly, Data.data(), 1));
    EXPECT_EQ(EBADF, errno);
    EXPECT_EQ(-1, ioctl(Fd, I2C_FUNCS, nullptr));
    EXPECT_EQ(EFAULT, errno);
    EXPECT_EQ(-1, ioctl(Fd, 0x5401 /* TCGETS */, Data.data()));
    EXPECT_EQ(ENOTTY, errno);
}

TEST_F(cSimI2cDevTest, DupAndForkShareTheOpenFile)
{
    int Fd = Open(1), Copy = dup(Fd);
    ASSERT_EQ(0, ioctl(Fd, I2C_SLAVE, 0x50));
    ASSERT_EQ(200, dup2(Fd, 200));
    Fds.insert(Fds.end(), {Copy, 200});
    uint8_t Byte = 0;
    EXPECT_EQ(2, write(Copy, Word(0x20).data(), 2));
    EXPECT_EQ(1, read(200, &Byte, 1));
    EXPECT_EQ(Pattern(0x20), Byte);
    // A child selects another address on the inherited descriptor; the
    // parent's copies, the same open file, follow.
    pid_t Pid = fork();
    if (Pid == 0)
    {
        _exit(read(Fd, &Byte, 1) == 1 && Byte == Pattern(0x21) && ioctl(Fd, I2C_SLAVE, 0x51) == 0 ? 0 : 1);
    }
    int Status = -1;
    waitpid(Pid, &Status, 0);
    EXPECT_EQ(0, Status);
    EXPECT_EQ(-1, read(Copy, &Byte, 1));
    EXPECT_EQ(ENXIO, errno);
}

TEST_F(cSimI2cDevTest, ReusedNumbersPassThroughAndAReloadEndsOldDescriptors)
{
    int Fd = Open(1), Kept = Open(1);
    // dup2 over an emulated descriptor closes it without close().
    WriteFile("plain.txt", {'a', 'b'});
    int Plain = open((Dir + "/plain.txt").c_str(), O_RDONLY);
    ASSERT_EQ(Fd, dup2(Plain, Fd));
    close(Plain);
    char Text[4] = {};
    EXPECT_EQ(2, read(Fd, Text, sizeof(Text)));
    EXPECT_STREQ("ab", Text);
    // Passed through: what the C library answers for a plain file (ENOTTY
    // from the kernel, ENOSYS from an emulator that does not know I2C_SLAVE).
    Plain = open((Dir + "/plain.txt").c_str(), O_RDONLY);
    EXPECT_EQ(-1, ioctl(Plain, I2C_SLAVE, 0x50));
    int Expected = errno;
    close(Plain);
    EXPECT_EQ(-1, ioctl(Fd, I2C_SLAVE, 0x50));
    EXPECT_EQ(Expected, errno);
    // After a reload an old descriptor is a bare O_PATH one again (EBADF).
    Plain = open(Dir.c_str(), O_PATH);
    EXPECT_EQ(-1, ioctl(Plain, I2C_SLAVE, 0x50));
    Expected = errno;
    close(Plain);
    LoadChip("");
    EXPECT_EQ(-1, ioctl(Kept, I2C_SLAVE, 0x50));
    EXPECT_EQ(Expected, errno);
    EXPECT_EQ(0, ioctl(Open(1), I2C_SLAVE, 0x50));
}
} // namespace
