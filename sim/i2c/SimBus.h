// SimBus: the transfer engine of the simulated I2C buses: which device
// answers an address, and each transfer's messages run against the chips of
// the running session (SimSession.h).
#ifndef SIM_I2C_SIMBUS_H
#define SIM_I2C_SIMBUS_H

#include <cerrno>
#include <cstdint>

namespace unitsim
{
// What a transfer fails with when an address is not acknowledged; the errno
// Linux bus drivers report for a NACK in the address phase.
const int SimNackErrno = ENXIO;

// One message of a transfer, as in struct i2c_msg.
struct sSimMsg
{
    uint16_t Addr;      // 7-bit address (10-bit with I2C_M_TEN)
    uint16_t Flags;     // I2C_M_RD, I2C_M_TEN, I2C_M_RECV_LEN; others are ignored
    uint16_t Len;       // bytes; a I2C_M_RECV_LEN read grows by the received count
    uint8_t* pBuf;      // data to write, or room for the data read
};

// True when the session has bus number Bus.
bool SimBusExists(unsigned Bus);

// True when a device at Addr on Bus refuses address selection (slave_busy),
// as a bus claimed by a kernel driver does.
bool SimBusAddressBusy(unsigned Bus, unsigned Addr);

// Runs one transfer: the messages in order as one combined transaction with
// a single STOP at the end. Read data is written into the messages' buffers
// even when the transfer fails; the caller copies it out only on success.
// Returns the number of messages, or -SimNackErrno when a message is not
// acknowledged (the following messages are not sent), -EPROTO for a bad
// I2C_M_RECV_LEN count, or -EOPNOTSUPP, before anything is sent, for a read
// of more than one byte from a device with long_read_fail.
int SimBusTransfer(unsigned Bus, sSimMsg* pMsgs, unsigned NumMsgs);
}

#endif
