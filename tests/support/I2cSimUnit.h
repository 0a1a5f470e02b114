// I2cSimUnit: GoogleTest fixture for the I2C modules on the simulated bus.
//
// The test binary links the I2C simulation, which interposes open, ioctl and
// close in-process. Each test gets a fresh unit: a 24xx32 EEPROM at 0x50 on
// bus 1 (image from ChipImage), buses 0 and 2 present and empty, and all three
// buses opened through the bus table. Tests may load another description
// (faults, other buses) and read the simulation's transfer log and what the
// code printed.
//
// The scratch directory is shared with death-test children through the
// environment, so a re-executed child writes into the same place.
#ifndef TESTS_SUPPORT_I2CSIMUNIT_H
#define TESTS_SUPPORT_I2CSIMUNIT_H

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

// One line of the simulation's transfer log.
struct I2cLogLine
{
    unsigned Transfer;  // transfer number
    unsigned Msg;       // message index within the transfer, from 0
    std::string What;   // the rest: "i2c-1 W 0x50 len=2 ack 00 00"
};

// Image byte the fresh chip holds at Addr (0..4095).
uint8_t ChipImage(unsigned Addr);

// A 24c32 device entry for the "buses" lists: address Addr, the fixture's
// image, a write cycle of WriteCycleMs and the given "faults" members
// (without braces, e.g. "\"no_ack\": true").
std::string Chip24c32(unsigned Addr, const std::string& Faults = "", unsigned WriteCycleMs = 5);

class cI2cSimTest : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    // Loads a unit whose "buses" object is BusesJson (e.g. "\"1\": [...]"),
    // with a fresh image, and opens the buses again when OpenBuses is true.
    // Buses missing from the description cannot be opened.
    void LoadUnit(const std::string& BusesJson, bool OpenBuses = true);
    // Loads the default unit with Faults on the EEPROM at 0x50 on bus 1.
    void LoadEepromWithFaults(const std::string& Faults, unsigned WriteCycleMs = 5,
                              bool OpenBuses = true);

    // Log lines written since the last MarkLog (or the last load).
    std::vector<I2cLogLine> NewTransfers();
    void MarkLog();

    // Captures standard output until StopCapture, which returns it.
    void StartCapture();
    std::string StopCapture();

    // The bus table tests open the buses themselves, in a fresh process.
    bool OpenBusesInSetUp = true;
    std::string UnitDir;        // where the description and image live
    size_t LogLinesSeen = 0;    // log lines before the mark
    bool BusesOpen = false;     // the fixture opened the bus table
};

#endif
