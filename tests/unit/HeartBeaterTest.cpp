// cHeartBeater against a health monitor made with plain libzmq.
// Runs on a simulated unit, where /run/shm/zmq is private to the test.
#include <gtest/gtest.h>

#include <string>
#include <vector>
#include <zmq.h>

#include "HeartBeater.h"

namespace
{
const char* const HbEndpoint = "ipc:///run/shm/zmq/HbBeats";

class HealthMonitor
{
public:
    HealthMonitor()
    {
        pContext = zmq_ctx_new();
        pSocket = zmq_socket(pContext, ZMQ_SUB);
        zmq_setsockopt(pSocket, ZMQ_SUBSCRIBE, "", 0);
        int TimeoutMs = 100;
        zmq_setsockopt(pSocket, ZMQ_RCVTIMEO, &TimeoutMs, sizeof(TimeoutMs));
        EXPECT_EQ(0, zmq_bind(pSocket, HbEndpoint));
    }
    ~HealthMonitor()
    {
        int Linger = 0;
        zmq_setsockopt(pSocket, ZMQ_LINGER, &Linger, sizeof(Linger));
        zmq_close(pSocket);
        zmq_ctx_term(pContext);
    }

    // Receives one whole message (all frames), or nothing within 100 ms.
    std::vector<std::string> Receive()
    {
        std::vector<std::string> Frames;
        int More = 0;
        do
        {
            zmq_msg_t Frame;
            zmq_msg_init(&Frame);
            if (zmq_msg_recv(&Frame, pSocket, 0) < 0)
            {
                zmq_msg_close(&Frame);
                return Frames;
            }
            Frames.emplace_back(static_cast<char*>(zmq_msg_data(&Frame)), zmq_msg_size(&Frame));
            More = zmq_msg_more(&Frame);
            zmq_msg_close(&Frame);
        } while (More);
        return Frames;
    }

    // Beats until one arrives: a subscriber misses what is sent before
    // its connection is complete.
    std::vector<std::string> BeatUntilReceived(cHeartBeater& Beater)
    {
        for (int Try = 0; Try < 100; Try++)
        {
            Beater.SendBeat();
            std::vector<std::string> Frames = Receive();
            if (!Frames.empty())
            {
                return Frames;
            }
        }
        return {};
    }

private:
    void* pContext;
    void* pSocket;
};

TEST(HeartBeaterTest, BeatIsTwoFramesWithoutTerminatingZeros)
{
    HealthMonitor Monitor;
    cHeartBeater Beater("Eeprom Manager");
    std::vector<std::string> Frames = Monitor.BeatUntilReceived(Beater);
    ASSERT_EQ(2u, Frames.size());
    EXPECT_EQ(std::string("HbMon", 5), Frames[0]);
    EXPECT_EQ(std::string("Eeprom Manager", 14), Frames[1]);

    // Every later beat is the same message.
    Beater.SendBeat();
    EXPECT_EQ(Frames, Monitor.Receive());
}

TEST(HeartBeaterTest, LongNamesAreCutTo63Characters)
{
    HealthMonitor Monitor;
    std::string Name(70, 'n');
    cHeartBeater Beater(Name.c_str());
    std::vector<std::string> Frames = Monitor.BeatUntilReceived(Beater);
    ASSERT_EQ(2u, Frames.size());
    EXPECT_EQ(Name.substr(0, 63), Frames[1]);
}

TEST(HeartBeaterTest, SenderMayStartBeforeTheMonitorBinds)
{
    cHeartBeater Beater("Early");
    Beater.SendBeat();      // nobody there yet: must not fail
    HealthMonitor Monitor;
    std::vector<std::string> Frames = Monitor.BeatUntilReceived(Beater);
    ASSERT_EQ(2u, Frames.size());
    EXPECT_EQ("Early", Frames[1]);
}

TEST(HeartBeaterDeathTest, NullNameIsFatal)
{
    EXPECT_DEATH(cHeartBeater Beater(nullptr), "nullptr != pInitProcessName");
}
}
