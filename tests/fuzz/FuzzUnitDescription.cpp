// Fuzzes the simulated unit's description parser with arbitrary text. The
// parser's library is linked alone, without the i2c-dev interposer (whose
// open, read and ioctl would clash with the sanitizer's own); its report
// hooks format their text into a buffer, so bad format arguments still show.
// Each seed is a description the parser takes.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "FuzzSeeds.h"
#include "SimConfig.h"

static std::string Path;

namespace unitsim
{
void ReportError(const char* pFormat, ...)
{
    char Text[512];
    va_list Args;
    va_start(Args, pFormat);
    vsnprintf(Text, sizeof(Text), pFormat, Args);
    va_end(Args);
}
bool TraceOn()
{
    return false;
}
void Trace(const char*, ...) {}
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // In the runner's scratch directory (TMPDIR), which it removes.
    const char* pTmp = getenv("TMPDIR");
    std::string Template = std::string(nullptr != pTmp ? pTmp : "/tmp") + "/fuzz-unit-XXXXXX";
    if (nullptr == mkdtemp(&Template[0]))
    {
        return 1;
    }
    Path = Template + "/unit.json";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t Size)
{
    FILE* pFile = fopen(Path.c_str(), "wb");
    if (nullptr == pFile || Size != fwrite(pData, 1, Size, pFile) || 0 != fclose(pFile))
    {
        abort();
    }
    static unitsim::sSimConfig Config;
    SeedReached(!unitsim::SimConfigLoad(Path.c_str(), &Config), Size, "the description parser: it refused the seed");
    return 0;
}
