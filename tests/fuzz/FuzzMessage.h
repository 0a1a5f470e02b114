// FuzzMessage: hands a fuzz input to a reader handler as a ZeroMQ message.
#ifndef TESTS_FUZZ_FUZZMESSAGE_H
#define TESTS_FUZZ_FUZZMESSAGE_H

#include <czmq.h>

// The fuzz input as a message, its frames split at each 0xFF byte.
inline zmsg_t* FuzzFrames(const uint8_t* pData, size_t Size)
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
    return pMessage;
}

// A PUSH/PULL pair over inproc: what is sent on one is read by a handler on
// the other, through the real library.
class cFuzzChannel
{
public:
    cFuzzChannel()
    {
        zsys_init();
        zsys_set_logstream(nullptr);
        pPull = zsock_new_pull("inproc://fuzz");
        pPush = zsock_new_push(">inproc://fuzz");
    }

    // Sends pData as one message, its frames split at each 0xFF byte, and
    // returns the socket the handler reads it from.
    zsock_t* Send(const uint8_t* pData, size_t Size)
    {
        zmsg_t* pMessage = FuzzFrames(pData, Size);
        zmsg_send(&pMessage, pPush);
        return pPull;
    }

private:
    zsock_t* pPull;
    zsock_t* pPush;
};

#endif
