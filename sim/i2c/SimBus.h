// SimBus: the simulated I2C buses of one unit session and the devices on
// them.
//
// A session is one run of unitsim-run (or one unitsim_i2c_load in a test
// binary). The description is parsed once per process, on first use. The
// volatile state that real hardware would keep in the chips (address
// counters, write cycles) and the session's counters (transfer numbers,
// fault counts) live in a file in UNITSIM_STATE_DIR that every process of
// the session maps, guarded by an open-file-description lock on that file;
// without that variable they live in memory shared only with forked
// children (SimSession.cpp). The transfer engine is SimBus.cpp. Chip
// content lives in mapped image files, so it outlasts the session like a
// non-volatile part.
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

enum eSimStatus
{
    SIM_OFF,        // no description or no "i2c" section: nothing is emulated
    SIM_ON,         // buses are emulated
    SIM_BROKEN,     // the section is malformed (reported): bus opens fail
};

// The session's status, loading the description named by UNITSIM_UNIT on
// the first call of the process.
eSimStatus SimSessionStatus();

// Drops the process's session (descriptors opened before are no longer
// emulated) and starts a new one from the description at pUnitPath, or
// UNITSIM_UNIT when null, with fresh session state. Returns true on failure.
bool SimSessionReload(const char* pUnitPath);

// Identity of the running session; descriptors remember it.
uint64_t SimSessionId();

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
