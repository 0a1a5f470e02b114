// The service's readers on real ZeroMQ sockets (czmq, in-process): the
// "Set Prom" command handler against a record on a simulated chip, and the
// stop-request handler. A peer pushes each message; the handler takes it
// from its socket once it is there, as the event loop calls it. Which
// commands write the chip, and which requests end the loop.
#include <gtest/gtest.h>

#include <czmq.h>
#include <string>
#include <vector>

#include "CaptureStdout.h"
#include "JsonParsePromCommand.h"
#include "JsonParseSystemMessage.h"
#include "PromFixture.h"
#include "ZmqUtils.h"

namespace
{
typedef std::vector<std::string> tFrames;

const std::string Oversized(65 * 1024, 'x');
const char* const NotValid = "EEPROM ERR: Command ignored: the EEPROM record is not valid for this unit.\n";

class ManagerTest : public cPromFixture
{
protected:
    void SetUp() override
    {
        cPromFixture::SetUp();
        ZmqSetListenerLimits(64 * 1024, 0);     // as the service sets them
        pPull = zsock_new_pull("inproc://manager-test");
        pPush = zsock_new_push(">inproc://manager-test");
        pPoller = zpoller_new(pPull, nullptr);
    }
    void TearDown() override
    {
        zpoller_destroy(&pPoller);
        zsock_destroy(&pPush);
        zsock_destroy(&pPull);
        cPromFixture::TearDown();
    }

    // Pushes Frames as one message and runs Handler on the receiving socket
    // once the message is there; its result, and in *pPrinted what it printed.
    int Handle(pCzmqCallback Handler, const tFrames& Frames, std::string* pPrinted = nullptr)
    {
        zmsg_t* pMessage = zmsg_new();
        for (const std::string& Frame : Frames)
        {
            zmsg_addmem(pMessage, Frame.data(), Frame.size());
        }
        EXPECT_EQ(0, zmsg_send(&pMessage, pPush));
        EXPECT_EQ(pPull, zpoller_wait(pPoller, 30000));
        cCaptureStdout Capture;
        int Result = Handler(nullptr, pPull, nullptr);
        std::string Printed = Capture.Finish();
        if (nullptr != pPrinted)
        {
            *pPrinted = Printed;
        }
        EXPECT_EQ(nullptr, zpoller_wait(pPoller, 0)) << "the message is consumed";
        return Result;
    }

    zsock_t* pPull = nullptr;
    zsock_t* pPush = nullptr;
    zpoller_t* pPoller = nullptr;
};

// Only a request whose topic is "ServiceStop" (as a C string) and whose
// payload is addressed to the service ends the loop.
TEST_F(ManagerTest, StopHandlerEndsTheLoopOnlyForAStopAddressedToTheService)
{
    const char* const ForUs = R"([{"Other": 1}, {"HwMgrFPGA": null}])";
    const struct
    {
        tFrames Frames;
        int Result;
    } Cases[] = {
        {{"ServiceStop", ForUs}, -1},
        {{std::string("ServiceStop\0", 12), ForUs}, -1},
        {{"ServiceStop", R"([{"Other": null}])"}, 0},
        {{"ServiceStop"}, 0},
        {{"ServiceStopNow", ForUs}, 0},
        {{"ServiceStop", R"([{"HwMgrFPGA": ")" + Oversized + R"("}])"}, 0},
    };
    for (const auto& Case : Cases)
    {
        EXPECT_EQ(Case.Result, Handle(JsonParseSystemMessage, Case.Frames)) << Case.Frames[0] << Case.Frames.size();
    }
}

// A command renames the unit on the chip when the record is this unit's and
// the name would be stored differently; nothing else writes the chip.
TEST_F(ManagerTest, CommandHandlerWritesOnlyANewNameIntoARecordOfThisUnit)
{
    const struct
    {
        tFrames Frames;
        const char* pName;      // on the chip after the command
        std::string Printed;
    } Cases[] = {
        // A name of 16 bytes (no NUL) is stored as its first 15.
        {{"Set Prom", R"({"Unit Name": "SixteenCharsName"})"}, "SixteenCharsNam", ""},
        {{"Set Prom", R"({"Unit Name": "Bench 7"})"}, "Bench 7", ""},
        {{"Set Prom", R"({"Unit Name": "Bench 7"})"}, "Bench 7", ""},               // unchanged: no write
        {{std::string("Set Prom\0x", 10), R"({"Unit Name": "Bench 8"})"}, "Bench 8", ""},
        {{"Set Prom", R"({"Unit Name": "A name of twenty chars"})"}, "A name of twent", ""},
        {{"Set Prom", R"({"Unit Name": "A name of twenty-one"})"}, "A name of twent", ""},  // stored alike
        {{"Set Prom", R"({"Unit Name": 42})"}, "A name of twent", ""},
        {{"Set Prom", R"({"Other": "x"})"}, "A name of twent", ""},
        {{"Set Prom", "not json"}, "A name of twent", "JUTL_ERROR"},
        {{"Set Prom"}, "A name of twent", "EEPROM ERR: Set Prom command without a body ignored.\n"},
        {{"Set Promx", R"({"Unit Name": "Other"})"}, "A name of twent", ""},
        {{"Set Prom", R"({"Unit Name": "Big", "Pad": ")" + Oversized + R"("})"}, "A name of twent", ""},
    };
    eeprom_u Record = MakeRecord("SixteenCharsName");
    Start(&Record, R"(, "write_cycle_ms": 0)");
    std::string Chip = ReadFile(Dir + "/chip.bin");
    std::string Name = "SixteenCharsName";
    for (const auto& Case : Cases)
    {
        std::string Printed;
        EXPECT_EQ(0, Handle(JsonParseCommandMessage, Case.Frames, &Printed));
        std::string Before = Chip;
        Chip = ReadFile(Dir + "/chip.bin");
        bool Renamed = Name != Case.pName;
        Name = Case.pName;
        EXPECT_EQ(Renamed, Chip != Before) << Case.Frames.back() << ": the chip is written for a new name only";
        EXPECT_EQ(Renamed, pProm->HasChanged()) << Case.Frames.back();
        EXPECT_EQ("123456 " + Name, Identity()) << Case.Frames.back();
        EXPECT_NE(std::string::npos, Printed.find(Case.Printed)) << Printed;
        EXPECT_EQ(Case.Printed.empty(), Printed.empty()) << Printed;
    }
    // What the chip holds is what the record shows.
    Start(nullptr, R"(, "write_cycle_ms": 0)");
    EXPECT_EQ("123456 A name of twent", Identity());

    // A record of another unit: every command is consumed and reported, and
    // the chip is not touched.
    uint8_t OtherMac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x02};
    Record = MakeRecord("Other unit", OtherMac);
    Start(&Record);
    Chip = ReadFile(Dir + "/chip.bin");
    for (const tFrames& Frames : {tFrames{"Set Prom", R"({"Unit Name": "Bench 7"})"}, tFrames{"Set Prom"}})
    {
        std::string Printed;
        EXPECT_EQ(0, Handle(JsonParseCommandMessage, Frames, &Printed));
        EXPECT_EQ(NotValid, Printed);
    }
    EXPECT_EQ(Chip, ReadFile(Dir + "/chip.bin"));
    EXPECT_FALSE(pProm->HasChanged());
    EXPECT_EQ("123456 Other unit", Identity());
}
}
