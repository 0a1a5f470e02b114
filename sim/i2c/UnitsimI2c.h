// UnitsimI2c: the simulated I2C buses of a unit, used in-process.
//
// A program linked with the unitsim-i2c library (or running with it
// preloaded, as under unitsim-run) sees the buses of its unit description
// through the ordinary i2c-dev interface: open("/dev/i2c-1"), ioctl
// (I2C_SLAVE, I2C_FUNCS, I2C_RDWR, I2C_SMBUS, ...), read, write and close.
// Without a description, or without an "i2c" section in it, every call goes
// to the C library unchanged.
//
// Test binaries link the library and call unitsim_i2c_load with a
// description of their own, usually with UNITSIM_STATE_DIR set to a scratch
// directory for the session state.
#ifndef SIM_I2C_UNITSIMI2C_H
#define SIM_I2C_UNITSIMI2C_H

#ifdef __cplusplus
extern "C" {
#endif

// Loads the unit description at pUnitPath (null: the one named by the
// environment variable UNITSIM_UNIT) and starts a new session: address
// counters, write cycles, transfer numbers and fault counts start afresh,
// and descriptors opened before stop being emulated (calls on them fail with
// EBADF; close them as usual). Chip content stays in its image files.
// Returns 0 if OK, -1 on failure after a one-line message on standard error
// (bus opens then fail with EIO until a description loads).
int unitsim_i2c_load(const char* pUnitPath);

#ifdef __cplusplus
}
#endif

#endif
