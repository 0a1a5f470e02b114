// SimLibc: the C library's own versions of the functions the simulation
// wraps, and the simulation's diagnostics.
//
// Inside the simulation every call of a wrapped function goes through these,
// never through the wrapper, so the simulation cannot recurse into itself.
// Each real function is looked up once (dlsym RTLD_NEXT); a missing one
// aborts with its name.
#ifndef SIM_I2C_SIMLIBC_H
#define SIM_I2C_SIMLIBC_H

#include <sys/types.h>

namespace unitsim
{
int RealOpen(const char* pPath, int Flags, mode_t Mode);
int RealClose(int Fd);
ssize_t RealRead(int Fd, void* pBuf, size_t Count);
ssize_t RealWrite(int Fd, const void* pBuf, size_t Count);

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
