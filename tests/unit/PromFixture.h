// PromFixture: the fixture of the tests that run the record on a simulated
// identity chip loaded in-process, on a unit whose eth0 has MAC
// 02:00:00:00:00:01 (units/basic.json). Each test gets a scratch directory
// that holds the chip image and the unit description.
#ifndef TESTS_UNIT_PROMFIXTURE_H
#define TESTS_UNIT_PROMFIXTURE_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "AesLibHandler.h"
#include "CaptureStdout.h"
#include "I2cBus.h"
#include "Prom.h"
#include "UnitsimI2c.h"

const uint8_t UnitMac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};

// A record of serial number 123456 named pName, for the unit of MAC pMac;
// 0x5A in every byte the record carries unchanged.
inline eeprom_u MakeRecord(const char* pName, const uint8_t* pMac = UnitMac)
{
    eeprom_u Record;
    memset(Record.b, 0x5A, sizeof(Record.b));
    memcpy(Record.s.sn, "123456", 6);
    memcpy(Record.s.mac, pMac, 6);
    memset(Record.s.unit_name, 0, 16);
    memcpy(Record.s.unit_name, pName, strnlen(pName, 16));
    return Record;
}

inline std::string ReadFile(const std::string& Path)
{
    return std::string(std::istreambuf_iterator<char>(std::ifstream(Path, std::ios::binary).rdbuf()), {});
}

class cPromFixture : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char Template[] = "/tmp/prom-test-XXXXXX";
        Dir = mkdtemp(Template);
        setenv("UNITSIM_STATE_DIR", Dir.c_str(), 1);
        cCaptureStdout Quiet;
        init_aes_lib();
    }

    void TearDown() override
    {
        DestroyProm();
        CloseI2cBusses();
        EXPECT_EQ(0, system(("rm -rf '" + Dir + "'").c_str()));
    }

    // A fresh simulated unit whose chip holds Record encrypted (null: what
    // it holds), with extra device settings; then a new record object.
    // Returns what the object's creation printed.
    std::string Start(const eeprom_u* pRecord, const std::string& Device = "")
    {
        DestroyProm();
        CloseI2cBusses();
        if (nullptr != pRecord)
        {
            eeprom_u Stored = *pRecord;
            cProm::Cipher(Stored.b, 1);
            std::ofstream(Dir + "/chip.bin", std::ios::binary).write(reinterpret_cast<char*>(Stored.b), 4096);
        }
        std::ofstream(Dir + "/unit.json") << R"({"i2c": {"buses": {"0": [], "2": [], "1": [{"model": "24c32", )"
                                             R"("address": "0x50", "image": "chip.bin")" + Device + "}]}}}";
        EXPECT_EQ(0, unitsim_i2c_load((Dir + "/unit.json").c_str()));
        InitI2cBusses();
        cCaptureStdout Capture;
        CreateProm();
        return Capture.Finish();
    }

    // "<serial> <name>" as the record object gives them out.
    static std::string Identity()
    {
        char Serial[SerialNumberTextBytes], Name[UnitNameTextBytes];
        pProm->GetSerialNumber(Serial);
        pProm->GetUnitName(Name);
        return std::string(Serial) + " " + Name;
    }

    std::string Dir;
};

#endif
