// ZmqUtils and cHeartBeater against real ZeroMQ peers made with plain libzmq,
// so the wire format is checked by an implementation independent of czmq.
// Runs on a simulated unit: /run/shm/zmq is private to the test. Reader
// registration is made to fail by interposing zloop_reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <dlfcn.h>
#include <string>
#include <unistd.h>
#include <vector>
#include <zmq.h>

#include "CaptureStdout.h"
#include "HeartBeater.h"
#include "ZmqUtils.h"

static bool FailReaderRegistration = false;

extern "C" int zloop_reader(zloop_t* self, zsock_t* sock, zloop_reader_fn handler, void* arg)
{
    static auto pReal = reinterpret_cast<decltype(&zloop_reader)>(dlsym(RTLD_NEXT, "zloop_reader"));
    return FailReaderRegistration ? -1 : pReal(self, sock, handler, arg);
}

typedef std::vector<std::string> tFrames;
const std::string Dir = "/run/shm/zmq/";
const char* const ForUs = "[{\"A\": 1}, {\"HwMgrFPGA\": null}]";

static std::string Endpoint(const std::string& Name)
{
    return "ipc://" + Dir + Name;
}

// One whole message, waiting up to TimeoutMs for it; empty if none came.
static tFrames Receive(void* pSocket, int TimeoutMs = 10000)
{
    tFrames Frames;
    char Frame[2048];
    int More = 1;
    size_t Size = sizeof(More);
    zmq_setsockopt(pSocket, ZMQ_RCVTIMEO, &TimeoutMs, sizeof(TimeoutMs));
    for (int Got; More && 0 <= (Got = zmq_recv(pSocket, Frame, sizeof(Frame), 0));)
    {
        Frames.emplace_back(Frame, std::min<size_t>(Got, sizeof(Frame)));
        zmq_getsockopt(pSocket, ZMQ_RCVMORE, &More, &Size);
    }
    return Frames;
}

class ZmqUtilsTest : public ::testing::Test
{
protected:
    ~ZmqUtilsTest() override
    {
        zloop_destroy(&pLoop);
        std::for_each(Listeners.begin(), Listeners.end(), [](zsock_t* pSocket) { zsock_destroy(&pSocket); });
        std::for_each(Peers.begin(), Peers.end(), zmq_close);
        zmq_ctx_term(pContext);
    }
    zsock_t* Listen(const std::string& Name, teListenConnectType ConnectType, int Type, uint8_t NumTopics = 0,
                    pCzmqCallback pHandler = ParseSystemControl, void* pArg = nullptr)
    {
        return Listeners.emplace_back(ZmqCreateListenerType(pLoop, Endpoint(Name).c_str(), ConnectType, pHandler,
                                                            NumTopics, nullptr, pArg, Type));
    }
    void* Peer(int Type, bool Bind, const std::string& Name)
    {
        Peers.push_back(zmq_socket(pContext, Type));
        int Zero = 0;
        zmq_setsockopt(Peers.back(), ZMQ_LINGER, &Zero, sizeof(Zero));
        EXPECT_EQ(0, (Bind ? zmq_bind : zmq_connect)(Peers.back(), Endpoint(Name).c_str()));
        return Peers.back();
    }
    static void Send(void* pPeer, const tFrames& Frames)
    {
        for (size_t i = 0; i < Frames.size(); i++)
        {
            zmq_send(pPeer, Frames[i].data(), Frames[i].size(), (i + 1 < Frames.size()) ? ZMQ_SNDMORE : 0);
        }
    }

    zloop_t* pLoop = zloop_new();
    void* pContext = zmq_ctx_new();
    std::vector<zsock_t*> Listeners;
    std::vector<void*> Peers;
};

TEST_F(ZmqUtilsTest, SubscriberTakesEverythingOrItsTopicPrefixesInOrder)
{
    void* pAll = Peer(ZMQ_XPUB, true, "all");
    void* pSome = Peer(ZMQ_XPUB, true, "some");
    void* pAllSub = zsock_resolve(Listen("all", LCT_CONNECT, ZMQ_SUB));
    tsTopic Topics[] = {{"Alpha"}, {"Mid"}};
    void* pSomeSub = zsock_resolve(Listeners.emplace_back(
        ZmqCreateListener(pLoop, Endpoint("some").c_str(), LCT_CONNECT, ParseSystemControl, 2, Topics, nullptr)));
    EXPECT_EQ(tFrames{"\1"}, Receive(pAll)) << "one subscription to everything";
    EXPECT_EQ(tFrames{"\1Alpha"}, Receive(pSome));
    EXPECT_EQ(tFrames{"\1Mid"}, Receive(pSome));
    for (const char* pTopic : {"Zulu", "AlphaBeta", "Mi", "", "Middle"})
    {
        Send(pAll, {pTopic, "x"});
        Send(pSome, {pTopic, "x"});
        EXPECT_EQ((tFrames{pTopic, "x"}), Receive(pAllSub));
    }
    EXPECT_EQ((tFrames{"AlphaBeta", "x"}), Receive(pSomeSub));
    EXPECT_EQ((tFrames{"Middle", "x"}), Receive(pSomeSub));
}

// Only LCT_CONNECT connects. The limits in force when a listener is bound
// apply to it: a larger frame is dropped, and 2^32 must not wrap into a
// smaller limit; a pusher waits once the queue is full. A pull socket never
// reads the topics (a null array).
TEST_F(ZmqUtilsTest, PullListenersBindOrConnectAndTakeMessagesUpToTheLimits)
{
    const struct { teListenConnectType ConnectType; std::string Name; int64_t Limit; int Queue; } Cases[] = {
        {LCT_BIND, "bind", -1, 0}, {static_cast<teListenConnectType>(5), "five", -1, 0},
        {LCT_CONNECT, "connect", -1, 0}, {LCT_BIND, "huge", int64_t(1) << 32, 0}, {LCT_BIND, "small", 256, 0},
        {LCT_BIND, "queue", -1, 4}};
    for (const auto& Case : Cases)
    {
        const bool Binds = (LCT_CONNECT != Case.ConnectType);
        ZmqSetListenerLimits(Case.Limit, Case.Queue);
        void* pPull = zsock_resolve(Listen(Case.Name, Case.ConnectType, ZMQ_PULL, 3));
        ZmqSetListenerLimits(-1, 0);
        // Binding an ipc endpoint creates its socket file; connecting does not.
        EXPECT_EQ(Binds, 0 == access((Dir + Case.Name).c_str(), F_OK)) << Case.Name;
        if (256 == Case.Limit)
        {
            Send(Peer(ZMQ_PUSH, !Binds, Case.Name), {std::string(1000, 'x')});
        }
        if (0 != Case.Queue)
        {
            // 32 KiB messages until a send waits 200 ms: about a dozen fit
            // into the queue, the pipes' buffers and the kernel's; libzmq's
            // default queue would take all 200.
            void* pPush = Peer(ZMQ_PUSH, !Binds, Case.Name);
            const int OneMessage = 1, WaitMs = 200;
            zmq_setsockopt(pPush, ZMQ_SNDHWM, &OneMessage, sizeof(OneMessage));
            zmq_setsockopt(pPush, ZMQ_SNDTIMEO, &WaitMs, sizeof(WaitMs));
            const std::string Block(32 * 1024, 'q');
            int Sent = 0;
            while (Sent < 200 && 0 <= zmq_send(pPush, Block.data(), Block.size(), 0))
            {
                Sent++;
            }
            EXPECT_LT(Sent, 100);
            for (; Sent > 0; Sent--)    // every one of them arrives
            {
                ASSERT_EQ(1u, Receive(pPull).size()) << Sent;
            }
        }
        Send(Peer(ZMQ_PUSH, !Binds, Case.Name), {"Set Prom", "{}"});
        EXPECT_EQ((tFrames{"Set Prom", "{}"}), Receive(pPull)) << Case.Name;
    }
}

TEST_F(ZmqUtilsTest, LenientCreationReportsAndStillReturnsTheSocket)
{
    // Bind fails: reported, and the unattached socket is still a reader that
    // gets its argument and can end the loop.
    tFrames Message;
    cCaptureStdout Capture;
    zsock_t* pPull = Listen("missing/cmd", LCT_BIND, ZMQ_PULL, 0, [](zloop_t*, zsock_t* pSocket, void* pArg) {
        *static_cast<tFrames*>(pArg) = Receive(zsock_resolve(pSocket), 0);
        return -1;
    }, &Message);
    EXPECT_EQ("ZMQU Error: Unable to connet or bind socket " + Endpoint("missing/cmd") + "\n", Capture.Finish());
    ASSERT_EQ(0, zsock_bind(pPull, "%s", Endpoint("late").c_str()));
    Send(Peer(ZMQ_PUSH, false, "late"), {"Set Prom"});
    zloop_timer(pLoop, 10000, 1, [](zloop_t*, int, void*) { return -1; }, nullptr);   // a safety time-out
    zloop_start(pLoop);
    EXPECT_EQ(tFrames{"Set Prom"}, Message);

    // Registration fails: reported, and the socket is bound all the same.
    cCaptureStdout Capture2;
    FailReaderRegistration = true;
    Listen("unread", LCT_BIND, ZMQ_SUB);
    FailReaderRegistration = false;
    EXPECT_EQ("ZMQU Error: Unable to add reader for " + Endpoint("unread") + ".\n", Capture2.Finish());
    EXPECT_EQ(0, access((Dir + "unread").c_str(), F_OK));
}

// Frames followed by frames of filler, Total bytes in all.
static tFrames Filled(tFrames Frames, size_t Total)
{
    size_t Size = 0;
    std::for_each(Frames.begin(), Frames.end(), [&Size](const std::string& Frame) { Size += Frame.size(); });
    for (; Size < Total; Size += Frames.back().size())
    {
        Frames.emplace_back(std::min<size_t>(30000, Total - Size), 'f');
    }
    return Frames;
}

// Each message is sent twice, for each reader in turn: both must consume it.
TEST_F(ZmqUtilsTest, ReadersMapEachMessage)
{
    const size_t Limit = 64 * 1024;
    const struct { tFrames Frames; int Stop; ProcessStatus_e Status; } Cases[] = {
        {{"ServiceStop", ForUs}, -1, PS_WAITING},          {{"ServiceStop", ForUs, "extra"}, -1, PS_WAITING},
        {{"ServiceStop", "[{\"Other\": 1}]"}, 0, PS_WAITING}, {{"ServiceStopX", ForUs}, 0, PS_WAITING},
        {{"servicestop", ForUs}, 0, PS_WAITING},           {{"ServiceStop", "not json"}, 0, PS_WAITING},
        {{"ServiceStop"}, 0, PS_WAITING},                  {{"SysStatus", "Ok"}, 0, PS_OK},
        {{"SysStatus", "Error"}, 0, PS_FAULT},             {{"SysStatus", "Error", "extra"}, 0, PS_FAULT},
        {{"SysStatus", "ok"}, 0, PS_WAITING},              {{"SysStatus", "Okay"}, 0, PS_WAITING},
        {{"SysStatus"}, 0, PS_WAITING},                    {{"SysStatusX", "Ok"}, 0, PS_WAITING},
        {{"Other", "Error"}, 0, PS_WAITING},
        // Topics and status texts are C strings: up to the first NUL.
        {{std::string("ServiceStop\0tail", 16), ForUs}, -1, PS_WAITING},
        {{std::string("SysStatus\0", 10), std::string("Error\0x", 7)}, 0, PS_FAULT},
        {{"SysStatus", std::string("Ok\0", 3)}, 0, PS_OK},
        {{"SysStat", "Ok"}, 0, PS_WAITING},
        // Up to the limit in all frames together, and not one byte more.
        {Filled({"ServiceStop", ForUs}, Limit), -1, PS_WAITING},
        {Filled({"ServiceStop", ForUs}, Limit + 1), 0, PS_WAITING},
        {Filled({"SysStatus", "Ok"}, Limit), 0, PS_OK},
        {Filled({"SysStatus", "Ok"}, Limit + 1), 0, PS_WAITING},
        {{"ServiceStop", ForUs + std::string(Limit, ' ')}, 0, PS_WAITING},
    };
    zsock_t* pPull = Listen("pull", LCT_BIND, ZMQ_PULL);
    zmq_pollitem_t Item = {zsock_resolve(pPull), 0, ZMQ_POLLIN, 0};
    void* pPush = Peer(ZMQ_PUSH, false, "pull");
    cCaptureStdout Capture;
    ZmqSetListenerLimits(Limit, 0);
    for (const auto& Case : Cases)
    {
        ProcessStatus_e Status = PS_SHUTDOWN;
        Send(pPush, Case.Frames);
        Send(pPush, Case.Frames);
        ASSERT_EQ(1, zmq_poll(&Item, 1, 10000));
        EXPECT_EQ(Case.Stop, ParseSystemControl(pLoop, pPull, nullptr)) << Case.Frames[0];
        ASSERT_EQ(1, zmq_poll(&Item, 1, 10000));
        EXPECT_EQ(0, SystemStatCallback(pLoop, pPull, &Status));
        EXPECT_EQ(Case.Status, Status) << Case.Frames[0];
    }
    ZmqSetListenerLimits(-1, 0);
    // The two payloads that are no JSON array ("not json" and none) were
    // passed on and reported: three lines of the parser's, one not-an-array.
    std::string Output = Capture.Finish();
    EXPECT_EQ(8, std::count(Output.begin(), Output.end(), '\n')) << Output;
    // Nothing waiting: no stop, and PS_WAITING for the status.
    ProcessStatus_e Status = PS_OK;
    EXPECT_EQ(0, ParseSystemControl(pLoop, pPull, nullptr));
    EXPECT_EQ(0, SystemStatCallback(pLoop, pPull, &Status) + SystemStatCallback(pLoop, pPull, nullptr));
    EXPECT_EQ(PS_WAITING, Status);
}

// While its peer is absent a connecting listener retries with growing pauses
// (libzmq reports each with its pause) instead of every 100 ms.
TEST_F(ZmqUtilsTest, ConnectingListenerBacksOffWhileItsPeerIsAbsent)
{
    zsock_t* pSub = Listen("absent", LCT_CONNECT, ZMQ_SUB);
    ASSERT_EQ(0, zmq_socket_monitor(zsock_resolve(pSub), "inproc://retries", ZMQ_EVENT_CONNECT_RETRIED));
    void* pMonitor = zmq_socket(zsys_init(), ZMQ_PAIR);
    ASSERT_EQ(0, zmq_connect(pMonitor, "inproc://retries"));
    // Retries until 3 s of pauses: about 20 at libzmq's 100 ms, five with
    // the pause doubling from 100 ms (plus jitter) up to 2 s.
    std::vector<uint32_t> Pauses;
    for (uint32_t Total = 0; Total < 3000;)
    {
        tFrames Event = Receive(pMonitor, 4000);
        ASSERT_EQ(2u, Event.size());
        Pauses.push_back(0);
        memcpy(&Pauses.back(), Event[0].data() + 2, sizeof(uint32_t));
        Total += Pauses.back();
    }
    zmq_close(pMonitor);
    EXPECT_LE(Pauses.size(), 6u);
    EXPECT_LE(*std::max_element(Pauses.begin(), Pauses.end()), 2100u);
}

TEST_F(ZmqUtilsTest, HeartbeatIsTopicAndNameCutTo63EvenWhenStartedBeforeTheMonitor)
{
    const std::string Name = std::string(63, 'n') + "cut";
    cHeartBeater Beater(Name.c_str());
    Beater.SendBeat();   // nobody is there yet
    void* pMonitor = Peer(ZMQ_SUB, true, "HbBeats");
    zmq_setsockopt(pMonitor, ZMQ_SUBSCRIBE, "", 0);
    tFrames Beat;
    // A subscriber misses what is sent before its connection is complete.
    for (int Try = 0; Try < 300 && Beat.empty(); Try++)
    {
        Beater.SendBeat();
        Beat = Receive(pMonitor, 100);
    }
    EXPECT_EQ((tFrames{"HbMon", Name.substr(0, 63)}), Beat);
}

TEST(ZmqUtilsDeathTest, BrokenPreconditionsAndStrictFailuresAreFatal)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string Nowhere = Endpoint("missing/sock");
    tsTopic NullTopic[] = {{"A"}, {nullptr}};
    zloop_t* pLoop = zloop_new();
    EXPECT_DEATH(ZmqCreateListener(pLoop, Nowhere.c_str(), LCT_BIND, ParseSystemControl, 0, nullptr, nullptr),
                 "0 <= Result");
    EXPECT_DEATH((FailReaderRegistration = true, ZmqCreateListener(pLoop, Nowhere.c_str(), LCT_CONNECT,
                                                                   ParseSystemControl, 0, nullptr, nullptr)), "0 == Result");
    EXPECT_DEATH(ZmqCreateListener(nullptr, Nowhere.c_str(), LCT_CONNECT, ParseSystemControl, 0, nullptr, nullptr),
                 "pLoop");
    EXPECT_DEATH(ZmqCreateListenerType(pLoop, Nowhere.c_str(), LCT_CONNECT, ParseSystemControl, 2, NullTopic, nullptr,
                                       ZMQ_SUB), "pTopic");
    EXPECT_DEATH(cHeartBeater Beater(nullptr), "nullptr != pInitProcessName");
    zloop_destroy(&pLoop);
}
