// Tests of ZmqUtils against real ZeroMQ peers made with plain libzmq, so the
// wire format is checked by an implementation independent of czmq. The code
// under test runs in a real zloop; every endpoint lives in a per-test
// directory. Reader registration is made to fail by interposing zloop_reader.
#include "ZmqUtils.h"

#include "CaptureStdout.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <dlfcn.h>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#include <zmq.h>

namespace
{
bool FailReaderRegistration = false;
}

// Interposed: fails on demand, otherwise calls czmq's own.
extern "C" int zloop_reader(zloop_t* self, zsock_t* sock, zloop_reader_fn handler, void* arg)
{
    if (FailReaderRegistration)
    {
        return -1;
    }
    using tReaderFn = int (*)(zloop_t*, zsock_t*, zloop_reader_fn, void*);
    static tReaderFn pReal = reinterpret_cast<tReaderFn>(dlsym(RTLD_NEXT, "zloop_reader"));
    return pReal(self, sock, handler, arg);
}

namespace
{
typedef std::vector<std::string> tFrames;

// Receives one whole message from Socket without waiting; empty if none.
tFrames RecvFrames(void* pSocket)
{
    tFrames Frames;
    for (int More = 1, Flags = ZMQ_DONTWAIT; More; Flags = 0)
    {
        zmq_msg_t Msg;
        zmq_msg_init(&Msg);
        if (0 > zmq_msg_recv(&Msg, pSocket, Flags))
        {
            zmq_msg_close(&Msg);
            break;
        }
        Frames.emplace_back(static_cast<char*>(zmq_msg_data(&Msg)), zmq_msg_size(&Msg));
        More = zmq_msg_more(&Msg);
        zmq_msg_close(&Msg);
    }
    return Frames;
}

// Calls OnMessage for each reader event and ends the loop after Count calls.
struct sReader
{
    std::function<void(zloop_t*, zsock_t*)> OnMessage;
    size_t Count = 1;
    static int Handler(zloop_t* pLoop, zsock_t* pSocket, void* pArg)
    {
        sReader* pSelf = static_cast<sReader*>(pArg);
        pSelf->OnMessage(pLoop, pSocket);
        return (0 == --pSelf->Count) ? -1 : 0;
    }
};

// Records each message the listener receives.
struct sRecorder : sReader
{
    std::vector<tFrames> Messages;
    explicit sRecorder(size_t StopAfter)
    {
        Count = StopAfter;
        OnMessage = [this](zloop_t*, zsock_t* pSocket) { Messages.push_back(RecvFrames(zsock_resolve(pSocket))); };
    }
};

const char* const ForUs = "[{\"A\": 1}, {\"HwMgrFPGA\": null}]";
const char* const NotForUs = "[{\"Other\": 1}]";
}

class ZmqUtilsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char Template[] = "/tmp/zmqutils-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(Template));
        Dir = Template;
        pLoop = zloop_new();
        pContext = zmq_ctx_new();
    }
    void TearDown() override
    {
        zloop_destroy(&pLoop);
        for (zsock_t*& pSocket : Listeners)
        {
            zsock_destroy(&pSocket);
        }
        for (void* pPeer : Peers)
        {
            zmq_close(pPeer);
        }
        zmq_ctx_term(pContext);
        EXPECT_EQ(0, system(("rm -rf " + Dir).c_str()));
    }
    std::string Endpoint(const char* pName) const { return "ipc://" + Dir + "/" + pName; }
    bool Exists(const char* pName) const
    {
        struct stat Info;
        return 0 == stat((Dir + "/" + pName).c_str(), &Info);
    }
    zsock_t* Keep(zsock_t* pSocket)
    {
        Listeners.push_back(pSocket);
        return pSocket;
    }
    void* Peer(int Type, bool Bind, const std::string& Address)
    {
        void* pPeer = zmq_socket(pContext, Type);
        int Linger = 0;
        zmq_setsockopt(pPeer, ZMQ_LINGER, &Linger, sizeof(Linger));
        EXPECT_EQ(0, Bind ? zmq_bind(pPeer, Address.c_str()) : zmq_connect(pPeer, Address.c_str()));
        Peers.push_back(pPeer);
        return pPeer;
    }
    static void Send(void* pPeer, const tFrames& Frames)
    {
        for (size_t Index = 0; Index < Frames.size(); Index++)
        {
            int Flags = (Index + 1 < Frames.size()) ? ZMQ_SNDMORE : 0;
            ASSERT_EQ(static_cast<int>(Frames[Index].size()),
                      zmq_send(pPeer, Frames[Index].data(), Frames[Index].size(), Flags));
        }
    }
    // Waits until an XPUB peer sees the next subscription; returns its prefix.
    static std::string AwaitSubscription(void* pXpub)
    {
        zmq_pollitem_t Item = {pXpub, 0, ZMQ_POLLIN, 0};
        if (1 != zmq_poll(&Item, 1, 10000))
        {
            return "(none)";
        }
        tFrames Frames = RecvFrames(pXpub);
        EXPECT_EQ(1u, Frames.size());
        EXPECT_EQ('\1', Frames.at(0).at(0)) << "not a subscription";
        return Frames.at(0).substr(1);
    }
    // Runs the loop until a handler ends it; false when it ran into the
    // generous safety time-out instead.
    static bool RunLoop(zloop_t* pRunLoop)
    {
        bool TimedOut = false;
        auto OnTimeout = [](zloop_t*, int, void* pArg) -> int {
            *static_cast<bool*>(pArg) = true;
            return -1;
        };
        int TimerId = zloop_timer(pRunLoop, 10000, 1, OnTimeout, &TimedOut);
        zloop_start(pRunLoop);
        zloop_timer_end(pRunLoop, TimerId);
        return !TimedOut;
    }

    std::string Dir;
    zloop_t* pLoop = nullptr;
    void* pContext = nullptr;
    std::vector<zsock_t*> Listeners;
    std::vector<void*> Peers;
};

TEST_F(ZmqUtilsTest, SubscriberFiltersByTopicsOrTakesEverything)
{
    // No topics: one subscription to the empty prefix, so every topic arrives.
    void* pAllPub = Peer(ZMQ_XPUB, true, Endpoint("all"));
    sRecorder All(3);
    Keep(ZmqCreateListenerType(pLoop, Endpoint("all").c_str(), LCT_CONNECT, sRecorder::Handler, 0, nullptr, &All,
                               ZMQ_SUB));
    EXPECT_EQ("", AwaitSubscription(pAllPub));
    Send(pAllPub, {"Alpha", "1"});
    Send(pAllPub, {"Zulu"});
    Send(pAllPub, {"", "empty topic"});
    ASSERT_TRUE(RunLoop(pLoop));
    EXPECT_EQ((std::vector<tFrames>{{"Alpha", "1"}, {"Zulu"}, {"", "empty topic"}}), All.Messages);

    // Topics are prefixes, subscribed in index order.
    void* pSomePub = Peer(ZMQ_XPUB, true, Endpoint("some"));
    tsTopic Topics[] = {{"Alpha"}, {"Mid"}};
    sRecorder Some(2);
    Keep(ZmqCreateListener(pLoop, Endpoint("some").c_str(), LCT_CONNECT, sRecorder::Handler, 2, Topics, &Some));
    EXPECT_EQ("Alpha", AwaitSubscription(pSomePub));
    EXPECT_EQ("Mid", AwaitSubscription(pSomePub));
    Send(pSomePub, {"Zulu", "dropped"});
    Send(pSomePub, {"AlphaBeta", "1"});
    Send(pSomePub, {"Mi", "dropped"});
    Send(pSomePub, {"Middle", "2"});
    ASSERT_TRUE(RunLoop(pLoop));
    EXPECT_EQ((std::vector<tFrames>{{"AlphaBeta", "1"}, {"Middle", "2"}}), Some.Messages);
}

TEST_F(ZmqUtilsTest, OnlyConnectTypeOneConnects)
{
    const struct
    {
        teListenConnectType ConnectType;
        const char* pName;
        bool Binds;
    } Cases[] = {{LCT_BIND, "bind", true}, {static_cast<teListenConnectType>(5), "five", true},
                 {LCT_CONNECT, "connect", false}};
    for (const auto& Case : Cases)
    {
        SCOPED_TRACE(Case.pName);
        zloop_t* pCaseLoop = zloop_new();
        sRecorder Recorder(1);
        // A pull socket ignores the topic count and never reads the array.
        zsock_t* pPull = ZmqCreateListenerType(pCaseLoop, Endpoint(Case.pName).c_str(), Case.ConnectType,
                                               sRecorder::Handler, 3, nullptr, &Recorder, ZMQ_PULL);
        ASSERT_NE(nullptr, Keep(pPull));
        // Binding an ipc endpoint creates its socket file; connecting does not.
        EXPECT_EQ(Case.Binds, Exists(Case.pName));
        Send(Peer(ZMQ_PUSH, !Case.Binds, Endpoint(Case.pName)), {"Set Prom", "{}"});
        EXPECT_TRUE(RunLoop(pCaseLoop));
        EXPECT_EQ((std::vector<tFrames>{{"Set Prom", "{}"}}), Recorder.Messages);
        zloop_destroy(&pCaseLoop);
    }
}

TEST_F(ZmqUtilsTest, LenientCreationReportsAndStillReturnsTheSocket)
{
    // Bind fails: reported, and the unattached socket is still a reader.
    const std::string Missing = Endpoint("missing/cmd");
    sRecorder Recorder(1);
    cCaptureStdout Capture;
    zsock_t* pPull = ZmqCreateListenerType(pLoop, Missing.c_str(), LCT_BIND, sRecorder::Handler, 0, nullptr,
                                           &Recorder, ZMQ_PULL);
    EXPECT_EQ("ZMQU Error: Unable to connet or bind socket " + Missing + "\n", Capture.Finish());
    ASSERT_NE(nullptr, Keep(pPull));
    ASSERT_EQ(0, zsock_bind(pPull, "%s", Endpoint("late").c_str()));
    Send(Peer(ZMQ_PUSH, false, Endpoint("late")), {"Set Prom"});
    EXPECT_TRUE(RunLoop(pLoop));
    EXPECT_EQ((std::vector<tFrames>{{"Set Prom"}}), Recorder.Messages);

    // Registration fails: reported, the socket is bound but never read.
    cCaptureStdout Capture2;
    FailReaderRegistration = true;
    zsock_t* pUnread = ZmqCreateListenerType(pLoop, Endpoint("unread").c_str(), LCT_BIND, sRecorder::Handler, 0,
                                             nullptr, nullptr, ZMQ_SUB);
    FailReaderRegistration = false;
    EXPECT_EQ("ZMQU Error: Unable to add reader for " + Endpoint("unread") + ".\n", Capture2.Finish());
    EXPECT_NE(nullptr, Keep(pUnread));
    EXPECT_TRUE(Exists("unread"));
}

TEST_F(ZmqUtilsTest, ParseSystemControlEndsTheLoopOnlyForAStopAddressedToUs)
{
    void* pXpub = Peer(ZMQ_XPUB, true, Endpoint("SysCntl"));
    tsTopic StopTopic = {"ServiceStop"};
    Keep(ZmqCreateListener(pLoop, Endpoint("SysCntl").c_str(), LCT_CONNECT, ParseSystemControl, 1, &StopTopic,
                           nullptr));
    EXPECT_EQ("ServiceStop", AwaitSubscription(pXpub));
    Send(pXpub, {"Other", ForUs});
    Send(pXpub, {"ServiceStopNow", ForUs});
    Send(pXpub, {"ServiceStop", NotForUs});
    Send(pXpub, {"ServiceStop"});
    Send(pXpub, {"ServiceStop", ForUs});
    cCaptureStdout Capture;
    ASSERT_TRUE(RunLoop(pLoop));
    // Only the message without payload printed anything: the parser's three
    // lines for a null text and the not-an-array line.
    std::string Output = Capture.Finish();
    EXPECT_EQ(4, std::count(Output.begin(), Output.end(), '\n')) << Output;
    EXPECT_NE(std::string::npos, Output.find("JUTL_ERROR: JSON Root in JsonParseStop() is not an array.\n"));
    // The addressed stop ended the loop and was consumed; nothing waits.
    EXPECT_EQ(0, ParseSystemControl(pLoop, Listeners.back(), nullptr));
}

TEST_F(ZmqUtilsTest, ReadersConsumeEachMessageAndMapIt)
{
    const std::vector<tFrames> Stops = {{"ServiceStop", ForUs},         {"ServiceStop", NotForUs},
                                        {"ServiceStopX", ForUs},        {"servicestop", ForUs},
                                        {"ServiceStop", ForUs, "extra"}, {"ServiceStop", "not json"}};
    const std::vector<int> StopResults = {-1, 0, 0, 0, -1, 0};
    const std::vector<tFrames> Statuses = {{"SysStatus", "Ok"}, {"SysStatus", "Error"}, {"SysStatus", "ok"},
                                           {"SysStatus", "Okay"}, {"SysStatus"},        {"SysStatusX", "Ok"},
                                           {"Other", "Error"},  {"SysStatus", "Error", "extra"}};
    const std::vector<ProcessStatus_e> StatusResults = {PS_OK,      PS_FAULT,   PS_WAITING, PS_WAITING,
                                                        PS_WAITING, PS_WAITING, PS_WAITING, PS_FAULT};
    std::vector<int> Results;
    std::vector<ProcessStatus_e> Stored;
    sReader Reader;
    Reader.Count = Stops.size() + Statuses.size() + 1;
    Reader.OnMessage = [&](zloop_t* pRunLoop, zsock_t* pSocket) {
        if (Results.size() < Stops.size())
        {
            Results.push_back(ParseSystemControl(pRunLoop, pSocket, nullptr));
        }
        else if (Stored.size() < Statuses.size())
        {
            ProcessStatus_e Status = PS_SHUTDOWN;
            EXPECT_EQ(0, SystemStatCallback(pRunLoop, pSocket, &Status));
            Stored.push_back(Status);
        }
        else
        {
            EXPECT_EQ(0, SystemStatCallback(pRunLoop, pSocket, nullptr));
        }
    };
    zsock_t* pPull = Keep(ZmqCreateListenerType(pLoop, Endpoint("pull").c_str(), LCT_BIND, sReader::Handler, 0,
                                                nullptr, &Reader, ZMQ_PULL));
    void* pPush = Peer(ZMQ_PUSH, false, Endpoint("pull"));
    for (const tFrames& Frames : Stops)
    {
        Send(pPush, Frames);
    }
    for (const tFrames& Frames : Statuses)
    {
        Send(pPush, Frames);
    }
    Send(pPush, {"SysStatus", "Ok"});
    cCaptureStdout Capture;
    ASSERT_TRUE(RunLoop(pLoop));
    Capture.Finish();
    EXPECT_EQ(StopResults, Results);
    EXPECT_EQ(StatusResults, Stored);

    // Nothing waiting: no change for the stop reader, PS_WAITING for status.
    EXPECT_EQ(0, ParseSystemControl(pLoop, pPull, nullptr));
    ProcessStatus_e Status = PS_OK;
    EXPECT_EQ(0, SystemStatCallback(pLoop, pPull, &Status));
    EXPECT_EQ(PS_WAITING, Status);
}

// The death tests touch no files: a failed bind and a connect create none.
TEST(ZmqUtilsDeathTest, BrokenPreconditionsAndStrictFailuresAreFatal)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string Nowhere = "ipc:///tmp/zmqutils-missing-" + std::to_string(getpid()) + "/sock";
    tsTopic NullTopic[] = {{"A"}, {nullptr}};
    zloop_t* pLoop = zloop_new();
    EXPECT_DEATH(ZmqCreateListener(pLoop, Nowhere.c_str(), LCT_BIND, ParseSystemControl, 0, nullptr, nullptr),
                 "0 <= Result");
    EXPECT_DEATH(
        {
            FailReaderRegistration = true;
            ZmqCreateListener(pLoop, Nowhere.c_str(), LCT_CONNECT, ParseSystemControl, 0, nullptr, nullptr);
        },
        "0 == Result");
    EXPECT_DEATH(ZmqCreateListener(nullptr, Nowhere.c_str(), LCT_CONNECT, ParseSystemControl, 0, nullptr, nullptr),
                 "pLoop");
    EXPECT_DEATH(ZmqCreateListenerType(pLoop, Nowhere.c_str(), LCT_CONNECT, ParseSystemControl, 2, NullTopic,
                                       nullptr, ZMQ_SUB),
                 "pTopic");
    zloop_destroy(&pLoop);
}
