// SimLibc: the C library's own versions of the functions the simulation
// wraps, and the simulation's diagnostics.
//
// Inside the simulation every call of a wrapped function goes through these,
// never through the wrapper, so the simulation cannot recurse into itself;
// the wrappers pass the calls that are not the simulation's on through them
// too. Each real function is looked up once (dlsym RTLD_NEXT); a missing one
// aborts with its name.
//
// Programs that link the description parser without the rest of the
// simulation (unitsim-run, the parser's fuzz target) leave out SimLibc.cpp
// and define ReportError, TraceOn and Trace themselves.
#ifndef SIM_I2C_SIMLIBC_H
#define SIM_I2C_SIMLIBC_H

#include <sys/types.h>

namespace unitsim
{
// open() and its spellings: large-file (64), relative to a directory (At)
// and fortified (_2, which take no mode).
int RealOpen(const char* pPath, int Flags, mode_t Mode);
int RealOpen64(const char* pPath, int Flags, mode_t Mode);
int RealOpenAt(int Dir, const char* pPath, int Flags, mode_t Mode);
int RealOpenAt64(int Dir, const char* pPath, int Flags, mode_t Mode);
int RealOpen_2(const char* pPath, int Flags);
int RealOpen64_2(const char* pPath, int Flags);
int RealOpenAt_2(int Dir, const char* pPath, int Flags);
int RealOpenAt64_2(int Dir, const char* pPath, int Flags);
int RealClose(int Fd);
ssize_t RealRead(int Fd, void* pBuf, size_t Count);
// __read_chk: read() of a buffer of BufSize bytes, checked.
ssize_t RealReadChk(int Fd, void* pBuf, size_t Count, size_t BufSize);
ssize_t RealWrite(int Fd, const void* pBuf, size_t Count);
// ioctl, and __ioctl_time64, what it becomes on 32-bit targets built with a
// 64-bit time_t; the one argument is passed on as a pointer.
int RealIoctl(int Fd, unsigned long Request, void* pArg);
int RealIoctlTime64(int Fd, unsigned long Request, void* pArg);
// fcntl, its large-file spelling fcntl64 and __fcntl_time64 (a 64-bit
// time_t on a 32-bit target); the one argument is passed on as a pointer.
int RealFcntl(int Fd, int Command, void* pArg);
int RealFcntl64(int Fd, int Command, void* pArg);
int RealFcntlTime64(int Fd, int Command, void* pArg);

// True when UNITSIM_DEBUG is set to anything but "" or "0".
bool TraceOn();
// Writes "unitsim-i2c[pid]: " and the formatted text as one line to
// standard error when tracing is on.
void Trace(const char* pFormat, ...) __attribute__((format(printf, 1, 2)));
// Writes "unitsim-i2c: Error: " and the formatted text as one line to
// standard error, always. errno is left as it was.
void ReportError(const char* pFormat, ...) __attribute__((format(printf, 1, 2)));
}

#endif
