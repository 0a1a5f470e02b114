// Fuzzes the system-control reader: the input goes as a message through a
// real ZeroMQ socket pair (cFuzzChannel) to the service's handler, which
// must never crash or leak, and ends the loop only for the topic
// "ServiceStop" (the first frame up to its first NUL). Each seed is a stop
// request that ends it.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "FuzzMessage.h"
#include "FuzzSeeds.h"
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
    ZmqSetListenerLimits(64 * 1024, 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t Size)
{
    std::string Text(reinterpret_cast<const char*>(pData), Size);
    // The frames hold every byte but the 0xFF separators.
    std::string Frame = Text.substr(0, Text.find('\xff'));
    bool IsStopTopic = Frame.size() < Text.size() && Frame.substr(0, Frame.find('\0')) == "ServiceStop"
                       && Size - std::count(Text.begin(), Text.end(), '\xff') <= 64 * 1024;
    int Result = JsonParseSystemMessage(nullptr, pChannel->Send(pData, Size), nullptr);
    // Only the topic, with a payload, within the limit, can end the loop.
    if ((-1 == Result && !IsStopTopic) || (0 != Result && -1 != Result))
    {
        __builtin_trap();
    }
    SeedReached(-1 == Result, Size, "the stop handler: the loop was not ended");
    return 0;
}
