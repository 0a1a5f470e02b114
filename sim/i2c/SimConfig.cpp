// SimConfig: reads and checks the "i2c" section of a unit description.
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
#include <jansson.h>

#include "Chip24c32.h"
#include "SimLibc.h"

namespace unitsim
{
namespace
{
const char* const JanssonLibrary = "libjansson.so.4";
const int64_t MaxWriteCycleMs = 60000;

// The jansson functions the parser calls, bound at run time.
struct sJansson
{
    json_t* (*pLoadFile)(const char*, size_t, json_error_t*);
    json_t* (*pObjectGet)(const json_t*, const char*);
    void* (*pObjectIter)(json_t*);
    void* (*pObjectIterNext)(json_t*, void*);
    const char* (*pObjectIterKey)(void*);
    json_t* (*pObjectIterValue)(void*);
    size_t (*pArraySize)(const json_t*);
    json_t* (*pArrayGet)(const json_t*, size_t);
    const char* (*pStringValue)(const json_t*);
    json_int_t (*pIntegerValue)(const json_t*);
    double (*pRealValue)(const json_t*);
    void (*pDelete)(json_t*);
};
sJansson s_Json;
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
        {"json_load_file", reinterpret_cast<void**>(&s_Json.pLoadFile)},
        {"json_object_get", reinterpret_cast<void**>(&s_Json.pObjectGet)},
        {"json_object_iter", reinterpret_cast<void**>(&s_Json.pObjectIter)},
        {"json_object_iter_next", reinterpret_cast<void**>(&s_Json.pObjectIterNext)},
        {"json_object_iter_key", reinterpret_cast<void**>(&s_Json.pObjectIterKey)},
        {"json_object_iter_value", reinterpret_cast<void**>(&s_Json.pObjectIterValue)},
        {"json_array_size", reinterpret_cast<void**>(&s_Json.pArraySize)},
        {"json_array_get", reinterpret_cast<void**>(&s_Json.pArrayGet)},
        {"json_string_value", reinterpret_cast<void**>(&s_Json.pStringValue)},
        {"json_integer_value", reinterpret_cast<void**>(&s_Json.pIntegerValue)},
        {"json_real_value", reinterpret_cast<void**>(&s_Json.pRealValue)},
        {"json_delete", reinterpret_cast<void**>(&s_Json.pDelete)},
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

// Parser context: the description file and the member being read, for the
// one-line error messages.
struct sParse
{
    const char* pFile;
    char Member[128];
};

bool Fail(const sParse* pParse, const char* pProblem, const char* pDetail = "")
{
    ReportError("%s: %s: %s%s", pParse->pFile, pParse->Member, pProblem, pDetail);
    return true;
}

// Names the member being read (truncated when absurdly long).
void SetMember(sParse* pParse, const char* pFormat, const char* pText, unsigned Number = 0)
{
    if (snprintf(pParse->Member, sizeof(pParse->Member), pFormat, pText, Number) >= int(sizeof(pParse->Member)))
    {
        pParse->Member[sizeof(pParse->Member) - 1] = '\0';
    }
}

// Checks that every key of object pObject is in the null-terminated list.
bool OnlyKnownKeys(sParse* pParse, json_t* pObject, const char* const* ppKnown)
{
    for (void* pIter = s_Json.pObjectIter(pObject); pIter != nullptr;
         pIter = s_Json.pObjectIterNext(pObject, pIter))
    {
        const char* pKey = s_Json.pObjectIterKey(pIter);
        bool Known = false;
        for (const char* const* ppName = ppKnown; *ppName != nullptr; ppName++)
        {
            Known = Known || strcmp(pKey, *ppName) == 0;
        }
        if (!Known)
        {
            char Allowed[256] = "";
            for (const char* const* ppName = ppKnown; *ppName != nullptr; ppName++)
            {
                size_t Used = strlen(Allowed);
                snprintf(Allowed + Used, sizeof(Allowed) - Used, "%s\"%s\"", Used ? ", " : "", *ppName);
            }
            char Detail[320];
            snprintf(Detail, sizeof(Detail), "\"%s\" (known: %s)", pKey, Allowed);
            return Fail(pParse, "unknown key ", Detail);
        }
    }
    return false;
}

// An integer in [Min, Max]; with HexString also a string such as "0x50".
bool GetInteger(const sParse* pParse, json_t* pValue, int64_t Min, int64_t Max, bool HexString,
                int64_t* pOut)
{
    int64_t Value;
    if (json_is_integer(pValue))
    {
        Value = s_Json.pIntegerValue(pValue);
    }
    else if (HexString && json_is_string(pValue))
    {
        const char* pText = s_Json.pStringValue(pValue);
        char* pEnd = nullptr;
        errno = 0;
        long long Parsed = strtoll(pText, &pEnd, 0);
        if (pText[0] == '\0' || *pEnd != '\0' || errno != 0)
        {
            return Fail(pParse, "not a number: ", pText);
        }
        Value = Parsed;
    }
    else
    {
        return Fail(pParse, HexString ? "must be an integer or a string such as \"0x50\"" : "must be an integer");
    }
    if (Value < Min || Value > Max)
    {
        char Detail[96];
        snprintf(Detail, sizeof(Detail), "%lld is outside %lld..%lld", static_cast<long long>(Value),
                 static_cast<long long>(Min), static_cast<long long>(Max));
        return Fail(pParse, Detail);
    }
    *pOut = Value;
    return false;
}

bool GetBool(const sParse* pParse, json_t* pValue, bool* pOut)
{
    if (!json_is_boolean(pValue))
    {
        return Fail(pParse, "must be true or false");
    }
    *pOut = json_is_true(pValue);
    return false;
}

// Joins a path from the description with the description's directory.
bool ResolvePath(const sParse* pParse, const char* pUnitPath, json_t* pValue, char* pOut)
{
    const char* pText = s_Json.pStringValue(pValue);
    if (pText == nullptr || pText[0] == '\0')
    {
        return Fail(pParse, "must be a file name");
    }
    const char* pSlash = strrchr(pUnitPath, '/');
    int DirLen = pSlash == nullptr ? 0 : static_cast<int>(pSlash - pUnitPath) + 1;
    int Length = pText[0] == '/' ? snprintf(pOut, PATH_MAX, "%s", pText)
                                 : snprintf(pOut, PATH_MAX, "%.*s%s", DirLen, pUnitPath, pText);
    if (Length >= PATH_MAX)
    {
        return Fail(pParse, "path too long");
    }
    return false;
}

bool ParseFaults(sParse* pParse, json_t* pFaults, sSimFaults* pOut)
{
    static const char* const Known[] = {"no_ack", "slave_busy", "read_fail", "power_cut_after_page",
                                        "nack_transfer", nullptr};
    if (!json_is_object(pFaults))
    {
        return Fail(pParse, "must be an object");
    }
    if (OnlyKnownKeys(pParse, pFaults, Known))
    {
        return true;
    }
    char Base[128];
    snprintf(Base, sizeof(Base), "%s", pParse->Member);
    json_t* pValue;
    if ((pValue = s_Json.pObjectGet(pFaults, "no_ack")) != nullptr)
    {
        SetMember(pParse, "%s.no_ack", Base);
        if (GetBool(pParse, pValue, &pOut->NoAck))
        {
            return true;
        }
    }
    if ((pValue = s_Json.pObjectGet(pFaults, "slave_busy")) != nullptr)
    {
        SetMember(pParse, "%s.slave_busy", Base);
        if (GetBool(pParse, pValue, &pOut->SlaveBusy))
        {
            return true;
        }
    }
    if ((pValue = s_Json.pObjectGet(pFaults, "read_fail")) != nullptr)
    {
        SetMember(pParse, "%s.read_fail", Base);
        if (GetBool(pParse, pValue, &pOut->ReadFail))
        {
            return true;
        }
    }
    int64_t Number;
    if ((pValue = s_Json.pObjectGet(pFaults, "power_cut_after_page")) != nullptr && !json_is_null(pValue))
    {
        SetMember(pParse, "%s.power_cut_after_page", Base);
        if (GetInteger(pParse, pValue, 0, UINT32_MAX, false, &Number))
        {
            return true;
        }
        pOut->PowerCutAfterPage = Number;
    }
    if ((pValue = s_Json.pObjectGet(pFaults, "nack_transfer")) != nullptr && !json_is_null(pValue))
    {
        SetMember(pParse, "%s.nack_transfer", Base);
        if (GetInteger(pParse, pValue, 0, UINT32_MAX, false, &Number))
        {
            return true;
        }
        pOut->NackTransfer = static_cast<uint32_t>(Number);
    }
    return false;
}

bool ParseDevice(sParse* pParse, const char* pUnitPath, unsigned Bus, json_t* pDevice, sSimDeviceConfig* pOut)
{
    static const char* const Known[] = {"model", "address", "image", "write_cycle_ms", "faults", nullptr};
    char Base[128];
    snprintf(Base, sizeof(Base), "%s", pParse->Member);
    if (!json_is_object(pDevice))
    {
        return Fail(pParse, "a device must be an object with \"model\" and \"address\"");
    }
    if (OnlyKnownKeys(pParse, pDevice, Known))
    {
        return true;
    }
    memset(pOut, 0, sizeof(*pOut));
    pOut->Bus = Bus;
    pOut->WriteCycleNs = int64_t(Chip24c32WriteCycleMs) * 1000000;
    pOut->Faults.PowerCutAfterPage = -1;

    SetMember(pParse, "%s.model", Base);
    const char* pModel = s_Json.pStringValue(s_Json.pObjectGet(pDevice, "model"));
    if (pModel == nullptr)
    {
        return Fail(pParse, "missing; the supported model is \"24c32\"");
    }
    if (strcmp(pModel, "24c32") != 0)
    {
        return Fail(pParse, "unsupported model (supported: \"24c32\"): ", pModel);
    }
    pOut->Model = SIM_MODEL_24C32;

    SetMember(pParse, "%s.address", Base);
    json_t* pValue = s_Json.pObjectGet(pDevice, "address");
    int64_t Number;
    if (pValue == nullptr)
    {
        return Fail(pParse, "missing");
    }
    if (GetInteger(pParse, pValue, 0, 0x7f, true, &Number))
    {
        return true;
    }
    pOut->Address = static_cast<unsigned>(Number);

    if ((pValue = s_Json.pObjectGet(pDevice, "image")) != nullptr)
    {
        SetMember(pParse, "%s.image", Base);
        if (ResolvePath(pParse, pUnitPath, pValue, pOut->ImagePath))
        {
            return true;
        }
        pOut->HasImage = true;
    }
    if ((pValue = s_Json.pObjectGet(pDevice, "write_cycle_ms")) != nullptr)
    {
        SetMember(pParse, "%s.write_cycle_ms", Base);
        if (!json_is_number(pValue))
        {
            return Fail(pParse, "must be a number of milliseconds");
        }
        double Ms = json_is_integer(pValue) ? double(s_Json.pIntegerValue(pValue)) : s_Json.pRealValue(pValue);
        if (!(Ms >= 0 && Ms <= MaxWriteCycleMs))
        {
            return Fail(pParse, "must be between 0 and 60000");
        }
        pOut->WriteCycleNs = static_cast<int64_t>(Ms * 1e6 + 0.5);
    }
    if ((pValue = s_Json.pObjectGet(pDevice, "faults")) != nullptr)
    {
        SetMember(pParse, "%s.faults", Base);
        if (ParseFaults(pParse, pValue, &pOut->Faults))
        {
            return true;
        }
    }
    return false;
}

bool ParseI2c(sParse* pParse, const char* pUnitPath, json_t* pI2c, sSimConfig* pConfig)
{
    static const char* const Known[] = {"log", "buses", nullptr};
    SetMember(pParse, "%s", "i2c");
    if (!json_is_object(pI2c))
    {
        return Fail(pParse, "must be an object with \"buses\"");
    }
    if (OnlyKnownKeys(pParse, pI2c, Known))
    {
        return true;
    }
    json_t* pLog = s_Json.pObjectGet(pI2c, "log");
    if (pLog != nullptr && !json_is_null(pLog))
    {
        SetMember(pParse, "%s", "i2c.log");
        if (ResolvePath(pParse, pUnitPath, pLog, pConfig->LogPath))
        {
            return true;
        }
        pConfig->HasLog = true;
    }
    json_t* pBuses = s_Json.pObjectGet(pI2c, "buses");
    SetMember(pParse, "%s", "i2c.buses");
    if (pBuses == nullptr || !json_is_object(pBuses))
    {
        return Fail(pParse, "must be an object such as {\"1\": [devices...]}");
    }
    for (void* pIter = s_Json.pObjectIter(pBuses); pIter != nullptr;
         pIter = s_Json.pObjectIterNext(pBuses, pIter))
    {
        const char* pKey = s_Json.pObjectIterKey(pIter);
        json_t* pDevices = s_Json.pObjectIterValue(pIter);
        SetMember(pParse, "i2c.buses.\"%s\"", pKey);
        char* pEnd = nullptr;
        unsigned long Bus = strtoul(pKey, &pEnd, 10);
        if (pKey[0] < '0' || pKey[0] > '9' || *pEnd != '\0' || Bus > MaxSimBusNumber
            || (pKey[0] == '0' && pKey[1] != '\0'))
        {
            return Fail(pParse, "a bus is named by its number, 0 to 1023");
        }
        if (!json_is_array(pDevices))
        {
            return Fail(pParse, "must be a list of devices (may be empty)");
        }
        if (pConfig->NumBuses == MaxSimBuses)
        {
            return Fail(pParse, "too many buses (at most 32)");
        }
        pConfig->Buses[pConfig->NumBuses++] = static_cast<unsigned>(Bus);
        for (size_t Index = 0; Index < s_Json.pArraySize(pDevices); Index++)
        {
            SetMember(pParse, "i2c.buses.\"%s\"[%u]", pKey, static_cast<unsigned>(Index));
            if (pConfig->NumDevices == MaxSimDevices)
            {
                return Fail(pParse, "too many devices (at most 32)");
            }
            sSimDeviceConfig* pDevice = &pConfig->Devices[pConfig->NumDevices];
            if (ParseDevice(pParse, pUnitPath, static_cast<unsigned>(Bus), s_Json.pArrayGet(pDevices, Index),
                            pDevice))
            {
                return true;
            }
            for (unsigned Other = 0; Other < pConfig->NumDevices; Other++)
            {
                if (pConfig->Devices[Other].Bus == pDevice->Bus
                    && pConfig->Devices[Other].Address == pDevice->Address)
                {
                    return Fail(pParse, "two devices at one address");
                }
            }
            pConfig->NumDevices++;
        }
    }
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
    json_error_t Error;
    json_t* pUnit = s_Json.pLoadFile(pPath, JSON_REJECT_DUPLICATES, &Error);
    if (pUnit == nullptr)
    {
        ReportError("%s:%d: %s", pPath, Error.line, Error.text);
        return true;
    }
    bool Failed = false;
    sParse Parse = {pPath, ""};
    json_t* pI2c = json_is_object(pUnit) ? s_Json.pObjectGet(pUnit, "i2c") : nullptr;
    if (!json_is_object(pUnit))
    {
        ReportError("%s: the unit description must be a JSON object", pPath);
        Failed = true;
    }
    else if (pI2c != nullptr)
    {
        pConfig->HasI2c = true;
        Failed = ParseI2c(&Parse, pPath, pI2c, pConfig);
    }
    s_Json.pDelete(pUnit);
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
