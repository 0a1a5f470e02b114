// Preload: the C library functions the simulated I2C buses wrap.
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
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include "SimBus.h"
#include "SimDev.h"
#include "SimLibc.h"
#include "UnitsimI2c.h"

#define UNITSIM_EXPORT __attribute__((visibility("default")))

namespace
{
using tOpen = int (*)(const char*, int, ...);
using tOpenAt = int (*)(int, const char*, int, ...);
using tOpen2 = int (*)(const char*, int);
using tOpenAt2 = int (*)(int, const char*, int);
using tClose = int (*)(int);
using tRead = ssize_t (*)(int, void*, size_t);
using tReadChk = ssize_t (*)(int, void*, size_t, size_t);
using tWrite = ssize_t (*)(int, const void*, size_t);
using tIoctl = int (*)(int, unsigned long, ...);

// Looks up the next definition of pName after this library; aborts naming
// it when there is none.
void* Resolve(const char* pName)
{
    void* pFunction = dlsym(RTLD_NEXT, pName);
    if (pFunction == nullptr)
    {
        // dprintf writes without going through the wrappers.
        dprintf(2, "unitsim-i2c: Error: the C library lacks %s\n", pName);
        abort();
    }
    return pFunction;
}

// Each real function is looked up on its first call (a wrapper can run
// before any constructor of this library) and kept.
#define UNITSIM_REAL(Type, Name)                                          \
    Type Real_##Name()                                                    \
    {                                                                     \
        static Type s_p;                                                  \
        Type p = __atomic_load_n(&s_p, __ATOMIC_RELAXED);                 \
        if (p == nullptr)                                                 \
        {                                                                 \
            p = reinterpret_cast<Type>(Resolve(#Name));                   \
            __atomic_store_n(&s_p, p, __ATOMIC_RELAXED);                  \
        }                                                                 \
        return p;                                                         \
    }

UNITSIM_REAL(tOpen, open)
UNITSIM_REAL(tOpen, open64)
UNITSIM_REAL(tOpenAt, openat)
UNITSIM_REAL(tOpenAt, openat64)
UNITSIM_REAL(tOpen2, __open_2)
UNITSIM_REAL(tOpen2, __open64_2)
UNITSIM_REAL(tOpenAt2, __openat_2)
UNITSIM_REAL(tOpenAt2, __openat64_2)
UNITSIM_REAL(tClose, close)
UNITSIM_REAL(tRead, read)
UNITSIM_REAL(tReadChk, __read_chk)
UNITSIM_REAL(tWrite, write)
UNITSIM_REAL(tIoctl, ioctl)
UNITSIM_REAL(tIoctl, __ioctl_time64)

int s_Trace = -1;   // UNITSIM_DEBUG: -1 not read yet, 0 off, 1 on

void WriteLine(const char* pPrefix, const char* pFormat, va_list Args)
{
    char Line[1024];
    int Length = snprintf(Line, sizeof(Line), "%s", pPrefix);
    int Text = vsnprintf(Line + Length, sizeof(Line) - Length - 1, pFormat, Args);
    Length += Text < 0 ? 0 : (Text < int(sizeof(Line)) - Length - 1 ? Text : int(sizeof(Line)) - Length - 2);
    Line[Length++] = '\n';
    unitsim::RealWrite(2, Line, static_cast<size_t>(Length));
}

int Ioctl(tIoctl pReal, int Fd, unsigned long Request, void* pArg)
{
    int Result;
    if (unitsim::SimDevIoctl(Fd, Request, pArg, &Result))
    {
        return Result;
    }
    Result = pReal(Fd, Request, pArg);
    if (Result == -1 && errno == EBADF && unitsim::SimDevAdopt(Fd))
    {
        unitsim::SimDevIoctl(Fd, Request, pArg, &Result);
    }
    return Result;
}

ssize_t Read(int Fd, void* pBuf, size_t Count, ssize_t Result)
{
    if (Result == -1 && errno == EBADF && unitsim::SimDevAdopt(Fd))
    {
        unitsim::SimDevRead(Fd, pBuf, Count, &Result);
    }
    return Result;
}
}

namespace unitsim
{
int RealOpen(const char* pPath, int Flags, mode_t Mode)
{
    return Real_open()(pPath, Flags, Mode);
}

int RealClose(int Fd)
{
    return Real_close()(Fd);
}

ssize_t RealRead(int Fd, void* pBuf, size_t Count)
{
    return Real_read()(Fd, pBuf, Count);
}

ssize_t RealWrite(int Fd, const void* pBuf, size_t Count)
{
    return Real_write()(Fd, pBuf, Count);
}

bool TraceOn()
{
    int Trace = __atomic_load_n(&s_Trace, __ATOMIC_RELAXED);
    if (Trace < 0)
    {
        const char* pValue = getenv("UNITSIM_DEBUG");
        Trace = pValue != nullptr && pValue[0] != '\0' && strcmp(pValue, "0") != 0;
        __atomic_store_n(&s_Trace, Trace, __ATOMIC_RELAXED);
    }
    return Trace != 0;
}

void Trace(const char* pFormat, ...)
{
    if (!TraceOn())
    {
        return;
    }
    int Saved = errno;
    char Prefix[40];
    snprintf(Prefix, sizeof(Prefix), "unitsim-i2c[%d]: ", static_cast<int>(getpid()));
    va_list Args;
    va_start(Args, pFormat);
    WriteLine(Prefix, pFormat, Args);
    va_end(Args);
    errno = Saved;
}

void ReportError(const char* pFormat, ...)
{
    int Saved = errno;
    va_list Args;
    va_start(Args, pFormat);
    WriteLine("unitsim-i2c: Error: ", pFormat, Args);
    va_end(Args);
    errno = Saved;
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
    return unitsim::SimDevOpen(pPath, Flags, &Result) ? Result : Real_open()(pPath, Flags, Mode);
}

UNITSIM_EXPORT int open64(const char* pPath, int Flags, ...)
{
    UNITSIM_MODE(Flags, Flags)
    int Result;
    return unitsim::SimDevOpen(pPath, Flags, &Result) ? Result : Real_open64()(pPath, Flags, Mode);
}

UNITSIM_EXPORT int openat(int Dir, const char* pPath, int Flags, ...)
{
    UNITSIM_MODE(Flags, Flags)
    int Result;
    return unitsim::SimDevOpen(pPath, Flags, &Result) ? Result : Real_openat()(Dir, pPath, Flags, Mode);
}

UNITSIM_EXPORT int openat64(int Dir, const char* pPath, int Flags, ...)
{
    UNITSIM_MODE(Flags, Flags)
    int Result;
    return unitsim::SimDevOpen(pPath, Flags, &Result) ? Result : Real_openat64()(Dir, pPath, Flags, Mode);
}

UNITSIM_EXPORT int __open_2(const char* pPath, int Flags)
{
    int Result;
    return unitsim::SimDevOpen(pPath, Flags, &Result) ? Result : Real___open_2()(pPath, Flags);
}

UNITSIM_EXPORT int __open64_2(const char* pPath, int Flags)
{
    int Result;
    return unitsim::SimDevOpen(pPath, Flags, &Result) ? Result : Real___open64_2()(pPath, Flags);
}

UNITSIM_EXPORT int __openat_2(int Dir, const char* pPath, int Flags)
{
    int Result;
    return unitsim::SimDevOpen(pPath, Flags, &Result) ? Result : Real___openat_2()(Dir, pPath, Flags);
}

UNITSIM_EXPORT int __openat64_2(int Dir, const char* pPath, int Flags)
{
    int Result;
    return unitsim::SimDevOpen(pPath, Flags, &Result) ? Result : Real___openat64_2()(Dir, pPath, Flags);
}

UNITSIM_EXPORT int close(int Fd)
{
    unitsim::SimDevClose(Fd);
    return Real_close()(Fd);
}

UNITSIM_EXPORT ssize_t read(int Fd, void* pBuf, size_t Count)
{
    ssize_t Result;
    if (unitsim::SimDevRead(Fd, pBuf, Count, &Result))
    {
        return Result;
    }
    return Read(Fd, pBuf, Count, Real_read()(Fd, pBuf, Count));
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
    return Read(Fd, pBuf, Count, Real___read_chk()(Fd, pBuf, Count, BufSize));
}

UNITSIM_EXPORT ssize_t write(int Fd, const void* pBuf, size_t Count)
{
    ssize_t Result;
    if (unitsim::SimDevWrite(Fd, pBuf, Count, &Result))
    {
        return Result;
    }
    Result = Real_write()(Fd, pBuf, Count);
    if (Result == -1 && errno == EBADF && unitsim::SimDevAdopt(Fd))
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
    return Ioctl(Real_ioctl(), Fd, Request, pArg);
}

// What ioctl becomes on 32-bit targets built with a 64-bit time_t.
UNITSIM_EXPORT int __ioctl_time64(int Fd, unsigned long Request, ...)
{
    va_list Args;
    va_start(Args, Request);
    void* pArg = va_arg(Args, void*);
    va_end(Args);
    return Ioctl(Real___ioctl_time64(), Fd, Request, pArg);
}

UNITSIM_EXPORT int unitsim_i2c_load(const char* pUnitPath)
{
    unitsim::SimDevForgetAll();
    return unitsim::SimSessionReload(pUnitPath) ? -1 : 0;
}
}
