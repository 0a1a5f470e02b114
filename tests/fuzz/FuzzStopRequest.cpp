// Fuzzes the system-control reader: a message of frames (the input split at
// each 0xFF byte) goes through a real ZeroMQ socket pair to the service's
// handler, which must never crash or leak, and ends the loop only for the
// exact topic "ServiceStop".
#include <cstdio>
#include <cstring>
#include <string>

#include "JsonParseSystemMessage.h"
#include "ZmqUtils.h"

static zsock_t* pPull = nullptr;
static zsock_t* pPush = nullptr;

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    if (nullptr == freopen("/dev/null", "w", stdout))
    {
        return 1;
    }
    zsys_init();
    zsys_set_logstream(nullptr);
    pPull = zsock_new_pull("inproc://fuzz-stop");
    pPush = zsock_new_push(">inproc://fuzz-stop");
    ZmqSetListenerMaxMsgSize(64 * 1024);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t Size)
{
    zmsg_t* pMessage = zmsg_new();
    const uint8_t* pFrame = pData;
    for (const uint8_t* p = pData; p <= pData + Size; p++)
    {
        if (p == pData + Size || 0xFF == *p)
        {
            zmsg_addmem(pMessage, pFrame, static_cast<size_t>(p - pFrame));
            pFrame = p + 1;
        }
    }
    std::string Text(reinterpret_cast<const char*>(pData), Size);
    bool ExactTopic = 0 == Text.rfind("ServiceStop\xff", 0);
    zmsg_send(&pMessage, pPush);
    int Result = JsonParseSystemMessage(nullptr, pPull, nullptr);
    // Only the exact topic, with a payload, can end the loop.
    if ((-1 == Result && !ExactTopic) || (0 != Result && -1 != Result))
    {
        __builtin_trap();
    }
    return 0;
}
