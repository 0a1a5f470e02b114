// SimTest: fixture for the tests of the simulated I2C buses.
//
// The test binary links the simulation, so its own open, ioctl, read, write
// and close go through it. Each test gets a scratch directory with a unit
// description, a chip image of known content and the session state
// directory, and a fresh session.
#ifndef TESTS_UNIT_SIMTEST_H
#define TESTS_UNIT_SIMTEST_H

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "UnitsimI2c.h"

using tBytes = std::vector<uint8_t>;

class cSimTest : public ::testing::Test
{
protected:
    static constexpr unsigned ChipBytes = 4096;
    static constexpr unsigned PageBytes = 32;

    // Content of the image every test starts with: no two neighbours alike.
    static uint8_t Pattern(unsigned Addr)
    {
        return static_cast<uint8_t>(Addr * 7 + (Addr >> 8) + 3);
    }

    // A 24c32 entry for a "buses" list; Extra is added inside the braces.
    static std::string Chip(unsigned Addr, const std::string& Extra = "")
    {
        char Text[64];
        snprintf(Text, sizeof(Text), "{ \"model\": \"24c32\", \"address\": \"0x%02x\"", Addr);
        return Text + (Extra.empty() ? std::string() : ", " + Extra) + " }";
    }

    void SetUp() override
    {
        char Template[] = "/tmp/simtest-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(Template));
        Dir = Template;
        setenv("UNITSIM_STATE_DIR", (Dir + "/state").c_str(), 1);
        tBytes Image(ChipBytes);
        for (unsigned Addr = 0; Addr < ChipBytes; Addr++)
        {
            Image[Addr] = Pattern(Addr);
        }
        WriteFile("chip.bin", Image);
        // A write cycle of 0 ms lets tests read back at once.
        LoadBuses("\"0\": [], \"1\": [ " + Chip(0x50, "\"image\": \"chip.bin\", \"write_cycle_ms\": 0") + " ]");
    }

    void TearDown() override
    {
        for (int Fd : Fds)
        {
            close(Fd);
        }
        std::filesystem::remove_all(Dir);
    }

    void WriteFile(const std::string& Name, const tBytes& Content)
    {
        std::ofstream Out(Dir + "/" + Name, std::ios::binary | std::ios::trunc);
        Out.write(reinterpret_cast<const char*>(Content.data()), static_cast<std::streamsize>(Content.size()));
    }

    tBytes ReadFile(const std::string& Name)
    {
        std::ifstream In(Dir + "/" + Name, std::ios::binary);
        return tBytes(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
    }

    // Writes a description with Text as its "i2c" member and loads it.
    int LoadI2c(const std::string& Text)
    {
        std::string Description = "{ \"eth0\": null, \"i2c\": " + Text + " }\n";
        WriteFile("unit.json", tBytes(Description.begin(), Description.end()));
        return unitsim_i2c_load((Dir + "/unit.json").c_str());
    }

    // Loads a unit whose "buses" object holds BusesJson, with a log.
    void LoadBuses(const std::string& BusesJson)
    {
        ASSERT_EQ(0, LoadI2c("{ \"log\": \"transfers.log\", \"buses\": { " + BusesJson + " } }"));
    }

    // Loads bus 1 with one chip at 0x50 (image chip.bin) with Extra keys;
    // the write cycle is 0 ms unless Extra sets it.
    void LoadChip(const std::string& Extra)
    {
        std::string Keys = "\"image\": \"chip.bin\"";
        if (Extra.find("write_cycle_ms") == std::string::npos)
        {
            Keys += ", \"write_cycle_ms\": 0";
        }
        if (!Extra.empty())
        {
            Keys += ", " + Extra;
        }
        LoadBuses("\"1\": [ " + Chip(0x50, Keys) + " ]");
    }

    // Opens a bus; closed at the end of the test.
    int Open(int Bus, int Flags = O_RDWR)
    {
        int Fd = open(("/dev/i2c-" + std::to_string(Bus)).c_str(), Flags);
        EXPECT_LE(0, Fd) << "bus " << Bus << ": " << strerror(errno);
        if (Fd >= 0)
        {
            Fds.push_back(Fd);
        }
        return Fd;
    }

    // One I2C_RDWR; returns its result (errno in LastErrno).
    int Transfer(int Fd, std::vector<i2c_msg> Msgs)
    {
        i2c_rdwr_ioctl_data Data = {Msgs.data(), static_cast<__u32>(Msgs.size())};
        errno = 0;
        int Result = ioctl(Fd, I2C_RDWR, &Data);
        LastErrno = errno;
        return Result;
    }

    static i2c_msg Write(tBytes& Bytes, uint16_t Addr = 0x50)
    {
        return {Addr, 0, static_cast<__u16>(Bytes.size()), Bytes.data()};
    }

    static i2c_msg Read(tBytes& Bytes, uint16_t Addr = 0x50)
    {
        return {Addr, I2C_M_RD, static_cast<__u16>(Bytes.size()), Bytes.data()};
    }

    static tBytes WordAddress(unsigned Addr)
    {
        return {static_cast<uint8_t>(Addr >> 8), static_cast<uint8_t>(Addr & 0xff)};
    }

    // Random read of Count bytes at Addr (an empty result on failure).
    tBytes ReadAt(int Fd, unsigned Addr, size_t Count)
    {
        tBytes Pointer = WordAddress(Addr);
        tBytes Data(Count);
        return Transfer(Fd, {Write(Pointer), Read(Data)}) == 2 ? Data : tBytes();
    }

    // Page write of Data at Addr; returns the ioctl result.
    int WriteAt(int Fd, unsigned Addr, const tBytes& Data)
    {
        tBytes Message = WordAddress(Addr);
        Message.insert(Message.end(), Data.begin(), Data.end());
        return Transfer(Fd, {Write(Message)});
    }

    // The pattern bytes at Addr..Addr+Count-1, wrapping at the end of memory.
    static tBytes PatternAt(unsigned Addr, size_t Count)
    {
        tBytes Bytes;
        for (size_t Index = 0; Index < Count; Index++)
        {
            Bytes.push_back(Pattern(static_cast<unsigned>((Addr + Index) % ChipBytes)));
        }
        return Bytes;
    }

    std::vector<std::string> LogLines()
    {
        std::vector<std::string> Lines;
        std::ifstream In(Dir + "/transfers.log");
        for (std::string Line; std::getline(In, Line);)
        {
            Lines.push_back(Line);
        }
        return Lines;
    }

    std::string Dir;
    std::vector<int> Fds;
    int LastErrno = 0;
};

#endif
