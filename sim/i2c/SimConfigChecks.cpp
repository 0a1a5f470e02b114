// SimConfigChecks: the checks of every member of the unit description;
// single values are read and validated in SimConfigValues.cpp.
//
// Checking is strict so that a mistyped member is never ignored: an unknown
// key, a wrong type or a value out of range rejects the description with one
// report naming the member and its line.
#include "SimConfigChecks.h"

#include <cstdlib>
#include <cstring>

#include "Chip24c32.h"
#include "SimConfigValues.h"

namespace unitsim
{
namespace
{
using namespace config;

// "eth0": null, or {"mac": "02:00:00:00:00:01", "ipv4": "192.168.1.10/24"}.
bool CheckEth0(sParse* pParse, json_t* pEth0)
{
    static const char* const Known[] = {"mac", "ipv4", nullptr};
    if (json_is_null(pEth0))
    {
        return false;
    }
    if (!json_is_object(pEth0))
    {
        return Fail(pParse, "must be null (no eth0) or an object such as {\"mac\": \"02:00:00:00:00:01\"}");
    }
    if (OnlyKnownKeys(pParse, pEth0, Known))
    {
        return true;
    }
    json_t* pValue = Jansson.pObjectGet(pEth0, "mac");
    Enter(pParse, "mac");
    if (pValue == nullptr || !json_is_string(pValue))
    {
        return Fail(pParse, pValue == nullptr ? "missing; " : "", "must be a MAC address such as \"02:00:00:00:00:01\"");
    }
    if (!MacIsValid(Jansson.pStringValue(pValue)))
    {
        return Fail(pParse, "not the unicast MAC address of an interface, such as \"02:00:00:00:00:01\": ",
                    Jansson.pStringValue(pValue));
    }
    Leave(pParse);
    pValue = Jansson.pObjectGet(pEth0, "ipv4");
    Enter(pParse, "ipv4");
    if (pValue != nullptr && !json_is_null(pValue)
        && (!json_is_string(pValue) || !Ipv4IsValid(Jansson.pStringValue(pValue))))
    {
        return Fail(pParse, "must be an IPv4 address with its prefix length, such as \"192.168.1.10/24\"");
    }
    Leave(pParse);
    return false;
}

// "zel_sysapp": [ {"path": ..., "content": text} or {"path": ..., "source": file}, ... ]
bool CheckSysapp(sParse* pParse, json_t* pFiles)
{
    static const char* const Known[] = {"path", "content", "source", nullptr};
    if (!json_is_array(pFiles))
    {
        return Fail(pParse, "must be a list of {\"path\": ..., \"content\" or \"source\": ...}");
    }
    for (size_t Index = 0; Index < Jansson.pArraySize(pFiles); Index++)
    {
        json_t* pEntry = Jansson.pArrayGet(pFiles, Index);
        Enter(pParse, nullptr, static_cast<unsigned>(Index));
        if (!json_is_object(pEntry))
        {
            return Fail(pParse, "must be an object such as {\"path\": \"name\", \"content\": \"text\"}");
        }
        if (OnlyKnownKeys(pParse, pEntry, Known))
        {
            return true;
        }
        json_t* pPath = Jansson.pObjectGet(pEntry, "path");
        json_t* pContent = Jansson.pObjectGet(pEntry, "content");
        json_t* pSource = Jansson.pObjectGet(pEntry, "source");
        Enter(pParse, "path");
        if (pPath == nullptr || !json_is_string(pPath) || !SysappPathIsValid(Jansson.pStringValue(pPath)))
        {
            return Fail(pParse, pPath == nullptr ? "missing; " : "",
                        "must be a relative file name without empty, \".\" or \"..\" parts");
        }
        Leave(pParse);
        if ((pContent == nullptr) == (pSource == nullptr))
        {
            return Fail(pParse, "needs either \"content\" (the text) or \"source\" (a file to copy)");
        }
        Enter(pParse, pContent != nullptr ? "content" : "source");
        if (!json_is_string(pContent != nullptr ? pContent : pSource))
        {
            return Fail(pParse, "must be a string");
        }
        if (pSource != nullptr && Jansson.pStringValue(pSource)[0] == '\0')
        {
            return Fail(pParse, "must be a file name");
        }
        Leave(pParse);
        Leave(pParse);
    }
    return false;
}

bool ParseFaults(sParse* pParse, json_t* pFaults, sSimFaults* pOut)
{
    static const char* const Known[] = {"no_ack", "slave_busy", "read_fail", "long_read_fail",
                                        "power_cut_after_page", "torn_page_bytes", "nack_transfer",
                                        "busy_at_start_ms", nullptr};
    if (!json_is_object(pFaults))
    {
        return Fail(pParse, "must be an object");
    }
    if (OnlyKnownKeys(pParse, pFaults, Known))
    {
        return true;
    }
    struct
    {
        const char* pKey;
        bool* pOn;
    } const Switches[] = {{"no_ack", &pOut->NoAck}, {"slave_busy", &pOut->SlaveBusy}, {"read_fail", &pOut->ReadFail},
                          {"long_read_fail", &pOut->LongReadFail}};
    for (const auto& Switch : Switches)
    {
        json_t* pValue = Jansson.pObjectGet(pFaults, Switch.pKey);
        Enter(pParse, Switch.pKey);
        if (pValue != nullptr && GetBool(pParse, pValue, Switch.pOn))
        {
            return true;
        }
        Leave(pParse);
    }
    int64_t Number;
    json_t* pValue = Jansson.pObjectGet(pFaults, "power_cut_after_page");
    Enter(pParse, "power_cut_after_page");
    if (pValue != nullptr && !json_is_null(pValue))
    {
        if (GetInteger(pParse, pValue, 0, UINT32_MAX, false, &Number))
        {
            return true;
        }
        pOut->PowerCutAfterPage = Number;
    }
    Leave(pParse);
    // Part of a page: at least one byte, and less than the whole page.
    pValue = Jansson.pObjectGet(pFaults, "torn_page_bytes");
    Enter(pParse, "torn_page_bytes");
    if (pValue != nullptr && !json_is_null(pValue))
    {
        if (GetInteger(pParse, pValue, 1, Chip24c32PageBytes - 1, false, &Number))
        {
            return true;
        }
        if (pOut->PowerCutAfterPage < 0)
        {
            return Fail(pParse, "needs \"power_cut_after_page\": it tears the write at the cut");
        }
        pOut->TornPageBytes = static_cast<uint32_t>(Number);
    }
    Leave(pParse);
    // One transfer, or a list of them (several faults in one session).
    pValue = Jansson.pObjectGet(pFaults, "nack_transfer");
    Enter(pParse, "nack_transfer");
    if (pValue != nullptr && json_is_array(pValue))
    {
        if (Jansson.pArraySize(pValue) > MaxSimNacks)
        {
            return Fail(pParse, "lists at most 8 transfers");
        }
        for (size_t Index = 0; Index < Jansson.pArraySize(pValue); Index++)
        {
            Enter(pParse, nullptr, static_cast<unsigned>(Index));
            if (GetInteger(pParse, Jansson.pArrayGet(pValue, Index), 1, UINT32_MAX, false, &Number))
            {
                return true;
            }
            pOut->NackTransfers[pOut->NumNacks++] = static_cast<uint32_t>(Number);
            Leave(pParse);
        }
    }
    else if (pValue != nullptr && !json_is_null(pValue))
    {
        if (GetInteger(pParse, pValue, 0, UINT32_MAX, false, &Number))
        {
            return true;
        }
        pOut->NackTransfers[0] = static_cast<uint32_t>(Number);
        pOut->NumNacks = Number > 0 ? 1 : 0;
    }
    Leave(pParse);
    pValue = Jansson.pObjectGet(pFaults, "busy_at_start_ms");
    Enter(pParse, "busy_at_start_ms");
    if (pValue != nullptr && GetMs(pParse, pValue, &pOut->BusyAtStartNs))
    {
        return true;
    }
    Leave(pParse);
    return false;
}

bool ParseDevice(sParse* pParse, unsigned Bus, json_t* pDevice, sSimDeviceConfig* pOut)
{
    static const char* const Known[] = {"model", "address", "image", "write_cycle_ms", "faults", nullptr};
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

    Enter(pParse, "model");
    json_t* pValue = Jansson.pObjectGet(pDevice, "model");
    const char* pModel = Jansson.pStringValue(pValue);
    if (pModel == nullptr)
    {
        return Fail(pParse, pValue == nullptr ? "missing; " : "must be a string; ", "the supported model is \"24c32\"");
    }
    if (strcmp(pModel, "24c32") != 0)
    {
        return Fail(pParse, "unsupported model (supported: \"24c32\"): ", pModel);
    }
    pOut->Model = SIM_MODEL_24C32;
    Leave(pParse);

    Enter(pParse, "address");
    pValue = Jansson.pObjectGet(pDevice, "address");
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
    Leave(pParse);

    if ((pValue = Jansson.pObjectGet(pDevice, "image")) != nullptr)
    {
        Enter(pParse, "image");
        if (ResolvePath(pParse, pValue, pOut->ImagePath))
        {
            return true;
        }
        pOut->HasImage = true;
        Leave(pParse);
    }
    if ((pValue = Jansson.pObjectGet(pDevice, "write_cycle_ms")) != nullptr)
    {
        Enter(pParse, "write_cycle_ms");
        if (GetMs(pParse, pValue, &pOut->WriteCycleNs))
        {
            return true;
        }
        Leave(pParse);
    }
    if ((pValue = Jansson.pObjectGet(pDevice, "faults")) != nullptr)
    {
        Enter(pParse, "faults");
        if (ParseFaults(pParse, pValue, &pOut->Faults))
        {
            return true;
        }
        Leave(pParse);
    }
    return false;
}

bool ParseI2c(sParse* pParse, json_t* pI2c, sSimConfig* pConfig)
{
    static const char* const Known[] = {"log", "buses", nullptr};
    if (!json_is_object(pI2c))
    {
        return Fail(pParse, "must be an object with \"buses\"");
    }
    if (OnlyKnownKeys(pParse, pI2c, Known))
    {
        return true;
    }
    json_t* pLog = Jansson.pObjectGet(pI2c, "log");
    if (pLog != nullptr && !json_is_null(pLog))
    {
        Enter(pParse, "log");
        if (ResolvePath(pParse, pLog, pConfig->LogPath))
        {
            return true;
        }
        pConfig->HasLog = true;
        Leave(pParse);
    }
    json_t* pBuses = Jansson.pObjectGet(pI2c, "buses");
    Enter(pParse, "buses");
    if (pBuses == nullptr || !json_is_object(pBuses))
    {
        return Fail(pParse, "must be an object such as {\"1\": [devices...]}");
    }
    for (void* pIter = Jansson.pObjectIter(pBuses); pIter != nullptr;
         pIter = Jansson.pObjectIterNext(pBuses, pIter))
    {
        const char* pKey = Jansson.pObjectIterKey(pIter);
        json_t* pDevices = Jansson.pObjectIterValue(pIter);
        Enter(pParse, pKey);
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
        for (size_t Index = 0; Index < Jansson.pArraySize(pDevices); Index++)
        {
            Enter(pParse, nullptr, static_cast<unsigned>(Index));
            if (pConfig->NumDevices == MaxSimDevices)
            {
                return Fail(pParse, "too many devices (at most 32)");
            }
            sSimDeviceConfig* pDevice = &pConfig->Devices[pConfig->NumDevices];
            if (ParseDevice(pParse, static_cast<unsigned>(Bus), Jansson.pArrayGet(pDevices, Index), pDevice))
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
            Leave(pParse);
        }
        Leave(pParse);
    }
    Leave(pParse);
    return false;
}
}

namespace config
{
// The whole description: its members are checked here, also those the
// simulated buses do not use, so that a mistyped one is never ignored.
bool ParseUnit(sParse* pParse, json_t* pUnit, sSimConfig* pConfig)
{
    static const char* const Known[] = {"eth0", "zel_sysapp", "i2c", nullptr};
    if (!json_is_object(pUnit))
    {
        return Fail(pParse, "the unit description must be a JSON object");
    }
    if (OnlyKnownKeys(pParse, pUnit, Known))
    {
        return true;
    }
    json_t* pValue;
    if ((pValue = Jansson.pObjectGet(pUnit, "eth0")) != nullptr)
    {
        Enter(pParse, "eth0");
        if (CheckEth0(pParse, pValue))
        {
            return true;
        }
        Leave(pParse);
    }
    if ((pValue = Jansson.pObjectGet(pUnit, "zel_sysapp")) != nullptr)
    {
        Enter(pParse, "zel_sysapp");
        if (CheckSysapp(pParse, pValue))
        {
            return true;
        }
        Leave(pParse);
    }
    if ((pValue = Jansson.pObjectGet(pUnit, "i2c")) != nullptr)
    {
        pConfig->HasI2c = true;
        Enter(pParse, "i2c");
        if (ParseI2c(pParse, pValue, pConfig))
        {
            return true;
        }
        Leave(pParse);
    }
    return false;
}
}
}
