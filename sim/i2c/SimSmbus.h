// SimSmbus: SMBus calls on the simulated buses, emulated with plain I2C
// messages as the kernel's drivers/i2c/i2c-core-smbus.c does for an adapter
// without SMBus hardware (i2c-dev's checks of the ioctl come before, in
// SimDev.cpp).
#ifndef SIM_I2C_SIMSMBUS_H
#define SIM_I2C_SIMSMBUS_H

#include <cstdint>

#include <linux/i2c.h>

namespace unitsim
{
// i2c_smbus_xfer_emulated: one SMBus call of kind Size (I2C_SMBUS_QUICK ...
// I2C_SMBUS_BLOCK_PROC_CALL) to Addr on Bus, as one write and one read
// message, with a 10-bit address when TenBit, with packet error checking
// appended and checked when PecOn. Returns 0 or -errno (-EINVAL for a block
// over 32 bytes, -EOPNOTSUPP for an unknown kind, -EBADMSG for a wrong PEC,
// or what the transfer failed with); read results go into *pData.
int SimSmbusXfer(unsigned Bus, uint16_t Addr, bool TenBit, bool PecOn, uint8_t ReadWrite, uint8_t Command,
                 uint32_t Size, union i2c_smbus_data* pData);
}

#endif
