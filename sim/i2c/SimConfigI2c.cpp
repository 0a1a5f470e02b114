// SimConfigI2c: the hash by which the session state is laid out, so that a
// state file made for another device list is noticed and reset.
#include "SimConfigI2c.h"

namespace unitsim
{
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
