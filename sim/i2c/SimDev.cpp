// SimDev: i2c-dev descriptors and their ioctls on the simulated buses.
//
// The kernel behaviour reproduced here is that of drivers/i2c/i2c-dev.c:
// argument checks and their order (EINVAL for more than 42 messages or a
// message over 8192 bytes, EFAULT for a missing argument), I2C_RDWR
// returning the message count and copying read data back only when the
// whole transfer succeeded, read()/write() as single messages of at most
// 8192 bytes to the selected address. The SMBus calls are emulated in
// SimSmbus.cpp, as i2c-core-smbus.c does; the descriptors and their open
// file descriptions are kept in SimOfd.cpp. The simulated adapter offers
// plain I2C with every SMBus call emulated, as the common SoC controllers
// do.
#include "SimDev.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <cstdlib>

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "SimBus.h"
#include "SimLibc.h"
#include "SimOfd.h"
#include "SimSession.h"
#include "SimShared.h"
#include "SimSmbus.h"

namespace unitsim
{
namespace
{
// i2c-dev limits: I2C_RDWR_IOCTL_MAX_MSGS messages of at most 8192 bytes.
const unsigned MaxMsgs = I2C_RDWR_IOCTL_MAX_MSGS;
const unsigned MaxMsgBytes = 8192;
// Client flags as i2c-core keeps them (I2C_CLIENT_PEC is not in the uapi).
const uint32_t ClientTen = I2C_M_TEN;
const uint32_t ClientPec = 0x04;
const unsigned long Functionality = I2C_FUNC_I2C | I2C_FUNC_SMBUS_EMUL_ALL;

// Read data of one I2C_RDWR collects here until the transfer has succeeded.
pthread_mutex_t s_ScratchLock = PTHREAD_MUTEX_INITIALIZER;
uint8_t s_Scratch[MaxMsgs * MaxMsgBytes];

int Fail(int Errno)
{
    errno = Errno;
    return -1;
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

// i2cdev_ioctl_smbus.
int IoctlSmbus(sSimOfd* pOfd, struct i2c_smbus_ioctl_data* pArg)
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
    uint16_t Addr = static_cast<uint16_t>(pOfd->Address);
    bool TenBit = (pOfd->ClientFlags & ClientTen) != 0;
    bool PecOn = (pOfd->ClientFlags & ClientPec) != 0;
    union i2c_smbus_data Temp;
    memset(&Temp, 0, sizeof(Temp));
    int Status;
    if (Size == I2C_SMBUS_QUICK || (Size == I2C_SMBUS_BYTE && ReadWrite == I2C_SMBUS_WRITE))
    {
        // These carry no data.
        Status = SimSmbusXfer(pOfd->Bus, Addr, TenBit, PecOn, ReadWrite, pArg->command, Size, &Temp);
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
    Status = SimSmbusXfer(pOfd->Bus, Addr, TenBit, PecOn, ReadWrite, pArg->command, Size, &Temp);
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
int IoctlRdwr(sSimOfd* pOfd, struct i2c_rdwr_ioctl_data* pArg)
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
int Ioctl(sSimOfd* pOfd, int Fd, unsigned Request, void* pArg)
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

// A record lock of the caller's layout (struct flock or flock64) on bus
// Bus; Command is the 64-bit one.
template <typename tFlock> int Lock(unsigned Bus, int Command, tFlock* pLock)
{
    if (pLock == nullptr)
    {
        return Fail(EFAULT);
    }
    struct flock64 Lock = {};
    Lock.l_type = pLock->l_type;
    if (Lock.l_type != F_RDLCK && Lock.l_type != F_WRLCK && Lock.l_type != F_UNLCK)
    {
        return Fail(EINVAL);
    }
    int Result = SimSharedBusLock(Bus, Command, &Lock);
    if (Result == 0 && Command == F_GETLK64)
    {
        pLock->l_type = Lock.l_type;
        pLock->l_whence = SEEK_SET;
        pLock->l_start = 0;
        pLock->l_len = 0;
        pLock->l_pid = Lock.l_pid;
    }
    return Result;
}

// i2cdev_read and i2cdev_write: one message (a read with ReadFlag I2C_M_RD,
// else a write) of at most MaxMsgBytes to the selected address. Returns
// false when Fd is not the simulation's.
bool ReadOrWrite(int Fd, uint16_t ReadFlag, uint8_t* pBuf, size_t Count, ssize_t* pResult)
{
    sSimOfd* pOfd = SimOfdLookup(Fd);
    if (pOfd == nullptr)
    {
        return false;
    }
    int Refused = ReadFlag != 0 ? O_WRONLY : O_RDONLY;
    if (pOfd->AccessMode == SimAccessPathOnly || pOfd->AccessMode == Refused)
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
    // A single message fails only in its address phase, before any data, so
    // read data can go straight to the caller.
    uint16_t Flags = static_cast<uint16_t>((pOfd->ClientFlags & ClientTen) | ReadFlag);
    sSimMsg Msg = {static_cast<uint16_t>(pOfd->Address), Flags, static_cast<uint16_t>(Count), pBuf};
    int Status = SimBusTransfer(pOfd->Bus, &Msg, 1);
    *pResult = Status < 0 ? Fail(-Status) : static_cast<ssize_t>(Count);
    return true;
}
}

bool SimDevOpen(const char* pPath, int Flags, int* pResult)
{
    long Bus = BusOfPath(pPath);
    if (Bus < 0)
    {
        return false;
    }
    // The nodes are root's, mode 0600, as the kernel makes them where no
    // udev rule gives them a group: another user is refused before the
    // description (which it may not be able to read) is looked at.
    if ((Flags & O_PATH) == 0 && geteuid() != 0 && getenv("UNITSIM_UNIT") != nullptr)
    {
        *pResult = Fail(EACCES);
        Trace("open %s -> -1 %s", pPath, strerror(EACCES));
        return true;
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
        *pResult = SimOfdOpen(static_cast<unsigned>(Bus), Flags);
    }
    int Saved = errno;
    Trace("open %s -> %d%s%s", pPath, *pResult, *pResult < 0 ? " " : "", *pResult < 0 ? strerror(Saved) : "");
    errno = Saved;
    return true;
}

bool SimDevIoctl(int Fd, unsigned long Request, void* pArg, int* pResult)
{
    sSimOfd* pOfd = SimOfdLookup(Fd);
    if (pOfd == nullptr)
    {
        return false;
    }
    // The kernel sees the request as a 32-bit number.
    unsigned Command = static_cast<unsigned>(Request);
    *pResult = pOfd->AccessMode == SimAccessPathOnly ? Fail(EBADF) : Ioctl(pOfd, Fd, Command, pArg);
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

bool SimDevFcntl(int Fd, int Command, void* pArg, int* pResult)
{
    // The 64-bit commands take a struct flock64 (on 64-bit targets they are
    // the plain ones); the plain ones on a 32-bit target a struct flock.
    int Command64 = Command == F_GETLK ? F_GETLK64 : Command == F_SETLK ? F_SETLK64 : Command == F_SETLKW ? F_SETLKW64 : Command;
    if (Command64 != F_GETLK64 && Command64 != F_SETLK64 && Command64 != F_SETLKW64)
    {
        return false;
    }
    sSimOfd* pOfd = SimOfdLookup(Fd);
    if (pOfd == nullptr)
    {
        return false;
    }
    // A write lock needs a descriptor open for writing, a read lock one open
    // for reading.
    short Type = Command == Command64 ? static_cast<struct flock64*>(pArg)->l_type
                                      : static_cast<struct flock*>(pArg)->l_type;
    bool Refused = pOfd->AccessMode == SimAccessPathOnly || (Command64 != F_GETLK64 && Type == F_WRLCK && pOfd->AccessMode == O_RDONLY)
                   || (Command64 != F_GETLK64 && Type == F_RDLCK && pOfd->AccessMode == O_WRONLY);
    *pResult = Refused               ? Fail(EBADF)
               : Command == Command64 ? Lock(pOfd->Bus, Command64, static_cast<struct flock64*>(pArg))
                                     : Lock(pOfd->Bus, Command64, static_cast<struct flock*>(pArg));
    int Saved = errno;
    Trace("fcntl %d lock command %d -> %d%s%s", Fd, Command, *pResult, *pResult < 0 ? " " : "",
          *pResult < 0 ? strerror(Saved) : "");
    errno = Saved;
    return true;
}

void SimDevClose(int Fd)
{
    sSimOfd* pOfd = SimOfdLookup(Fd);
    if (pOfd != nullptr)
    {
        SimSharedBusUnlock(pOfd->Bus);
    }
    SimOfdClose(Fd);
}

bool SimDevRead(int Fd, void* pBuf, size_t Count, ssize_t* pResult)
{
    return ReadOrWrite(Fd, I2C_M_RD, static_cast<uint8_t*>(pBuf), Count, pResult);
}

bool SimDevWrite(int Fd, const void* pBuf, size_t Count, ssize_t* pResult)
{
    // The buffer is only read: a write message's data goes to the chip.
    return ReadOrWrite(Fd, 0, static_cast<uint8_t*>(const_cast<void*>(pBuf)), Count, pResult);
}
}
