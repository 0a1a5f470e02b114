// UnitsimI2c: what the simulated I2C buses' library exports: the C library
// functions it wraps, and unitsim_i2c_load.
//
// The library is preloaded into every program of a simulated unit (and
// linked into test binaries), so each wrapper first decides cheaply whether
// the call is the simulation's: opens by the path "/dev/i2c-N", the other
// calls by a table of emulated descriptors that is empty in almost every
// process. Everything else goes to the C library untouched, errno included.
// A call on a descriptor the process does not know (inherited through exec,
// or a dup) reaches the C library first and fails with EBADF; only then is
// the descriptor examined.
//
// The headers are used without fortification, large-file or 64-bit-time
// redirections, which would rename the wrappers defined here.
#undef _FORTIFY_SOURCE
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS

#include <cerrno>
#include <cstdarg>

#include <fcntl.h>
#include <unistd.h>

#include "UnitsimI2c.h"

#include "SimDev.h"
#include "SimLibc.h"
#include "SimOfd.h"
#include "SimSession.h"

#define UNITSIM_EXPORT __attribute__((visibility("default")))

namespace
{
// An ioctl on Fd: the simulation's, or the C library's (pReal, the real
// ioctl or __ioctl_time64) when Fd is not an emulated descriptor it knows
// or can adopt.
int Ioctl(int (*pReal)(int, unsigned long, void*), int Fd, unsigned long Request, void* pArg)
{
    int Result;
    if (unitsim::SimDevIoctl(Fd, Request, pArg, &Result))
    {
        return Result;
    }
    Result = pReal(Fd, Request, pArg);
    if (Result == -1 && errno == EBADF && unitsim::SimOfdAdopt(Fd))
    {
        unitsim::SimDevIoctl(Fd, Request, pArg, &Result);
    }
    return Result;
}

// An fcntl on Fd: the simulation's record locks, or the C library's
// (pReal: fcntl, fcntl64 or __fcntl_time64) for everything else.
int Fcntl(int (*pReal)(int, int, void*), int Fd, int Command, void* pArg)
{
    int Result;
    if (unitsim::SimDevFcntl(Fd, Command, pArg, &Result))
    {
        return Result;
    }
    Result = pReal(Fd, Command, pArg);
    if (Result == -1 && errno == EBADF && unitsim::SimOfdAdopt(Fd))
    {
        unitsim::SimDevFcntl(Fd, Command, pArg, &Result);
    }
    return Result;
}

// What a read the C library refused with EBADF gives when Fd turns out to
// be an emulated descriptor; else the C library's Result.
ssize_t Read(int Fd, void* pBuf, size_t Count, ssize_t Result)
{
    if (Result == -1 && errno == EBADF && unitsim::SimOfdAdopt(Fd))
    {
        unitsim::SimDevRead(Fd, pBuf, Count, &Result);
    }
    return Result;
}
}

extern "C" {

// open() and its spellings: fortified (__open_2), large-file (open64) and
// relative to a directory (openat; only absolute paths can name a bus).
// The mode argument exists only with O_CREAT or O_TMPFILE.
#define UNITSIM_MODE(Flags, Last)            \
    mode_t Mode = 0;                         \
    if (__OPEN_NEEDS_MODE(Flags))            \
    {                                        \
        va_list Args;                        \
        va_start(Args, Last);                \
        Mode = va_arg(Args, int);            \
        va_end(Args);                        \
    }

UNITSIM_EXPORT int open(const char* pPath, int Flags, ...)
{
    UNITSIM_MODE(Flags, Flags)
    int Result;
    return unitsim::SimDevOpen(pPath, Flags, &Result) ? Result : unitsim::RealOpen(pPath, Flags, Mode);
}

UNITSIM_EXPORT int open64(const char* pPath, int Flags, ...)
{
    UNITSIM_MODE(Flags, Flags)
    int Result;
    return unitsim::SimDevOpen(pPath, Flags, &Result) ? Result : unitsim::RealOpen64(pPath, Flags, Mode);
}

UNITSIM_EXPORT int openat(int Dir, const char* pPath, int Flags, ...)
{
    UNITSIM_MODE(Flags, Flags)
    int Result;
    return unitsim::SimDevOpen(pPath, Flags, &Result) ? Result : unitsim::RealOpenAt(Dir, pPath, Flags, Mode);
}

UNITSIM_EXPORT int openat64(int Dir, const char* pPath, int Flags, ...)
{
    UNITSIM_MODE(Flags, Flags)
    int Result;
    return unitsim::SimDevOpen(pPath, Flags, &Result) ? Result : unitsim::RealOpenAt64(Dir, pPath, Flags, Mode);
}

UNITSIM_EXPORT int __open_2(const char* pPath, int Flags)
{
    int Result;
    return unitsim::SimDevOpen(pPath, Flags, &Result) ? Result : unitsim::RealOpen_2(pPath, Flags);
}

UNITSIM_EXPORT int __open64_2(const char* pPath, int Flags)
{
    int Result;
    return unitsim::SimDevOpen(pPath, Flags, &Result) ? Result : unitsim::RealOpen64_2(pPath, Flags);
}

UNITSIM_EXPORT int __openat_2(int Dir, const char* pPath, int Flags)
{
    int Result;
    return unitsim::SimDevOpen(pPath, Flags, &Result) ? Result : unitsim::RealOpenAt_2(Dir, pPath, Flags);
}

UNITSIM_EXPORT int __openat64_2(int Dir, const char* pPath, int Flags)
{
    int Result;
    return unitsim::SimDevOpen(pPath, Flags, &Result) ? Result : unitsim::RealOpenAt64_2(Dir, pPath, Flags);
}

UNITSIM_EXPORT int close(int Fd)
{
    unitsim::SimDevClose(Fd);
    return unitsim::RealClose(Fd);
}

UNITSIM_EXPORT ssize_t read(int Fd, void* pBuf, size_t Count)
{
    ssize_t Result;
    if (unitsim::SimDevRead(Fd, pBuf, Count, &Result))
    {
        return Result;
    }
    return Read(Fd, pBuf, Count, unitsim::RealRead(Fd, pBuf, Count));
}

// read() of a buffer whose size the compiler knows (_FORTIFY_SOURCE); the C
// library's version aborts on overflow before reading.
UNITSIM_EXPORT ssize_t __read_chk(int Fd, void* pBuf, size_t Count, size_t BufSize)
{
    ssize_t Result;
    if (Count <= BufSize && unitsim::SimDevRead(Fd, pBuf, Count, &Result))
    {
        return Result;
    }
    return Read(Fd, pBuf, Count, unitsim::RealReadChk(Fd, pBuf, Count, BufSize));
}

UNITSIM_EXPORT ssize_t write(int Fd, const void* pBuf, size_t Count)
{
    ssize_t Result;
    if (unitsim::SimDevWrite(Fd, pBuf, Count, &Result))
    {
        return Result;
    }
    Result = unitsim::RealWrite(Fd, pBuf, Count);
    if (Result == -1 && errno == EBADF && unitsim::SimOfdAdopt(Fd))
    {
        unitsim::SimDevWrite(Fd, pBuf, Count, &Result);
    }
    return Result;
}

// Every ioctl passes at most one argument, an integer or a pointer, so one
// pointer-sized variadic argument is read; when the caller passed none its
// value is never used.
UNITSIM_EXPORT int ioctl(int Fd, unsigned long Request, ...)
{
    va_list Args;
    va_start(Args, Request);
    void* pArg = va_arg(Args, void*);
    va_end(Args);
    return Ioctl(unitsim::RealIoctl, Fd, Request, pArg);
}

// What ioctl becomes on 32-bit targets built with a 64-bit time_t.
UNITSIM_EXPORT int __ioctl_time64(int Fd, unsigned long Request, ...)
{
    va_list Args;
    va_start(Args, Request);
    void* pArg = va_arg(Args, void*);
    va_end(Args);
    return Ioctl(unitsim::RealIoctlTime64, Fd, Request, pArg);
}

// fcntl passes at most one argument, an integer or a pointer: read as for
// ioctl. fcntl64 is its large-file spelling, __fcntl_time64 what it becomes
// on 32-bit targets built with a 64-bit time_t.
#define UNITSIM_FCNTL(Name, Real)                               \
    UNITSIM_EXPORT int Name(int Fd, int Command, ...)           \
    {                                                           \
        va_list Args;                                           \
        va_start(Args, Command);                                \
        void* pArg = va_arg(Args, void*);                       \
        va_end(Args);                                           \
        return Fcntl(Real, Fd, Command, pArg);                  \
    }
UNITSIM_FCNTL(fcntl, unitsim::RealFcntl)
UNITSIM_FCNTL(fcntl64, unitsim::RealFcntl64)
UNITSIM_FCNTL(__fcntl_time64, unitsim::RealFcntlTime64)

UNITSIM_EXPORT int unitsim_i2c_load(const char* pUnitPath)
{
    unitsim::SimOfdForgetAll();
    return unitsim::SimSessionReload(pUnitPath) ? -1 : 0;
}
}
