// Chip24c32: the 24xx32 serial EEPROM as it behaves on the bus.
//
// Behaviour taken from the 24xx32 datasheets (Microchip 24LC32A, Atmel
// AT24C32): the word address is 12 bits (the upper four bits of the high
// byte are ignored); page writes increment only the five low address bits,
// so data beyond the page end wraps to the page start and overwrites it;
// sequential reads increment the whole counter and wrap from 4095 to 0; the
// write cycle starts at the STOP and the chip acknowledges nothing until it
// ends. Datasheets do not say what a STOP after one address byte does; the
// model latches each address byte as it is acknowledged.
#include "Chip24c32.h"

#include <cstring>

namespace unitsim
{
namespace
{
const uint16_t AddressMask = Chip24c32SizeBytes - 1;
const uint16_t PageMask = Chip24c32PageBytes - 1;
}

bool Chip24c32IsBusy(const sChip24c32State* pState, int64_t NowNs)
{
    return NowNs < pState->BusyUntilNs;
}

bool Chip24c32Write(sChip24c32State* pState, uint8_t* pMemory, const uint8_t* pData, unsigned Len,
                    bool StopFollows, unsigned ProgramBytes, int64_t NowNs, int64_t WriteCycleNs)
{
    if (Len == 0)
    {
        return false;
    }
    if (Len == 1)
    {
        pState->Pointer = static_cast<uint16_t>(((pData[0] << 8) | (pState->Pointer & 0xff)) & AddressMask);
        return false;
    }
    uint16_t Start = static_cast<uint16_t>(((pData[0] << 8) | pData[1]) & AddressMask);
    unsigned DataLen = Len - 2;
    uint16_t Page = Start & static_cast<uint16_t>(~PageMask);
    pState->Pointer = static_cast<uint16_t>(Page | ((Start + DataLen) & PageMask));
    if (DataLen == 0 || !StopFollows)
    {
        return false;
    }
    // Only the last 32 bytes survive a longer write: earlier ones are
    // overwritten as the page counter wraps.
    unsigned Skip = DataLen > Chip24c32PageBytes ? DataLen - Chip24c32PageBytes : 0;
    unsigned End = DataLen - Skip > ProgramBytes ? Skip + ProgramBytes : DataLen;
    for (unsigned Index = Skip; Index < End; Index++)
    {
        pMemory[Page | ((Start + Index) & PageMask)] = pData[2 + Index];
    }
    pState->BusyUntilNs = NowNs + WriteCycleNs;
    return true;
}

void Chip24c32Read(sChip24c32State* pState, const uint8_t* pMemory, uint8_t* pOut, unsigned Len)
{
    unsigned Pointer = pState->Pointer;
    while (Len > 0)
    {
        unsigned Chunk = Chip24c32SizeBytes - Pointer;
        if (Chunk > Len)
        {
            Chunk = Len;
        }
        memcpy(pOut, pMemory + Pointer, Chunk);
        pOut += Chunk;
        Len -= Chunk;
        Pointer = (Pointer + Chunk) & AddressMask;
    }
    pState->Pointer = static_cast<uint16_t>(Pointer);
}
}
