// SimDev: the Linux i2c-dev character devices /dev/i2c-N of the simulated
// buses, at the level of open, ioctl, read and write.
//
// An emulated open hands out a real descriptor (an O_PATH descriptor of a
// private memfd), so descriptor numbers never collide with real ones and
// close, dup, fork and exec behave as the kernel makes them. Like the
// kernel's, the state that i2c-dev keeps per open file description (slave
// address, 10-bit and PEC flags) lives in that memfd, so dup'd and inherited
// descriptors share it. A process knows its own descriptors from a small
// table, checked against the descriptor's inode on every use; descriptors it
// inherited, or dup'd copies, are recognised when the C library call on them
// fails with EBADF, as every call on an O_PATH descriptor does.
//
// The table and the open file descriptions are SimOfd.cpp's, with the calls
// that forget and adopt descriptors (SimOfdClose, SimOfdAdopt).
//
// Each function returns false for calls that are not the simulation's; the
// caller then passes them to the C library. Otherwise the call's result is
// in *pResult, with errno set as the kernel would when it is -1.
#ifndef SIM_I2C_SIMDEV_H
#define SIM_I2C_SIMDEV_H

#include <sys/types.h>

namespace unitsim
{
// Opens /dev/i2c-N of a bus in the session; a bus missing from the session
// fails with ENOENT, a malformed description with EIO. Other paths, and all
// paths when nothing is emulated, are not the simulation's.
bool SimDevOpen(const char* pPath, int Flags, int* pResult);

bool SimDevIoctl(int Fd, unsigned long Request, void* pArg, int* pResult);
bool SimDevRead(int Fd, void* pBuf, size_t Count, ssize_t* pResult);
bool SimDevWrite(int Fd, const void* pBuf, size_t Count, ssize_t* pResult);
// The POSIX record locks of fcntl (F_GETLK, F_SETLK, F_SETLKW and their
// 64-bit spellings) on an emulated descriptor: one lock per bus for the
// whole session (SimSharedBusLock). Other commands are the C library's.
bool SimDevFcntl(int Fd, int Command, void* pArg, int* pResult);
// Forgets Fd before it is closed; closing a descriptor of a bus drops the
// process's lock on that bus, as closing any descriptor of a file does.
void SimDevClose(int Fd);
}

#endif
