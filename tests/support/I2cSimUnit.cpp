// I2cSimUnit: fresh simulated I2C unit per test, transfer log and output capture.
#include "I2cSimUnit.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <unistd.h>

#include "I2cBus.h"
#include "UnitsimI2c.h"

namespace
{
const char* const RootVariable = "I2C_TEST_ROOT";
const char* const UnitFile = "unit.json";
const char* const LogFile = "transfers.log";
const char* const ImageFile = "chip.bin";
const unsigned ChipSizeBytes = 4096;    // 24xx32: 32 Kbit

// One scratch root per test run; death-test children find it in the
// environment and make their own directory inside it.
class cScratchRoot : public ::testing::Environment
{
public:
    void SetUp() override
    {
        const char* pRoot = getenv(RootVariable);
        if (nullptr != pRoot)
        {
            Root = pRoot;
            return;
        }
        char Template[] = "/tmp/i2c-test-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(Template));
        Root = Template;
        Owner = true;
        setenv(RootVariable, Template, 1);
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

cScratchRoot* pScratchRoot =
    static_cast<cScratchRoot*>(::testing::AddGlobalTestEnvironment(new cScratchRoot));

void WriteFile(const std::string& Path, const std::string& Content)
{
    std::ofstream Out(Path, std::ios::binary | std::ios::trunc);
    Out << Content;
    ASSERT_TRUE(Out.good()) << Path;
}

std::vector<std::string> ReadLines(const std::string& Path)
{
    std::vector<std::string> Lines;
    std::ifstream In(Path);
    std::string Line;
    while (std::getline(In, Line))
    {
        Lines.push_back(Line);
    }
    return Lines;
}
} // namespace

uint8_t ChipImage(unsigned Addr)
{
    // No two neighbouring bytes alike, and every 256-byte block different.
    return static_cast<uint8_t>(Addr * 13 + (Addr >> 8) + 7);
}

std::string Chip24c32(unsigned Addr, const std::string& Faults, unsigned WriteCycleMs)
{
    char AddrText[8];
    snprintf(AddrText, sizeof(AddrText), "0x%02x", Addr);
    return std::string("{ \"model\": \"24c32\", \"address\": \"") + AddrText
         + "\", \"image\": \"" + ImageFile + "\", \"write_cycle_ms\": "
         + std::to_string(WriteCycleMs) + ", \"faults\": { " + Faults + " } }";
}

void cI2cSimTest::SetUp()
{
    UnitDir = pScratchRoot->Root + "/" + std::to_string(getpid());
    std::filesystem::create_directories(UnitDir + "/state");
    setenv("UNITSIM_STATE_DIR", (UnitDir + "/state").c_str(), 1);
    LoadEepromWithFaults("", 5, OpenBusesInSetUp);
}

void cI2cSimTest::TearDown()
{
    if (BusesOpen)
    {
        CloseI2cBusses();
        BusesOpen = false;
    }
}

void cI2cSimTest::LoadUnit(const std::string& BusesJson, bool OpenBuses)
{
    if (BusesOpen)
    {
        CloseI2cBusses();
        BusesOpen = false;
    }
    std::string Image;
    for (unsigned Addr = 0; Addr < ChipSizeBytes; Addr++)
    {
        Image.push_back(static_cast<char>(ChipImage(Addr)));
    }
    WriteFile(UnitDir + "/" + ImageFile, Image);
    std::filesystem::remove(UnitDir + "/" + LogFile);
    WriteFile(UnitDir + "/" + UnitFile,
              std::string("{ \"i2c\": { \"log\": \"") + LogFile + "\", \"buses\": { " + BusesJson + " } } }\n");
    ASSERT_EQ(0, unitsim_i2c_load((UnitDir + "/" + UnitFile).c_str()));
    LogLinesSeen = 0;
    if (OpenBuses)
    {
        InitI2cBusses();
        BusesOpen = true;
    }
}

void cI2cSimTest::LoadEepromWithFaults(const std::string& Faults, unsigned WriteCycleMs, bool OpenBuses)
{
    LoadUnit("\"0\": [], \"1\": [ " + Chip24c32(0x50, Faults, WriteCycleMs) + " ], \"2\": []", OpenBuses);
}

std::vector<I2cLogLine> cI2cSimTest::NewTransfers()
{
    std::vector<std::string> Lines = ReadLines(UnitDir + "/" + LogFile);
    std::vector<I2cLogLine> Result;
    for (size_t Index = LogLinesSeen; Index < Lines.size(); Index++)
    {
        I2cLogLine Entry = {};
        int Consumed = 0;
        if (2 != sscanf(Lines[Index].c_str(), "%u.%u %n", &Entry.Transfer, &Entry.Msg, &Consumed))
        {
            ADD_FAILURE() << "unreadable log line: " << Lines[Index];
            continue;
        }
        Entry.What = Lines[Index].substr(static_cast<size_t>(Consumed));
        Result.push_back(Entry);
    }
    return Result;
}

void cI2cSimTest::MarkLog()
{
    LogLinesSeen = ReadLines(UnitDir + "/" + LogFile).size();
}

void cI2cSimTest::StartCapture()
{
    fflush(stdout);
    ::testing::internal::CaptureStdout();
}

std::string cI2cSimTest::StopCapture()
{
    return ::testing::internal::GetCapturedStdout();
}
