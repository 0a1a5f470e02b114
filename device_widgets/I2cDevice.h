// I2cDevice: one slave device at a 7-bit address on one of the unit's I2C
// buses, with raw transfers, register access, retries and health tracking.
//
// A device borrows its bus's descriptor from the bus table (I2cBus) and never
// closes it. Every transfer is a single I2C_RDWR request that carries the
// slave address in its messages, so several devices can share one bus.
//
// Health: each transfer that reaches the bus updates a count of consecutive
// errors; a success sets it back to 0. The 15th consecutive error declares the
// device dead (and so does every further one, each printing the dead message
// again until the 8-bit count wraps). A dead device fails writes, tracked
// reads and every register operation at once, without bus traffic. Only a
// successful DeviceExists() revives it; an ordinary success never does.
// Composite operations update the health once more on top of their inner
// transfers, so one failed composite call advances the count several steps.
//
// Error reports go to standard output as "I2C Error : " followed by the
// message; standard output is not flushed. Null buffers with a non-zero
// length, a null name and a bad or unopened bus are fatal assertions.
//
// Results of type bool mean failure when true, except DeviceExists and
// DeviceIsOk, which mean presence and usability.
//
// Device classes derive from cI2cDevice publicly. It has no virtual functions
// and no destructor of its own; objects are plain values.
#ifndef DEVICE_WIDGETS_I2CDEVICE_H
#define DEVICE_WIDGETS_I2CDEVICE_H

#include <cstdint>

#include "I2cBus.h"

// Health record of a device.
struct DeviceHealth_s
{
    bool DeviceIsOperational;       // false once dead: gated operations fail at once
    uint8_t NumConsecutiveErrors;   // error updates since the last success; wraps at 256
};

// A field of a read/write register. Mask 0 is an empty field (operations on
// it succeed without bus traffic); Mask 0xFF is the whole register.
struct RwRegister_s
{
    uint8_t Map;    // register map address
    uint8_t Value;  // value to write, or where a read stores the field (bits in place)
    uint8_t Mask;   // bits of the register that belong to the field
};

// A write-only register; the whole byte is written.
struct WoRegister_s
{
    uint8_t Map;    // register map address
    uint8_t Value;  // value to write
};

class cI2cDevice
{
public:
    // Device at NewAddress on NewBusName, named NewDeviceName (the first 15
    // characters are kept). With Init true the slave address is selected on
    // the bus at once, as by the three-argument constructor. With Init false
    // nothing is sent and the device starts not operational with a count of
    // 0: its presence is unknown, so it transfers nothing until
    // DeviceExists() finds it answering (untracked Read excepted). A null
    // name, a bus number above 2 and an unopened bus are fatal assertions.
    cI2cDevice(uint8_t NewAddress, eBusNames NewBusName, const char* NewDeviceName, bool Init);
    // Device at NewAddress on NewBusName, named NewDeviceName; selects the
    // slave address at once. When that fails, prints "<name> creation failed
    // with result: <r> (<errno text>)" and the device is dead from the start;
    // otherwise it is operational with a count of 0. Same assertions as above.
    cI2cDevice(uint8_t NewAddress, eBusNames NewBusName, const char* NewDeviceName);

    // The device's name (the object's own NUL-terminated array).
    const char* GetName() const { return Name; }
    // True when one byte can be read from I2cAddress on BusName. Probes with
    // a temporary device named "AddressTest" (whose creation message appears
    // if its address cannot be selected).
    static bool DeviceExists(eBusNames BusName, uint8_t I2cAddress);
    // True when this device answers a one-byte read, which also makes it
    // operational with a count of 0, even when it was dead. On false the
    // health is left as it was.
    bool DeviceExists();
    // Writes NumBytes bytes in one message. Returns true at once on a dead
    // device (even with a null buffer); a null buffer otherwise is fatal;
    // NumBytes 0 returns false without traffic. A failed transfer prints
    // "I2C Device <name> Write failed with: <errno text>" when PrintError.
    // Updates the health after each transfer. Returns true on failure.
    bool Write(uint8_t* pWrBuf, uint16_t NumBytes, bool PrintError);
    // Reads NumBytes bytes in one message. TrackErrors governs the dead-device
    // gate, the "I2C Device <name> Read failed with: <errno text>" message and
    // the health update together: untracked reads reach the bus even on a
    // dead device and leave the health alone. NumBytes 0 returns false
    // (checked before the buffer, so a null buffer is accepted then); a null
    // buffer otherwise is fatal. Returns true on failure.
    bool Read(uint8_t* pRdBuf, uint16_t NumBytes, bool TrackErrors);

    // Reads NumBytes bytes from 16-bit map address Map in one combined
    // transfer: a write of the map bytes, least significant first, then a
    // read after a repeated start. A null buffer is fatal even on a dead
    // device; a dead device returns true, NumBytes 0 false, both without
    // traffic. A failed transfer prints "I2C Device <name> read failed:" and
    // " - Error:  <errno text>" (each after the tag) when PrintError. One
    // health update per transfer. Returns true on failure; pRdBuf is then
    // unchanged (i2c-dev copies read data only after a complete transfer).
    bool ReadRegs16(uint16_t Map, uint8_t* pRdBuf, uint16_t NumBytes, bool PrintError);
    // As ReadRegs16 with an 8-bit map address.
    bool ReadRegs(uint8_t Map, uint8_t* pRdBuf, uint16_t NumBytes, bool PrintError);
    // Reads the register of a field and stores its masked bits (in place) in
    // pReg->Value; unchanged on failure. Mask 0 sets Value to 0 without
    // traffic. Read errors are printed. With TrackErrors the health is updated
    // once more on top of the read's own update. Returns true on failure and
    // at once on a dead device.
    bool ReadOneReg(RwRegister_s* pReg, bool TrackErrors);
    // ReadRegs without printing, up to 5 attempts back to back. When all fail
    // prints "All attempts to read <name>, MAP 0x<map> failed.". A dead device
    // returns true and NumBytes 0 false, both before the null-buffer check,
    // which is fatal. One more health update at the end. Returns true on
    // failure.
    bool ReadRegsWithAttempts(uint8_t Map, uint8_t* pRdBuf, uint16_t NumBytes);
    // Writes a field as [Map, value]. Mask 0xFF writes Value whole; another
    // mask reads the register first and keeps its bits outside the mask (no
    // write when that read fails). Mask 0 does nothing and returns false.
    // Inner errors are always printed; PrintError adds "Unable to write to
    // register 0x<map> of <name>." on failure. One more health update at the
    // end. Returns true on failure and at once on a dead device.
    bool WriteOneReg(const RwRegister_s* pReg, bool PrintError);
    // WriteOneReg then a read-back comparing only the masked bits. With
    // TrackErrors up to 5 attempts, a summary "All attempts to write <name>
    // (WRC), Map: 0x<map> failed." when all fail, and one more health update;
    // without it a single attempt, no summary, no extra update. Mask 0 returns
    // false without traffic. Returns true on failure and at once on a dead
    // device.
    bool WriteReadCompare(const RwRegister_s* pReg, bool TrackErrors);
    // Writes [Map, Value] without printing, up to 5 attempts back to back.
    // When all fail prints "All attempts to write <name> (WORWA), Map:
    // 0x<map> failed.". One more health update at the end. Returns true on
    // failure and at once on a dead device.
    bool WriteOneRegWithAttempts(const WoRegister_s* pReg);

    // True while the device is operational (not declared dead).
    bool DeviceIsOk() const { return DeviceHealth.DeviceIsOperational; }

private:
    int BusFd;                   // the bus's descriptor, borrowed from the bus table
    uint8_t Address;             // 7-bit slave address, placed in every message
    char Name[16];               // device name for messages, NUL-terminated
    DeviceHealth_s DeviceHealth; // consecutive errors and the dead-device state

    // Counts a transfer's outcome: a success resets the count, an error
    // advances it and declares the device dead past 14.
    void UpdateDeviceHealth(bool Error);
    // Writes NumBytesMap map bytes from Map, then reads NumBytesPacket bytes
    // into pRdBuf, in one combined transfer. Checks, in order: null buffer
    // (fatal), dead device (true), zero length (false).
    bool ReadRegsArbMapSize(uint8_t* Map, uint8_t NumBytesMap, uint8_t* pRdBuf,
                            uint16_t NumBytesPacket, bool PrintError);
};

#endif
