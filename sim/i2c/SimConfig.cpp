// SimConfig: reads a unit description and keeps its "i2c" section: the
// public entry points. The checks of its members are in SimConfigChecks.cpp,
// the readers of single values in SimConfigValues.cpp, the finding of a
// member's line and the escaping of quoted text in SimConfigJson.cpp.
//
// jansson is opened with dlopen on first use, so the preloaded simulation
// adds no library to the many programs of a session that never touch a bus.
// Only the header's type tags are used directly; every function goes through
// the table below.
#include "SimConfig.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dlfcn.h>

#include "SimConfigParse.h"
#include "SimLibc.h"

namespace unitsim
{
namespace config
{
sJansson Jansson;

bool ReadWhole(const char* pPath, char** ppText, size_t* pSize)
{
    FILE* pFile = fopen(pPath, "rbe");
    if (pFile == nullptr)
    {
        return true;
    }
    size_t Size = 0;
    size_t Capacity = 0;
    char* pText = nullptr;
    bool Failed = false;
    while (!Failed)
    {
        if (Size == Capacity)
        {
            Capacity = Capacity == 0 ? 4096 : 2 * Capacity;
            char* pBigger = static_cast<char*>(realloc(pText, Capacity));
            if (pBigger == nullptr)
            {
                errno = ENOMEM;
                Failed = true;
                break;
            }
            pText = pBigger;
        }
        size_t n = fread(pText + Size, 1, Capacity - Size, pFile);
        Size += n;
        if (n == 0)
        {
            Failed = ferror(pFile) != 0;
            break;
        }
    }
    int Saved = errno;
    fclose(pFile);
    errno = Saved;
    if (Failed)
    {
        free(pText);
        return true;
    }
    *ppText = pText;
    *pSize = Size;
    return false;
}
}

namespace
{
using namespace config;

const char* const JanssonLibrary = "libjansson.so.4";
bool s_JsonBound = false;

bool BindJansson()
{
    if (s_JsonBound)
    {
        return false;
    }
    void* pLib = dlopen(JanssonLibrary, RTLD_NOW | RTLD_LOCAL);
    if (pLib == nullptr)
    {
        ReportError("cannot load %s to read the unit description: %s", JanssonLibrary, dlerror());
        return true;
    }
    struct
    {
        const char* pName;
        void** ppFunction;
    } const Table[] = {
        {"json_loadb", reinterpret_cast<void**>(&Jansson.pLoadBuffer)},
        {"json_object_get", reinterpret_cast<void**>(&Jansson.pObjectGet)},
        {"json_object_iter", reinterpret_cast<void**>(&Jansson.pObjectIter)},
        {"json_object_iter_next", reinterpret_cast<void**>(&Jansson.pObjectIterNext)},
        {"json_object_iter_key", reinterpret_cast<void**>(&Jansson.pObjectIterKey)},
        {"json_object_iter_value", reinterpret_cast<void**>(&Jansson.pObjectIterValue)},
        {"json_array_size", reinterpret_cast<void**>(&Jansson.pArraySize)},
        {"json_array_get", reinterpret_cast<void**>(&Jansson.pArrayGet)},
        {"json_string_value", reinterpret_cast<void**>(&Jansson.pStringValue)},
        {"json_integer_value", reinterpret_cast<void**>(&Jansson.pIntegerValue)},
        {"json_real_value", reinterpret_cast<void**>(&Jansson.pRealValue)},
        {"json_delete", reinterpret_cast<void**>(&Jansson.pDelete)},
    };
    for (const auto& Entry : Table)
    {
        *Entry.ppFunction = dlsym(pLib, Entry.pName);
        if (*Entry.ppFunction == nullptr)
        {
            ReportError("%s lacks %s", JanssonLibrary, Entry.pName);
            return true;
        }
    }
    s_JsonBound = true;
    return false;
}
}

bool SimConfigLoad(const char* pPath, sSimConfig* pConfig)
{
    memset(pConfig, 0, sizeof(*pConfig));
    if (BindJansson())
    {
        return true;
    }
    char* pText = nullptr;
    size_t Size = 0;
    if (ReadWhole(pPath, &pText, &Size))
    {
        ReportError("%s: cannot read the unit description: %s", pPath, strerror(errno));
        return true;
    }
    json_error_t Error;
    json_t* pUnit = Jansson.pLoadBuffer(pText, Size, JSON_REJECT_DUPLICATES, &Error);
    bool Failed = true;
    if (pUnit == nullptr)
    {
        char Text[4 * sizeof(Error.text)];     // it quotes the text near the fault
        SimConfigEscape(Error.text, Text, sizeof(Text));
        ReportError("%s:%d: %s", pPath, Error.line, Text);
    }
    else
    {
        sParse Parse = {pPath, pText, Size, {}, 0};
        Failed = ParseUnit(&Parse, pUnit, pConfig);
        Jansson.pDelete(pUnit);
    }
    free(pText);
    if (Failed)
    {
        memset(pConfig, 0, sizeof(*pConfig));
    }
    return Failed;
}

uint64_t SimConfigLayoutHash(const sSimConfig* pConfig)
{
    // FNV-1a over the fields the shared state is laid out by.
    uint64_t Hash = 14695981039346656037ull;
    auto Mix = [&Hash](uint64_t Value) {
        for (int Byte = 0; Byte < 8; Byte++)
        {
            Hash = (Hash ^ ((Value >> (8 * Byte)) & 0xff)) * 1099511628211ull;
        }
    };
    Mix(pConfig->NumDevices);
    for (unsigned Index = 0; Index < pConfig->NumDevices; Index++)
    {
        const sSimDeviceConfig* pDevice = &pConfig->Devices[Index];
        Mix(pDevice->Bus);
        Mix(pDevice->Address);
        Mix(pDevice->Model);
        Mix(pDevice->HasImage);
    }
    return Hash;
}
}
