// SimSmbus: SMBus calls built from I2C messages, as the kernel's SMBus
// emulation builds them: the command byte and data in a write message, the
// answer in a read message after a repeated START, the block count taken
// from the bus for block reads (I2C_M_RECV_LEN), and the optional PEC byte,
// a CRC-8 over the address bytes and data of both messages.
#include "SimSmbus.h"

#include <cerrno>
#include <cstring>

#include <linux/i2c.h>

#include "SimBus.h"

namespace unitsim
{
namespace
{
// CRC-8 (x^8 + x^2 + x + 1) of SMBus packet error checking, as
// i2c_smbus_pec computes it.
uint8_t Pec(uint8_t Crc, const uint8_t* pData, size_t Count)
{
    for (size_t Index = 0; Index < Count; Index++)
    {
        Crc ^= pData[Index];
        for (int Bit = 0; Bit < 8; Bit++)
        {
            Crc = static_cast<uint8_t>((Crc & 0x80) != 0 ? (Crc << 1) ^ 0x07 : Crc << 1);
        }
    }
    return Crc;
}

uint8_t MsgPec(uint8_t Crc, const sSimMsg* pMsg)
{
    uint8_t Address = static_cast<uint8_t>((pMsg->Addr << 1) | (pMsg->Flags & I2C_M_RD));
    return Pec(Pec(Crc, &Address, 1), pMsg->pBuf, pMsg->Len);
}

// The messages of the block kinds of call (see BuildMsgs).
int BuildBlockMsgs(sSimMsg* pMsgs, unsigned* pNumMsgs, uint8_t* pReadWrite, uint32_t Size,
                   const union i2c_smbus_data* pData)
{
    uint8_t* pBuf0 = pMsgs[0].pBuf;
    switch (Size)
    {
    case I2C_SMBUS_BLOCK_DATA:
        if (*pReadWrite == I2C_SMBUS_READ)
        {
            pMsgs[1].Flags |= I2C_M_RECV_LEN;
            pMsgs[1].Len = 1;
        }
        else
        {
            if (pData->block[0] > I2C_SMBUS_BLOCK_MAX)
            {
                return -EINVAL;
            }
            pMsgs[0].Len = static_cast<uint16_t>(pData->block[0] + 2);
            memcpy(pBuf0 + 1, pData->block, pMsgs[0].Len - 1);
        }
        return 0;
    case I2C_SMBUS_BLOCK_PROC_CALL:
        *pNumMsgs = 2;
        *pReadWrite = I2C_SMBUS_READ;
        if (pData->block[0] > I2C_SMBUS_BLOCK_MAX)
        {
            return -EINVAL;
        }
        pMsgs[0].Len = static_cast<uint16_t>(pData->block[0] + 2);
        memcpy(pBuf0 + 1, pData->block, pMsgs[0].Len - 1);
        pMsgs[1].Flags |= I2C_M_RECV_LEN;
        pMsgs[1].Len = 1;
        return 0;
    default:    // I2C_SMBUS_I2C_BLOCK_DATA
        if (pData->block[0] > I2C_SMBUS_BLOCK_MAX)
        {
            return -EINVAL;
        }
        if (*pReadWrite == I2C_SMBUS_READ)
        {
            pMsgs[1].Len = pData->block[0];
        }
        else
        {
            pMsgs[0].Len = static_cast<uint16_t>(pData->block[0] + 1);
            memcpy(pBuf0 + 1, pData->block + 1, pData->block[0]);
        }
        return 0;
    }
}

// Fills in the messages of a call of kind Size: pMsgs[0] a write message
// holding the command byte, pMsgs[1] a read message without a length, and
// *pNumMsgs 2 for a read, else 1. A call that writes and then reads (the
// process calls) becomes a read. Returns 0, or -EINVAL for a block over 32
// bytes, -EOPNOTSUPP for an unknown kind.
int BuildMsgs(sSimMsg* pMsgs, unsigned* pNumMsgs, uint8_t* pReadWrite, uint32_t Size,
              const union i2c_smbus_data* pData)
{
    uint8_t* pBuf0 = pMsgs[0].pBuf;
    uint16_t Flags = pMsgs[0].Flags;
    switch (Size)
    {
    case I2C_SMBUS_QUICK:
        // The read/write bit is the data.
        pMsgs[0].Len = 0;
        pMsgs[0].Flags = static_cast<uint16_t>(Flags | (*pReadWrite == I2C_SMBUS_READ ? I2C_M_RD : 0));
        *pNumMsgs = 1;
        return 0;
    case I2C_SMBUS_BYTE:
        if (*pReadWrite == I2C_SMBUS_READ)
        {
            pMsgs[0].Flags = static_cast<uint16_t>(Flags | I2C_M_RD);
            *pNumMsgs = 1;
        }
        return 0;
    case I2C_SMBUS_BYTE_DATA:
        if (*pReadWrite == I2C_SMBUS_READ)
        {
            pMsgs[1].Len = 1;
        }
        else
        {
            pMsgs[0].Len = 2;
            pBuf0[1] = pData->byte;
        }
        return 0;
    case I2C_SMBUS_WORD_DATA:
        if (*pReadWrite == I2C_SMBUS_READ)
        {
            pMsgs[1].Len = 2;
        }
        else
        {
            pMsgs[0].Len = 3;
            pBuf0[1] = static_cast<uint8_t>(pData->word & 0xff);
            pBuf0[2] = static_cast<uint8_t>(pData->word >> 8);
        }
        return 0;
    case I2C_SMBUS_PROC_CALL:
        *pNumMsgs = 2;
        *pReadWrite = I2C_SMBUS_READ;
        pMsgs[0].Len = 3;
        pMsgs[1].Len = 2;
        pBuf0[1] = static_cast<uint8_t>(pData->word & 0xff);
        pBuf0[2] = static_cast<uint8_t>(pData->word >> 8);
        return 0;
    case I2C_SMBUS_BLOCK_DATA:
    case I2C_SMBUS_BLOCK_PROC_CALL:
    case I2C_SMBUS_I2C_BLOCK_DATA:
        return BuildBlockMsgs(pMsgs, pNumMsgs, pReadWrite, Size, pData);
    default:
        return -EOPNOTSUPP;
    }
}

// Packet error checking on the way out: a lone write message gets its PEC
// byte, the read message room for the chip's. Returns the PEC of a write
// message that a read follows, which the read's PEC continues.
uint8_t AddPec(sSimMsg* pMsgs, unsigned NumMsgs)
{
    uint8_t PartialPec = 0;
    if ((pMsgs[0].Flags & I2C_M_RD) == 0)
    {
        if (NumMsgs == 1)
        {
            pMsgs[0].pBuf[pMsgs[0].Len] = MsgPec(0, &pMsgs[0]);
            pMsgs[0].Len++;
        }
        else
        {
            PartialPec = MsgPec(0, &pMsgs[0]);
        }
    }
    if ((pMsgs[NumMsgs - 1].Flags & I2C_M_RD) != 0)
    {
        pMsgs[NumMsgs - 1].Len++;
    }
    return PartialPec;
}

// Copies what a read call of kind Size received (pBuf0: a lone read
// message's byte; pBuf1: the read message after the write) into *pData.
void CopyAnswer(uint32_t Size, const uint8_t* pBuf0, const uint8_t* pBuf1, union i2c_smbus_data* pData)
{
    switch (Size)
    {
    case I2C_SMBUS_BYTE:
        pData->byte = pBuf0[0];
        break;
    case I2C_SMBUS_BYTE_DATA:
        pData->byte = pBuf1[0];
        break;
    case I2C_SMBUS_WORD_DATA:
    case I2C_SMBUS_PROC_CALL:
        pData->word = static_cast<uint16_t>(pBuf1[0] | (pBuf1[1] << 8));
        break;
    case I2C_SMBUS_I2C_BLOCK_DATA:
        memcpy(pData->block + 1, pBuf1, pData->block[0]);
        break;
    case I2C_SMBUS_BLOCK_DATA:
    case I2C_SMBUS_BLOCK_PROC_CALL:
        memcpy(pData->block, pBuf1, pBuf1[0] + 1u);
        break;
    }
}
}

int SimSmbusXfer(unsigned Bus, uint16_t Addr, bool TenBit, bool PecOn, uint8_t ReadWrite, uint8_t Command,
                 uint32_t Size, union i2c_smbus_data* pData)
{
    uint8_t Buf0[I2C_SMBUS_BLOCK_MAX + 3];
    uint8_t Buf1[I2C_SMBUS_BLOCK_MAX + 2];
    uint16_t Flags = TenBit ? I2C_M_TEN : 0;
    sSimMsg Msgs[2] = {{Addr, Flags, 1, Buf0}, {Addr, static_cast<uint16_t>(Flags | I2C_M_RD), 0, Buf1}};
    unsigned NumMsgs = ReadWrite == I2C_SMBUS_READ ? 2 : 1;
    bool WantsPec = PecOn && Size != I2C_SMBUS_QUICK && Size != I2C_SMBUS_I2C_BLOCK_DATA;
    Buf0[0] = Command;
    int Status = BuildMsgs(Msgs, &NumMsgs, &ReadWrite, Size, pData);
    if (Status < 0)
    {
        return Status;
    }
    uint8_t PartialPec = WantsPec ? AddPec(Msgs, NumMsgs) : 0;
    Status = SimBusTransfer(Bus, Msgs, NumMsgs);
    if (Status < 0)
    {
        return Status;
    }
    if (WantsPec && (Msgs[NumMsgs - 1].Flags & I2C_M_RD) != 0)
    {
        sSimMsg* pLast = &Msgs[NumMsgs - 1];
        pLast->Len--;
        if (pLast->pBuf[pLast->Len] != MsgPec(PartialPec, pLast))
        {
            return -EBADMSG;
        }
    }
    if (ReadWrite == I2C_SMBUS_READ)
    {
        CopyAnswer(Size, Buf0, Buf1, pData);
    }
    return 0;
}
}
