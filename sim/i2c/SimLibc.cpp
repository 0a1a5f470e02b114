// SimLibc: the C library's own versions of the wrapped functions, looked up
// past this library, and the diagnostics of the simulation, written with
// the real write() so that they never pass through the wrappers.
#include "SimLibc.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dlfcn.h>
#include <unistd.h>

namespace unitsim
{
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
using tFcntl = int (*)(int, int, ...);

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
UNITSIM_REAL(tFcntl, fcntl)
UNITSIM_REAL(tFcntl, fcntl64)
UNITSIM_REAL(tFcntl, __fcntl_time64)

int s_Trace = -1;   // UNITSIM_DEBUG: -1 not read yet, 0 off, 1 on

void WriteLine(const char* pPrefix, const char* pFormat, va_list Args)
{
    char Line[1024];
    int Length = snprintf(Line, sizeof(Line), "%s", pPrefix);
    int Text = vsnprintf(Line + Length, sizeof(Line) - Length - 1, pFormat, Args);
    Length += Text < 0 ? 0 : (Text < int(sizeof(Line)) - Length - 1 ? Text : int(sizeof(Line)) - Length - 2);
    Line[Length++] = '\n';
    RealWrite(2, Line, static_cast<size_t>(Length));
}
}

int RealOpen(const char* pPath, int Flags, mode_t Mode)
{
    return Real_open()(pPath, Flags, Mode);
}

int RealOpen64(const char* pPath, int Flags, mode_t Mode)
{
    return Real_open64()(pPath, Flags, Mode);
}

int RealOpenAt(int Dir, const char* pPath, int Flags, mode_t Mode)
{
    return Real_openat()(Dir, pPath, Flags, Mode);
}

int RealOpenAt64(int Dir, const char* pPath, int Flags, mode_t Mode)
{
    return Real_openat64()(Dir, pPath, Flags, Mode);
}

int RealOpen_2(const char* pPath, int Flags)
{
    return Real___open_2()(pPath, Flags);
}

int RealOpen64_2(const char* pPath, int Flags)
{
    return Real___open64_2()(pPath, Flags);
}

int RealOpenAt_2(int Dir, const char* pPath, int Flags)
{
    return Real___openat_2()(Dir, pPath, Flags);
}

int RealOpenAt64_2(int Dir, const char* pPath, int Flags)
{
    return Real___openat64_2()(Dir, pPath, Flags);
}

int RealClose(int Fd)
{
    return Real_close()(Fd);
}

ssize_t RealRead(int Fd, void* pBuf, size_t Count)
{
    return Real_read()(Fd, pBuf, Count);
}

ssize_t RealReadChk(int Fd, void* pBuf, size_t Count, size_t BufSize)
{
    return Real___read_chk()(Fd, pBuf, Count, BufSize);
}

ssize_t RealWrite(int Fd, const void* pBuf, size_t Count)
{
    return Real_write()(Fd, pBuf, Count);
}

int RealIoctl(int Fd, unsigned long Request, void* pArg)
{
    return Real_ioctl()(Fd, Request, pArg);
}

int RealIoctlTime64(int Fd, unsigned long Request, void* pArg)
{
    return Real___ioctl_time64()(Fd, Request, pArg);
}

int RealFcntl(int Fd, int Command, void* pArg)
{
    return Real_fcntl()(Fd, Command, pArg);
}

int RealFcntl64(int Fd, int Command, void* pArg)
{
    return Real_fcntl64()(Fd, Command, pArg);
}

int RealFcntlTime64(int Fd, int Command, void* pArg)
{
    return Real___fcntl_time64()(Fd, Command, pArg);
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
