// Fuzzes the command reader: the input goes as a message through a real
// ZeroMQ socket pair (cFuzzChannel) to the service's handler,
// which runs against a real record on a simulated chip (zero write cycle, so
// an accepted rename costs microseconds). Runs on a simulated unit with eth0
// (the record must be valid for its commands to be handled). Each seed is a
// rename: in the seed check the unit is named "Fuzz" before it and the chip
// must have been written after it.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <jansson.h>
#include <unistd.h>

#include "FuzzMessage.h"
#include "FuzzSeeds.h"
#include "I2cBus.h"
#include "JsonParsePromCommand.h"
#include "NetworkUtils.h"
#include "Prom.h"
#include "PromImage.h"
#include "UnitsimI2c.h"

static cFuzzChannel* pChannel = nullptr;

// A chip holding a record of this unit, on bus 1 of an in-process simulation.
static void LoadChip(const std::string& Dir)
{
    eeprom_u Record = {};
    memcpy(Record.s.sn, "123456", 6);
    memcpy(Record.s.unit_name, "Fuzz", 4);
    if (GetMacBytesFromIoctl(Record.s.mac) || cPromImage::BindCipher())
    {
        abort();    // not on a simulated unit with eth0, or no cipher
    }
    cPromImage::Encrypt(Record.b);
    std::ofstream(Dir + "/chip.bin", std::ios::binary).write(reinterpret_cast<char*>(Record.b), sizeof(Record));
    std::ofstream(Dir + "/unit.json") << "{\"i2c\": {\"buses\": {\"0\": [], \"2\": [], \"1\": [{\"model\": \"24c32\", "
                                         "\"address\": \"0x50\", \"image\": \"chip.bin\", \"write_cycle_ms\": 0}]}}}";
    if (0 != unitsim_i2c_load((Dir + "/unit.json").c_str()))
    {
        abort();
    }
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // In the runner's scratch directory (TMPDIR), which it removes.
    const char* pTmp = getenv("TMPDIR");
    std::string Template = std::string(nullptr != pTmp ? pTmp : "/tmp") + "/fuzz-set-prom-XXXXXX";
    if (nullptr == mkdtemp(&Template[0]) || nullptr == freopen("/dev/null", "w", stdout))
    {
        return 1;
    }
    setenv("UNITSIM_STATE_DIR", Template.c_str(), 1);
    LoadChip(Template);
    InitI2cBusses();
    CreateProm();
    if (!pProm->HasValidData())
    {
        abort();
    }
    pChannel = new cFuzzChannel();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t Size)
{
    if (SeedCheck())
    {
        pProm->RenameUnit("Fuzz");
        if (pProm->WriteRequired())
        {
            pProm->EncryptWrite();
        }
        pProm->HasChanged();
    }
    if (0 != JsonParseCommandMessage(nullptr, pChannel->Send(pData, Size), nullptr))
    {
        __builtin_trap();
    }
    SeedReached(pProm->HasChanged(), Size, "the command handler: no rename was written");
    // Whatever was asked, the record stays this unit's, with a name of at
    // most 15 bytes that is still valid UTF-8 (jansson makes strings of
    // nothing else), and nothing is left unwritten.
    char Name[17];
    pProm->GetUnitName(Name);
    json_t* pjtName = json_string(Name);
    if (!pProm->HasValidData() || strlen(Name) > 15 || pProm->WriteRequired() || nullptr == pjtName)
    {
        __builtin_trap();
    }
    json_decref(pjtName);
    return 0;
}
