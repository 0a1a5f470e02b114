// SimTest: fixture of the tests that link the simulated I2C buses, so that their own open, ioctl, read,
// write and close go through them. Each test gets a scratch directory, a chip image of known content and
// a fresh session: buses 0 and 2 empty, a 24c32 at 0x50 on bus 1 with a 0 ms write cycle, a transfer log.
#ifndef TESTS_UNIT_SIMTEST_H
#define TESTS_UNIT_SIMTEST_H

#include <cstring>
#include <filesystem>
#include <fstream>

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "UnitsimI2c.h"

using tBytes = std::vector<uint8_t>;
using tLines = std::vector<std::string>;

class cSimTest : public ::testing::Test
{
protected:
    // The image every test starts with, from Addr on: no two neighbours alike.
    static tBytes PatternAt(unsigned Addr, unsigned Count)
    {
        tBytes Bytes;
        for (unsigned Index = Addr; Index < Addr + Count; Index++)
        {
            Bytes.push_back(static_cast<uint8_t>((Index % 4096) * 7 + (Index % 4096 >> 8) + 3));
        }
        return Bytes;
    }
    static uint8_t Pattern(unsigned Addr) { return PatternAt(Addr, 1)[0]; }

    void SetUp() override
    {
        char Template[] = "/tmp/simtest-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(Template));
        Dir = Template;
        setenv("UNITSIM_STATE_DIR", (Dir + "/state").c_str(), 1);
        WriteFile("chip.bin", PatternAt(0, 4096));
        LoadChip("");
    }
    void TearDown() override
    {
        for (int Fd : Fds)
        {
            close(Fd);
        }
        std::filesystem::remove_all(Dir);
    }

    void WriteFile(const std::string& Name, const tBytes& Bytes)
    {
        std::ofstream(Dir + "/" + Name).write(reinterpret_cast<const char*>(Bytes.data()), Bytes.size());
    }
    // Changes a chip byte behind the bus (the chip maps its image).
    void Poke(unsigned Addr, char Value)
    {
        std::fstream(Dir + "/chip.bin", std::ios::in | std::ios::out).seekp(Addr).put(Value);
    }
    // Loads a description with this "i2c" member; the result of unitsim_i2c_load.
    int LoadI2c(const std::string& Text)
    {
        std::string Unit = "{ \"eth0\": null, \"i2c\": " + Text + " }";
        WriteFile("unit.json", tBytes(Unit.begin(), Unit.end()));
        return unitsim_i2c_load((Dir + "/unit.json").c_str());
    }
    // A fresh session with these "buses" members and an empty transfer log.
    void LoadBuses(const std::string& Buses)
    {
        std::filesystem::remove(Dir + "/transfers.log");
        ASSERT_EQ(0, LoadI2c("{ \"log\": \"transfers.log\", \"buses\": { " + Buses + " } }"));
    }
    void LoadChip(const std::string& Faults, int CycleMs = 0)
    {
        LoadBuses("\"0\": [], \"2\": [], \"1\": [ { \"model\": \"24c32\", \"address\": 80, \"image\": \"chip.bin\", "
                  "\"write_cycle_ms\": " + std::to_string(CycleMs) + ", \"faults\": { " + Faults + " } } ]");
    }

    // Opens a bus for the rest of the test.
    int Open(int Bus, int Flags = O_RDWR)
    {
        Fds.push_back(open(("/dev/i2c-" + std::to_string(Bus)).c_str(), Flags));
        EXPECT_LE(0, Fds.back()) << strerror(errno);
        return Fds.back();
    }
    // One I2C_RDWR request; its result, with its errno.
    static int Transfer(int Fd, std::vector<i2c_msg> Msgs)
    {
        i2c_rdwr_ioctl_data Data = {Msgs.data(), static_cast<__u32>(Msgs.size())};
        return ioctl(Fd, I2C_RDWR, &Data);
    }
    static i2c_msg Wr(tBytes& Bytes, __u16 Addr = 0x50) { return {Addr, 0, __u16(Bytes.size()), Bytes.data()}; }
    static i2c_msg Rd(tBytes& Bytes, __u16 Addr = 0x50) { return {Addr, I2C_M_RD, __u16(Bytes.size()), Bytes.data()}; }
    static tBytes Word(unsigned Addr) { return {static_cast<uint8_t>(Addr >> 8), static_cast<uint8_t>(Addr)}; }
    // The transfer log of the session.
    tLines Log()
    {
        tLines Lines;
        std::ifstream In(Dir + "/transfers.log");
        for (std::string Line; std::getline(In, Line);)
        {
            Lines.push_back(Line);
        }
        return Lines;
    }

    std::string Dir;
    std::vector<int> Fds;
};

#endif
