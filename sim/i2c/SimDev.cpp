// SimDev: i2c-dev descriptors and their ioctls on the simulated buses.
//
// The kernel behaviour reproduced here is that of drivers/i2c/i2c-dev.c and
// the SMBus emulation in drivers/i2c/i2c-core-smbus.c: argument checks and
// their order (EINVAL for more than 42 messages or a message over 8192
// bytes, EFAULT for a missing argument), I2C_RDWR returning the message
// count and copying read data back only when the whole transfer succeeded,
// SMBus calls built from one write and one read message, optional PEC,
// read()/write() as single messages of at most 8192 bytes to the selected
// address. The simulated adapter offers plain I2C with every SMBus call
// emulated, as the common SoC controllers do.
#include "SimDev.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "SimBus.h"
#include "SimLibc.h"

namespace unitsim
{
namespace
{
const char* const MemfdName = "unitsim-i2c";
const char* const MemfdLink = "/memfd:unitsim-i2c (deleted)";
const char OfdMagic[16] = "unitsim-i2c-ofd";
// i2c-dev limits: I2C_RDWR_IOCTL_MAX_MSGS messages of at most 8192 bytes.
const unsigned MaxMsgs = I2C_RDWR_IOCTL_MAX_MSGS;
const unsigned MaxMsgBytes = 8192;
const unsigned MaxEntries = 64;
const size_t OfdMapBytes = 4096;
// Client flags as i2c-core keeps them (I2C_CLIENT_PEC is not in the uapi).
const uint32_t ClientTen = I2C_M_TEN;
const uint32_t ClientPec = 0x04;
const int AccessPathOnly = -1;
const unsigned long Functionality = I2C_FUNC_I2C | I2C_FUNC_SMBUS_EMUL_ALL;

// What i2c-dev keeps per open file description; lives in the memfd.
struct sOfd
{
    char Magic[16];
    uint64_t SessionId;     // the session that opened it
    uint32_t Bus;
    int32_t AccessMode;     // O_RDONLY, O_WRONLY, O_RDWR or AccessPathOnly
    uint32_t Address;       // selected with I2C_SLAVE; 0 after open
    uint32_t ClientFlags;   // ClientTen, ClientPec
};

// One descriptor of this process that refers to an emulated device.
struct sEntry
{
    int Fd;
    dev_t Dev;              // identity of the memfd, to notice a reused number
    ino_t Ino;
    sOfd* pOfd;             // this process's mapping of the memfd
};

pthread_mutex_t s_TableLock = PTHREAD_MUTEX_INITIALIZER;
sEntry s_Entries[MaxEntries];
unsigned s_NumEntries = 0;

// Read data of one I2C_RDWR collects here until the transfer has succeeded.
pthread_mutex_t s_ScratchLock = PTHREAD_MUTEX_INITIALIZER;
uint8_t s_Scratch[MaxMsgs * MaxMsgBytes];

int Fail(int Errno)
{
    errno = Errno;
    return -1;
}

bool AddEntry(int Fd, const struct stat* pInfo, sOfd* pOfd)
{
    pthread_mutex_lock(&s_TableLock);
    bool Added = s_NumEntries < MaxEntries;
    if (Added)
    {
        s_Entries[s_NumEntries] = {Fd, pInfo->st_dev, pInfo->st_ino, pOfd};
        __atomic_store_n(&s_NumEntries, s_NumEntries + 1, __ATOMIC_RELEASE);
    }
    pthread_mutex_unlock(&s_TableLock);
    return Added;
}

void RemoveEntry(int Fd)
{
    pthread_mutex_lock(&s_TableLock);
    for (unsigned Index = 0; Index < s_NumEntries; Index++)
    {
        if (s_Entries[Index].Fd == Fd)
        {
            munmap(s_Entries[Index].pOfd, OfdMapBytes);
            s_Entries[Index] = s_Entries[s_NumEntries - 1];
            __atomic_store_n(&s_NumEntries, s_NumEntries - 1, __ATOMIC_RELEASE);
            break;
        }
    }
    pthread_mutex_unlock(&s_TableLock);
}

// The open file description behind Fd when Fd is an emulated descriptor of
// the running session, else null. errno is left as it was.
sOfd* Lookup(int Fd)
{
    if (__atomic_load_n(&s_NumEntries, __ATOMIC_ACQUIRE) == 0)
    {
        return nullptr;
    }
    sEntry Entry = {-1, 0, 0, nullptr};
    pthread_mutex_lock(&s_TableLock);
    for (unsigned Index = 0; Index < s_NumEntries; Index++)
    {
        if (s_Entries[Index].Fd == Fd)
        {
            Entry = s_Entries[Index];
            break;
        }
    }
    pthread_mutex_unlock(&s_TableLock);
    if (Entry.pOfd == nullptr)
    {
        return nullptr;
    }
    // The number may have been closed behind our back (dup2 over it,
    // close_range, a raw system call) and reused.
    int Saved = errno;
    struct stat Info;
    bool Same = fstat(Fd, &Info) == 0 && Info.st_dev == Entry.Dev && Info.st_ino == Entry.Ino;
    errno = Saved;
    if (!Same || Entry.pOfd->SessionId != SimSessionId())
    {
        RemoveEntry(Fd);
        return nullptr;
    }
    return Entry.pOfd;
}

// Maps the memfd behind the O_PATH descriptor Fd.
sOfd* MapOfd(int Fd)
{
    char Path[64];
    snprintf(Path, sizeof(Path), "/proc/self/fd/%d", Fd);
    int Open = RealOpen(Path, O_RDWR | O_CLOEXEC, 0);
    if (Open < 0)
    {
        return nullptr;
    }
    void* pMap = mmap(nullptr, OfdMapBytes, PROT_READ | PROT_WRITE, MAP_SHARED, Open, 0);
    RealClose(Open);
    return pMap == MAP_FAILED ? nullptr : static_cast<sOfd*>(pMap);
}

// Parses N of "/dev/i2c-N" (decimal, no leading zero); -1 for other paths.
long BusOfPath(const char* pPath)
{
    static const char Prefix[] = "/dev/i2c-";
    if (pPath == nullptr || strncmp(pPath, Prefix, sizeof(Prefix) - 1) != 0)
    {
        return -1;
    }
    const char* pDigits = pPath + sizeof(Prefix) - 1;
    long Bus = 0;
    int Count = 0;
    for (; pDigits[Count] >= '0' && pDigits[Count] <= '9'; Count++)
    {
        Bus = Bus * 10 + (pDigits[Count] - '0');
        if (Count >= 7)
        {
            return -1;
        }
    }
    if (Count == 0 || pDigits[Count] != '\0' || (pDigits[0] == '0' && Count > 1))
    {
        return -1;
    }
    return Bus;
}

int OpenBus(unsigned Bus, int Flags)
{
    int Mem = memfd_create(MemfdName, MFD_CLOEXEC);
    if (Mem < 0)
    {
        return -1;
    }
    sOfd* pOfd = nullptr;
    if (ftruncate(Mem, OfdMapBytes) == 0)
    {
        void* pMap = mmap(nullptr, OfdMapBytes, PROT_READ | PROT_WRITE, MAP_SHARED, Mem, 0);
        pOfd = pMap == MAP_FAILED ? nullptr : static_cast<sOfd*>(pMap);
    }
    int Fd = -1;
    if (pOfd != nullptr)
    {
        memcpy(pOfd->Magic, OfdMagic, sizeof(OfdMagic));
        pOfd->SessionId = SimSessionId();
        pOfd->Bus = Bus;
        pOfd->AccessMode = (Flags & O_PATH) != 0 ? AccessPathOnly : (Flags & O_ACCMODE);
        pOfd->Address = 0;
        pOfd->ClientFlags = 0;
        char Path[64];
        snprintf(Path, sizeof(Path), "/proc/self/fd/%d", Mem);
        Fd = RealOpen(Path, O_PATH | (Flags & O_CLOEXEC), 0);
    }
    int Saved = errno;
    RealClose(Mem);
    struct stat Info;
    if (Fd >= 0 && (fstat(Fd, &Info) != 0 || !AddEntry(Fd, &Info, pOfd)))
    {
        RealClose(Fd);
        Fd = -1;
        Saved = EMFILE;
    }
    if (Fd < 0 && pOfd != nullptr)
    {
        munmap(pOfd, OfdMapBytes);
    }
    errno = Saved;
    return Fd;
}

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

// i2c_smbus_xfer_emulated: one SMBus call as I2C messages. Returns 0 or
// -errno; read results go into *pData.
int SmbusXfer(unsigned Bus, uint16_t Addr, uint32_t ClientFlags, uint8_t ReadWrite, uint8_t Command,
              uint32_t Size, union i2c_smbus_data* pData)
{
    uint8_t Buf0[I2C_SMBUS_BLOCK_MAX + 3];
    uint8_t Buf1[I2C_SMBUS_BLOCK_MAX + 2];
    uint16_t Flags = static_cast<uint16_t>(ClientFlags & ClientTen);
    sSimMsg Msgs[2] = {{Addr, Flags, 1, Buf0}, {Addr, static_cast<uint16_t>(Flags | I2C_M_RD), 0, Buf1}};
    unsigned NumMsgs = ReadWrite == I2C_SMBUS_READ ? 2 : 1;
    bool WantsPec = (ClientFlags & ClientPec) != 0 && Size != I2C_SMBUS_QUICK && Size != I2C_SMBUS_I2C_BLOCK_DATA;
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

// i2cdev_ioctl_smbus.
int IoctlSmbus(sOfd* pOfd, struct i2c_smbus_ioctl_data* pArg)
{
    if (pArg == nullptr)
    {
        return Fail(EFAULT);
    }
    uint8_t ReadWrite = pArg->read_write;
    uint32_t Size = pArg->size;
    union i2c_smbus_data* pUserData = pArg->data;
    if (Size != I2C_SMBUS_QUICK && Size != I2C_SMBUS_BYTE && Size != I2C_SMBUS_BYTE_DATA
        && Size != I2C_SMBUS_WORD_DATA && Size != I2C_SMBUS_PROC_CALL && Size != I2C_SMBUS_BLOCK_DATA
        && Size != I2C_SMBUS_I2C_BLOCK_BROKEN && Size != I2C_SMBUS_I2C_BLOCK_DATA
        && Size != I2C_SMBUS_BLOCK_PROC_CALL)
    {
        return Fail(EINVAL);
    }
    if (ReadWrite != I2C_SMBUS_READ && ReadWrite != I2C_SMBUS_WRITE)
    {
        return Fail(EINVAL);
    }
    union i2c_smbus_data Temp;
    memset(&Temp, 0, sizeof(Temp));
    int Status;
    if (Size == I2C_SMBUS_QUICK || (Size == I2C_SMBUS_BYTE && ReadWrite == I2C_SMBUS_WRITE))
    {
        // These carry no data.
        Status = SmbusXfer(pOfd->Bus, static_cast<uint16_t>(pOfd->Address), pOfd->ClientFlags, ReadWrite,
                           pArg->command, Size, &Temp);
        return Status < 0 ? Fail(-Status) : 0;
    }
    if (pUserData == nullptr)
    {
        return Fail(EINVAL);
    }
    size_t DataSize = (Size == I2C_SMBUS_BYTE_DATA || Size == I2C_SMBUS_BYTE) ? sizeof(Temp.byte)
                    : (Size == I2C_SMBUS_WORD_DATA || Size == I2C_SMBUS_PROC_CALL) ? sizeof(Temp.word)
                    : sizeof(Temp.block);
    bool CopyIn = Size == I2C_SMBUS_PROC_CALL || Size == I2C_SMBUS_BLOCK_PROC_CALL
               || Size == I2C_SMBUS_I2C_BLOCK_DATA || ReadWrite == I2C_SMBUS_WRITE;
    if (CopyIn)
    {
        memcpy(&Temp, pUserData, DataSize);
    }
    if (Size == I2C_SMBUS_I2C_BLOCK_BROKEN)
    {
        // The old I2C block call reads a whole 32-byte block.
        Size = I2C_SMBUS_I2C_BLOCK_DATA;
        if (ReadWrite == I2C_SMBUS_READ)
        {
            Temp.block[0] = I2C_SMBUS_BLOCK_MAX;
        }
    }
    Status = SmbusXfer(pOfd->Bus, static_cast<uint16_t>(pOfd->Address), pOfd->ClientFlags, ReadWrite,
                       pArg->command, Size, &Temp);
    if (Status < 0)
    {
        return Fail(-Status);
    }
    if (Size == I2C_SMBUS_PROC_CALL || Size == I2C_SMBUS_BLOCK_PROC_CALL || ReadWrite == I2C_SMBUS_READ)
    {
        memcpy(pUserData, &Temp, DataSize);
    }
    return 0;
}

// i2cdev_ioctl_rdwr.
int IoctlRdwr(sOfd* pOfd, struct i2c_rdwr_ioctl_data* pArg)
{
    if (pArg == nullptr)
    {
        return Fail(EFAULT);
    }
    if (pArg->msgs == nullptr || pArg->nmsgs == 0 || pArg->nmsgs > MaxMsgs)
    {
        return Fail(EINVAL);
    }
    unsigned NumMsgs = pArg->nmsgs;
    sSimMsg Msgs[MaxMsgs];
    pthread_mutex_lock(&s_ScratchLock);
    size_t Used = 0;
    int Errno = 0;
    for (unsigned Index = 0; Index < NumMsgs && Errno == 0; Index++)
    {
        const struct i2c_msg* pUser = &pArg->msgs[Index];
        if (pUser->len > MaxMsgBytes)
        {
            Errno = EINVAL;
        }
        else if (pUser->buf == nullptr && pUser->len > 0)
        {
            Errno = EFAULT;
        }
        else if ((pUser->flags & I2C_M_RECV_LEN) != 0
                 && ((pUser->flags & I2C_M_RD) == 0 || pUser->len == 0 || pUser->buf[0] < 1
                     || pUser->len < pUser->buf[0] + I2C_SMBUS_BLOCK_MAX))
        {
            // The buffer must hold the prefilled extra bytes plus a full block.
            Errno = EINVAL;
        }
        else
        {
            sSimMsg* pMsg = &Msgs[Index];
            pMsg->Addr = pUser->addr;
            pMsg->Flags = pUser->flags;
            pMsg->Len = (pUser->flags & I2C_M_RECV_LEN) != 0 ? pUser->buf[0] : pUser->len;
            if ((pUser->flags & I2C_M_RD) != 0)
            {
                pMsg->pBuf = s_Scratch + Used;
                Used += pUser->len;
            }
            else
            {
                pMsg->pBuf = pUser->buf;
            }
        }
    }
    int Result = -1;
    if (Errno == 0)
    {
        Result = SimBusTransfer(pOfd->Bus, Msgs, NumMsgs);
        if (Result < 0)
        {
            Errno = -Result;
        }
        else
        {
            // Back to the caller in reverse, as the kernel copies them.
            for (unsigned Index = NumMsgs; Index-- > 0;)
            {
                if ((Msgs[Index].Flags & I2C_M_RD) != 0)
                {
                    memcpy(pArg->msgs[Index].buf, Msgs[Index].pBuf, Msgs[Index].Len);
                }
            }
        }
    }
    pthread_mutex_unlock(&s_ScratchLock);
    return Errno != 0 ? Fail(Errno) : Result;
}

const char* RequestName(unsigned Request)
{
    switch (Request)
    {
    case I2C_SLAVE: return "I2C_SLAVE";
    case I2C_SLAVE_FORCE: return "I2C_SLAVE_FORCE";
    case I2C_TENBIT: return "I2C_TENBIT";
    case I2C_PEC: return "I2C_PEC";
    case I2C_FUNCS: return "I2C_FUNCS";
    case I2C_RDWR: return "I2C_RDWR";
    case I2C_SMBUS: return "I2C_SMBUS";
    case I2C_RETRIES: return "I2C_RETRIES";
    case I2C_TIMEOUT: return "I2C_TIMEOUT";
    default: return "other";
    }
}

// i2cdev_ioctl.
int Ioctl(sOfd* pOfd, int Fd, unsigned Request, void* pArg)
{
    unsigned long Arg = reinterpret_cast<unsigned long>(pArg);
    switch (Request)
    {
    case I2C_SLAVE:
    case I2C_SLAVE_FORCE:
        if (((pOfd->ClientFlags & ClientTen) == 0 && Arg > 0x7f) || Arg > 0x3ff)
        {
            return Fail(EINVAL);
        }
        // FORCE takes an address even when a kernel driver holds it.
        if (Request == I2C_SLAVE && SimBusAddressBusy(pOfd->Bus, static_cast<unsigned>(Arg)))
        {
            return Fail(EBUSY);
        }
        pOfd->Address = static_cast<uint32_t>(Arg);
        return 0;
    case I2C_TENBIT:
        pOfd->ClientFlags = Arg != 0 ? (pOfd->ClientFlags | ClientTen) : (pOfd->ClientFlags & ~ClientTen);
        return 0;
    case I2C_PEC:
        pOfd->ClientFlags = Arg != 0 ? (pOfd->ClientFlags | ClientPec) : (pOfd->ClientFlags & ~ClientPec);
        return 0;
    case I2C_FUNCS:
        if (pArg == nullptr)
        {
            return Fail(EFAULT);
        }
        *static_cast<unsigned long*>(pArg) = Functionality;
        return 0;
    case I2C_RDWR:
        return IoctlRdwr(pOfd, static_cast<struct i2c_rdwr_ioctl_data*>(pArg));
    case I2C_SMBUS:
        return IoctlSmbus(pOfd, static_cast<struct i2c_smbus_ioctl_data*>(pArg));
    case I2C_RETRIES:
    case I2C_TIMEOUT:
        return Arg > INT_MAX ? Fail(EINVAL) : 0;
    case FIOCLEX:
        return fcntl(Fd, F_SETFD, FD_CLOEXEC);
    case FIONCLEX:
        return fcntl(Fd, F_SETFD, 0);
    default:
        return Fail(ENOTTY);
    }
}
}

bool SimDevOpen(const char* pPath, int Flags, int* pResult)
{
    long Bus = BusOfPath(pPath);
    if (Bus < 0)
    {
        return false;
    }
    eSimStatus Status = SimSessionStatus();
    if (Status == SIM_OFF)
    {
        return false;
    }
    if (Status == SIM_BROKEN)
    {
        *pResult = Fail(EIO);
    }
    else if (!SimBusExists(static_cast<unsigned>(Bus)))
    {
        *pResult = Fail(ENOENT);
    }
    else if ((Flags & O_CREAT) != 0 && (Flags & O_EXCL) != 0)
    {
        *pResult = Fail(EEXIST);
    }
    else if ((Flags & O_DIRECTORY) != 0)
    {
        *pResult = Fail(ENOTDIR);
    }
    else
    {
        *pResult = OpenBus(static_cast<unsigned>(Bus), Flags);
    }
    int Saved = errno;
    Trace("open %s -> %d%s%s", pPath, *pResult, *pResult < 0 ? " " : "", *pResult < 0 ? strerror(Saved) : "");
    errno = Saved;
    return true;
}

bool SimDevIoctl(int Fd, unsigned long Request, void* pArg, int* pResult)
{
    sOfd* pOfd = Lookup(Fd);
    if (pOfd == nullptr)
    {
        return false;
    }
    // The kernel sees the request as a 32-bit number.
    unsigned Command = static_cast<unsigned>(Request);
    *pResult = pOfd->AccessMode == AccessPathOnly ? Fail(EBADF) : Ioctl(pOfd, Fd, Command, pArg);
    if (TraceOn() && Command != I2C_RDWR && Command != I2C_SMBUS)
    {
        int Saved = errno;
        Trace("ioctl %d %s(0x%x) 0x%lx -> %d%s%s", Fd, RequestName(Command), Command,
              reinterpret_cast<unsigned long>(pArg), *pResult, *pResult < 0 ? " " : "",
              *pResult < 0 ? strerror(Saved) : "");
        errno = Saved;
    }
    return true;
}

bool SimDevRead(int Fd, void* pBuf, size_t Count, ssize_t* pResult)
{
    sOfd* pOfd = Lookup(Fd);
    if (pOfd == nullptr)
    {
        return false;
    }
    if (pOfd->AccessMode == AccessPathOnly || pOfd->AccessMode == O_WRONLY)
    {
        *pResult = Fail(EBADF);
        return true;
    }
    if (Count > MaxMsgBytes)
    {
        Count = MaxMsgBytes;
    }
    if (pBuf == nullptr && Count > 0)
    {
        *pResult = Fail(EFAULT);
        return true;
    }
    // One read message: it fails only in its address phase, before any
    // data, so the data can go straight to the caller.
    sSimMsg Msg = {static_cast<uint16_t>(pOfd->Address), static_cast<uint16_t>((pOfd->ClientFlags & ClientTen) | I2C_M_RD),
                   static_cast<uint16_t>(Count), static_cast<uint8_t*>(pBuf)};
    int Status = SimBusTransfer(pOfd->Bus, &Msg, 1);
    *pResult = Status < 0 ? Fail(-Status) : static_cast<ssize_t>(Count);
    return true;
}

bool SimDevWrite(int Fd, const void* pBuf, size_t Count, ssize_t* pResult)
{
    sOfd* pOfd = Lookup(Fd);
    if (pOfd == nullptr)
    {
        return false;
    }
    if (pOfd->AccessMode == AccessPathOnly || pOfd->AccessMode == O_RDONLY)
    {
        *pResult = Fail(EBADF);
        return true;
    }
    if (Count > MaxMsgBytes)
    {
        Count = MaxMsgBytes;
    }
    if (pBuf == nullptr && Count > 0)
    {
        *pResult = Fail(EFAULT);
        return true;
    }
    sSimMsg Msg = {static_cast<uint16_t>(pOfd->Address), static_cast<uint16_t>(pOfd->ClientFlags & ClientTen),
                   static_cast<uint16_t>(Count), static_cast<uint8_t*>(const_cast<void*>(pBuf))};
    int Status = SimBusTransfer(pOfd->Bus, &Msg, 1);
    *pResult = Status < 0 ? Fail(-Status) : static_cast<ssize_t>(Count);
    return true;
}

void SimDevClose(int Fd)
{
    if (__atomic_load_n(&s_NumEntries, __ATOMIC_ACQUIRE) != 0)
    {
        RemoveEntry(Fd);
    }
}

bool SimDevAdopt(int Fd)
{
    if (Fd < 0)
    {
        return false;
    }
    int Saved = errno;
    char Path[64];
    char Link[64];
    snprintf(Path, sizeof(Path), "/proc/self/fd/%d", Fd);
    ssize_t Length = readlink(Path, Link, sizeof(Link) - 1);
    bool Adopted = false;
    if (Length > 0)
    {
        Link[Length] = '\0';
    }
    if (Length > 0 && strcmp(Link, MemfdLink) == 0 && SimSessionStatus() == SIM_ON)
    {
        sOfd* pOfd = MapOfd(Fd);
        struct stat Info;
        if (pOfd != nullptr && memcmp(pOfd->Magic, OfdMagic, sizeof(OfdMagic)) == 0
            && pOfd->SessionId == SimSessionId() && fstat(Fd, &Info) == 0)
        {
            RemoveEntry(Fd);
            Adopted = AddEntry(Fd, &Info, pOfd);
        }
        if (!Adopted && pOfd != nullptr)
        {
            munmap(pOfd, OfdMapBytes);
        }
        Trace("descriptor %d %s", Fd, Adopted ? "adopted" : "not adopted");
    }
    errno = Saved;
    return Adopted;
}

void SimDevForgetAll()
{
    pthread_mutex_lock(&s_TableLock);
    for (unsigned Index = 0; Index < s_NumEntries; Index++)
    {
        munmap(s_Entries[Index].pOfd, OfdMapBytes);
    }
    __atomic_store_n(&s_NumEntries, 0u, __ATOMIC_RELEASE);
    pthread_mutex_unlock(&s_TableLock);
}
}
