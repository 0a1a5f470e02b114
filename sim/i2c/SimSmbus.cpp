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
    switch (Size)
    {
    case I2C_SMBUS_QUICK:
        // The read/write bit is the data.
        Msgs[0].Len = 0;
        Msgs[0].Flags = static_cast<uint16_t>(Flags | (ReadWrite == I2C_SMBUS_READ ? I2C_M_RD : 0));
        NumMsgs = 1;
        break;
    case I2C_SMBUS_BYTE:
        if (ReadWrite == I2C_SMBUS_READ)
        {
            Msgs[0].Flags = static_cast<uint16_t>(Flags | I2C_M_RD);
            NumMsgs = 1;
        }
        break;
    case I2C_SMBUS_BYTE_DATA:
        if (ReadWrite == I2C_SMBUS_READ)
        {
            Msgs[1].Len = 1;
        }
        else
        {
            Msgs[0].Len = 2;
            Buf0[1] = pData->byte;
        }
        break;
    case I2C_SMBUS_WORD_DATA:
        if (ReadWrite == I2C_SMBUS_READ)
        {
            Msgs[1].Len = 2;
        }
        else
        {
            Msgs[0].Len = 3;
            Buf0[1] = static_cast<uint8_t>(pData->word & 0xff);
            Buf0[2] = static_cast<uint8_t>(pData->word >> 8);
        }
        break;
    case I2C_SMBUS_PROC_CALL:
        NumMsgs = 2;
        ReadWrite = I2C_SMBUS_READ;
        Msgs[0].Len = 3;
        Msgs[1].Len = 2;
        Buf0[1] = static_cast<uint8_t>(pData->word & 0xff);
        Buf0[2] = static_cast<uint8_t>(pData->word >> 8);
        break;
    case I2C_SMBUS_BLOCK_DATA:
        if (ReadWrite == I2C_SMBUS_READ)
        {
            Msgs[1].Flags |= I2C_M_RECV_LEN;
            Msgs[1].Len = 1;
        }
        else
        {
            if (pData->block[0] > I2C_SMBUS_BLOCK_MAX)
            {
                return -EINVAL;
            }
            Msgs[0].Len = static_cast<uint16_t>(pData->block[0] + 2);
            memcpy(Buf0 + 1, pData->block, Msgs[0].Len - 1);
        }
        break;
    case I2C_SMBUS_BLOCK_PROC_CALL:
        NumMsgs = 2;
        ReadWrite = I2C_SMBUS_READ;
        if (pData->block[0] > I2C_SMBUS_BLOCK_MAX)
        {
            return -EINVAL;
        }
        Msgs[0].Len = static_cast<uint16_t>(pData->block[0] + 2);
        memcpy(Buf0 + 1, pData->block, Msgs[0].Len - 1);
        Msgs[1].Flags |= I2C_M_RECV_LEN;
        Msgs[1].Len = 1;
        break;
    case I2C_SMBUS_I2C_BLOCK_DATA:
        if (pData->block[0] > I2C_SMBUS_BLOCK_MAX)
        {
            return -EINVAL;
        }
        if (ReadWrite == I2C_SMBUS_READ)
        {
            Msgs[1].Len = pData->block[0];
        }
        else
        {
            Msgs[0].Len = static_cast<uint16_t>(pData->block[0] + 1);
            memcpy(Buf0 + 1, pData->block + 1, pData->block[0]);
        }
        break;
    default:
        return -EOPNOTSUPP;
    }

    uint8_t PartialPec = 0;
    if (WantsPec)
    {
        if ((Msgs[0].Flags & I2C_M_RD) == 0)
        {
            if (NumMsgs == 1)
            {
                Buf0[Msgs[0].Len] = MsgPec(0, &Msgs[0]);
                Msgs[0].Len++;
            }
            else
            {
                PartialPec = MsgPec(0, &Msgs[0]);
            }
        }
        if ((Msgs[NumMsgs - 1].Flags & I2C_M_RD) != 0)
        {
            Msgs[NumMsgs - 1].Len++;
        }
    }

    int Status = SimBusTransfer(Bus, Msgs, NumMsgs);
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
        switch (Size)
        {
        case I2C_SMBUS_BYTE:
            pData->byte = Buf0[0];
            break;
        case I2C_SMBUS_BYTE_DATA:
            pData->byte = Buf1[0];
            break;
        case I2C_SMBUS_WORD_DATA:
        case I2C_SMBUS_PROC_CALL:
            pData->word = static_cast<uint16_t>(Buf1[0] | (Buf1[1] << 8));
            break;
        case I2C_SMBUS_I2C_BLOCK_DATA:
            memcpy(pData->block + 1, Buf1, pData->block[0]);
            break;
        case I2C_SMBUS_BLOCK_DATA:
        case I2C_SMBUS_BLOCK_PROC_CALL:
            memcpy(pData->block, Buf1, Buf1[0] + 1u);
            break;
        }
    }
    return 0;
}
}
