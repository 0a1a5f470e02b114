// Fuzzes the system-control reader: the input goes as a message through a
// real ZeroMQ socket pair (cFuzzChannel) to the service's handler, which
// must never crash or leak, and ends the loop only for the exact topic
// "ServiceStop".
#include <cstdio>
#include <cstring>
#include <string>

#include "FuzzMessage.h"
#include "JsonParseSystemMessage.h"
#include "ZmqUtils.h"

static cFuzzChannel* pChannel = nullptr;

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    if (nullptr == freopen("/dev/null", "w", stdout))
    {
        return 1;
    }
    pChannel = new cFuzzChannel();
    ZmqSetListenerMaxMsgSize(64 * 1024);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t Size)
{
    std::string Text(reinterpret_cast<const char*>(pData), Size);
    bool ExactTopic = 0 == Text.rfind("ServiceStop\xff", 0);
    int Result = JsonParseSystemMessage(nullptr, pChannel->Send(pData, Size), nullptr);
    // Only the exact topic, with a payload, can end the loop.
    if ((-1 == Result && !ExactTopic) || (0 != Result && -1 != Result))
    {
        __builtin_trap();
    }
    return 0;
}
