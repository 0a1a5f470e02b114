// SimBus: the transfer engine of the simulated buses: which device answers
// an address, the address and data phases of each message, the fault
// switches, and the transfer log. The session state it works on is kept in
// SimSession.cpp and SimShared.cpp.
//
// A transfer holds the session state's lock from its first message to its
// last, so the messages of one transfer reach the chips as one combined
// transaction even when processes of the session run transfers at once.
#include "SimBus.h"

#include <cerrno>
#include <cstdio>

#include <linux/i2c.h>

#include "Chip24c32.h"
#include "SimConfigI2c.h"
#include "SimLibc.h"
#include "SimSession.h"
#include "SimShared.h"

namespace unitsim
{
namespace
{
// Data bytes a log line shows.
const unsigned LogDataBytes = 16;
// The largest count byte an I2C_M_RECV_LEN read accepts.
const unsigned SmbusBlockMax = 32;

int FindDevice(unsigned Bus, unsigned Addr)
{
    const sSimConfig* pConfig = SimSessionConfig();
    for (unsigned Index = 0; Index < pConfig->NumDevices; Index++)
    {
        if (pConfig->Devices[Index].Bus == Bus && pConfig->Devices[Index].Address == Addr)
        {
            return static_cast<int>(Index);
        }
    }
    return -1;
}

// Appends "<t>.<m> i2c-<bus> <W|R> 0x<aa> len=<L> <ack|nack>[ <hh>...]" to
// the log (one write, so lines of several processes never mix) and to the
// trace.
void LogMessage(uint64_t Transfer, unsigned Index, unsigned Bus, const sSimMsg* pMsg, bool Ack)
{
    int LogFd = SimSessionLogFd();
    if (LogFd < 0 && !TraceOn())
    {
        return;
    }
    static const char Hex[] = "0123456789abcdef";
    bool Read = (pMsg->Flags & I2C_M_RD) != 0;
    char Line[128 + 3 * LogDataBytes];
    int Length = snprintf(Line, sizeof(Line), "%llu.%u i2c-%u %c 0x%02x len=%u %s",
                          static_cast<unsigned long long>(Transfer), Index, Bus, Read ? 'R' : 'W',
                          static_cast<unsigned>(pMsg->Addr), static_cast<unsigned>(pMsg->Len), Ack ? "ack" : "nack");
    if (!Read || Ack)
    {
        for (unsigned Byte = 0; Byte < pMsg->Len && Byte < LogDataBytes; Byte++)
        {
            Line[Length++] = ' ';
            Line[Length++] = Hex[pMsg->pBuf[Byte] >> 4];
            Line[Length++] = Hex[pMsg->pBuf[Byte] & 0xf];
        }
    }
    Line[Length++] = '\n';
    if (LogFd >= 0)
    {
        int Saved = errno;
        RealWrite(LogFd, Line, static_cast<size_t>(Length));
        errno = Saved;
    }
    Trace("%.*s", Length - 1, Line);
}

// A long read from a device with long_read_fail is refused as the kernel
// refuses a message beyond an adapter's read limit: before anything reaches
// the bus, so it is neither logged nor counted.
bool RefusesLongRead(unsigned Bus, const sSimMsg* pMsgs, unsigned NumMsgs)
{
    const sSimConfig* pConfig = SimSessionConfig();
    for (unsigned Index = 0; Index < NumMsgs; Index++)
    {
        int Device = (pMsgs[Index].Flags & I2C_M_TEN) != 0 ? -1 : FindDevice(Bus, pMsgs[Index].Addr);
        if (Device >= 0 && pConfig->Devices[Device].Faults.LongReadFail && (pMsgs[Index].Flags & I2C_M_RD) != 0
            && pMsgs[Index].Len > 1)
        {
            return true;
        }
    }
    return false;
}

// Address phase of a message to Device (-1: nobody there): whether it is
// acknowledged. The first message of a transfer to a device counts the
// transfer for the device's faults; *pCounted marks the devices counted.
bool Acknowledges(int Device, bool Read, uint32_t* pCounted, int64_t Now)
{
    if (Device < 0)
    {
        return false;
    }
    const sSimFaults* pFaults = &SimSessionConfig()->Devices[Device].Faults;
    sSimSharedDevice* pShared = SimSessionDevice(static_cast<unsigned>(Device));
    bool Ack = true;
    if ((*pCounted & (1u << Device)) == 0)
    {
        *pCounted |= 1u << Device;
        pShared->Transfers++;
        for (unsigned Nack = 0; Nack < pFaults->NumNacks; Nack++)
        {
            Ack = Ack && pShared->Transfers != pFaults->NackTransfers[Nack];
        }
        if (pShared->Transfers == 1 && pFaults->BusyAtStartNs > 0)
        {
            // The session begins inside a write cycle, as when a
            // program was stopped right after a page write.
            pShared->Chip.BusyUntilNs = Now + pFaults->BusyAtStartNs;
        }
    }
    return Ack && !pFaults->NoAck && !(Read && pFaults->ReadFail) && !Chip24c32IsBusy(&pShared->Chip, Now);
}

// Data phase of an acknowledged message Index of a transfer: the chip takes
// the bytes written or gives those read; Last is true for the message the
// STOP follows. Returns 0, or -EPROTO for a bad I2C_M_RECV_LEN count (then
// the count byte is logged here).
int MoveData(unsigned Device, sSimMsg* pMsg, bool Last, int64_t Now, uint64_t Transfer, unsigned Index,
             unsigned Bus)
{
    const sSimDeviceConfig* pConfig = &SimSessionConfig()->Devices[Device];
    sSimSharedDevice* pShared = SimSessionDevice(Device);
    uint8_t* pMemory = SimSessionMemory(Device);
    if ((pMsg->Flags & I2C_M_RD) == 0)
    {
        // Before the power cut every byte is stored; the write at the cut
        // stores the first bytes of a torn page, if any; none after it.
        const sSimFaults& Faults = pConfig->Faults;
        int64_t Stored = int64_t(pShared->StoredWrites);
        unsigned ProgramBytes = Faults.PowerCutAfterPage < 0 || Stored < Faults.PowerCutAfterPage
                                    ? Chip24c32PageBytes
                                : Stored == Faults.PowerCutAfterPage ? Faults.TornPageBytes
                                                                      : 0;
        if (Chip24c32Write(&pShared->Chip, pMemory, pMsg->pBuf, pMsg->Len, Last, ProgramBytes, Now,
                           pConfig->WriteCycleNs)
            && ProgramBytes > 0)
        {
            pShared->StoredWrites++;
        }
    }
    else if ((pMsg->Flags & I2C_M_RECV_LEN) != 0)
    {
        // The first byte read is the count of bytes that follow.
        Chip24c32Read(&pShared->Chip, pMemory, pMsg->pBuf, 1);
        unsigned Count = pMsg->pBuf[0];
        if (Count == 0 || Count > SmbusBlockMax)
        {
            uint16_t Len = pMsg->Len;
            pMsg->Len = 1;
            LogMessage(Transfer, Index, Bus, pMsg, true);
            pMsg->Len = Len;
            return -EPROTO;
        }
        Chip24c32Read(&pShared->Chip, pMemory, pMsg->pBuf + 1, pMsg->Len - 1 + Count);
        pMsg->Len = static_cast<uint16_t>(pMsg->Len + Count);
    }
    else
    {
        Chip24c32Read(&pShared->Chip, pMemory, pMsg->pBuf, pMsg->Len);
    }
    return 0;
}
}

bool SimBusExists(unsigned Bus)
{
    const sSimConfig* pConfig = SimSessionConfig();
    for (unsigned Index = 0; Index < pConfig->NumBuses; Index++)
    {
        if (pConfig->Buses[Index] == Bus)
        {
            return true;
        }
    }
    return false;
}

bool SimBusAddressBusy(unsigned Bus, unsigned Addr)
{
    int Device = FindDevice(Bus, Addr);
    return Device >= 0 && SimSessionConfig()->Devices[Device].Faults.SlaveBusy;
}

int SimBusTransfer(unsigned Bus, sSimMsg* pMsgs, unsigned NumMsgs)
{
    if (RefusesLongRead(Bus, pMsgs, NumMsgs))
    {
        return -EOPNOTSUPP;
    }
    uint64_t Transfer = SimSessionBegin();
    int64_t Now = SimNowNs();
    uint32_t Counted = 0;   // devices whose transfer count this transfer raised
    int Result = static_cast<int>(NumMsgs);
    for (unsigned Index = 0; Index < NumMsgs; Index++)
    {
        sSimMsg* pMsg = &pMsgs[Index];
        int Device = (pMsg->Flags & I2C_M_TEN) != 0 ? -1 : FindDevice(Bus, pMsg->Addr);
        if (!Acknowledges(Device, (pMsg->Flags & I2C_M_RD) != 0, &Counted, Now))
        {
            LogMessage(Transfer, Index, Bus, pMsg, false);
            Result = -SimNackErrno;
            break;
        }
        int Status = MoveData(static_cast<unsigned>(Device), pMsg, Index + 1 == NumMsgs, Now, Transfer, Index, Bus);
        if (Status < 0)
        {
            Result = Status;
            break;
        }
        LogMessage(Transfer, Index, Bus, pMsg, true);
    }
    SimSessionEnd();
    return Result;
}
}
