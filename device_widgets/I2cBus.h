// I2cBus: the table of the unit's open I2C bus devices.
//
// Each of the three buses' character devices (/dev/i2c-0 to /dev/i2c-2) is
// opened once at start-up and its descriptor kept here for the life of the
// process. Every I2C device object borrows the descriptor of its bus; devices
// never open or close descriptors themselves, and any number of them share
// one bus. A bus that cannot be opened is reported and stays closed; the
// first device constructed on it then stops the process.
#ifndef DEVICE_WIDGETS_I2CBUS_H
#define DEVICE_WIDGETS_I2CBUS_H

// The unit's buses. NUM_I2C_BUSSES is the count, not a bus. The underlying
// type is fixed and unsigned so that any number cast to a bus is a valid
// value and the range checks compare it as unsigned (a negative number is
// out of range too).
enum eBusNames : unsigned int
{
    I2C_BUS_0 = 0,
    I2C_BUS_1 = 1,
    I2C_BUS_2 = 2,
    NUM_I2C_BUSSES = 3
};

// The character device of bus <n>, as a printf format for the number.
const char* const I2cBusPathFormat = "/dev/i2c-%d";

// Opens /dev/i2c-<BusName> read/write and records its descriptor. On failure
// prints "I2C Error : " and "Unable to open bus <n>.  Result: -1", flushes
// standard output and leaves the bus not open. No result, no retry. A bus
// number that is not below NUM_I2C_BUSSES is a fatal assertion.
void InitI2cBus(eBusNames BusName);
// Opens buses 0, 1 and 2 in that order; a failing bus does not stop the rest.
void InitI2cBusses();
// Returns the descriptor of an open bus. A bus number that is not below
// NUM_I2C_BUSSES, or a bus that was never opened, is a fatal assertion.
int GetBusFd(eBusNames BusName);
// Closes the descriptors of all three buses, opened or not, ignoring the
// results. The table is not reset: no I2C device may be used afterwards.
void CloseI2cBusses();

#endif
