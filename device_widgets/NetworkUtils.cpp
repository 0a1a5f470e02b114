// NetworkUtils: interface ioctls, IPv4 validation and formatting.
#include "NetworkUtils.h"

#include "Utilities.h"

#include <cassert>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

// Caller buffer sizes.
static const size_t IpStringBytes = 16;     // 15 characters and NUL
static const size_t MacStringBytes = 18;    // 17 characters and NUL
static const size_t TcpStringBytes = 32;    // 31 characters and NUL
static const size_t MacNumBytes = 6;

// The interface whose MAC address identifies the unit.
static const char* const MacInterface = "eth0";

// Prints the module tag, then the formatted message.
__attribute__((format(printf, 1, 2)))
static void s_Report(const char* pFormat, ...)
{
    printf("NET ERROR : ");
    va_list Args;
    va_start(Args, pFormat);
    vprintf(pFormat, Args);
    va_end(Args);
}

// The address word of pIp in network byte order; 0 when it does not parse.
static uint32_t GetUint32FromIpString(const char* pIp)
{
    struct in_addr Addr;
    Addr.s_addr = 0;
    inet_aton(pIp, &Addr);
    return Addr.s_addr;
}

// An address word read as a little-endian integer, so that its first octet
// gives the two lowest hex digits when printed, on any host.
static uint32_t s_WordAsLittleEndian(uint32_t Word)
{
    uint8_t Bytes[4];
    memcpy(Bytes, &Word, sizeof(Bytes));
    return static_cast<uint32_t>(Bytes[0]) | static_cast<uint32_t>(Bytes[1]) << 8
         | static_cast<uint32_t>(Bytes[2]) << 16 | static_cast<uint32_t>(Bytes[3]) << 24;
}

// The dotted text of the address in an SIOCGIFADDR answer. The text lives in
// the C library's inet_ntoa buffer until the next call.
static const char* GetIpAddressFromRequest(const struct ifreq* pRequest)
{
    struct sockaddr_in Addr;
    memcpy(&Addr, &pRequest->ifr_addr, sizeof(Addr));
    return inet_ntoa(Addr.sin_addr);
}

void CreateTcpSocketStringFromIpAndPort(char* pSs, const char* pIp, const char* pPort)
{
    assert(pSs != nullptr);
    assert(pIp != nullptr);
    assert(pPort != nullptr);
    memset(pSs, 0, TcpStringBytes);
    int Length = snprintf(pSs, TcpStringBytes, "tcp://%s:%s", pIp, pPort);
    assert(Length >= 1 && Length <= static_cast<int>(TcpStringBytes) - 1);
}

bool IpAddrIsValid(const char* pIpAddr)
{
    if (CountChars('.', pIpAddr) != 3)
    {
        return false;
    }
    struct in_addr Addr;
    if (inet_aton(pIpAddr, &Addr) == 0)
    {
        return false;
    }
    return Addr.s_addr != htonl(INADDR_ANY) && Addr.s_addr != htonl(INADDR_BROADCAST);
}

bool GetLinkLocalAddressFromIoctl(const char* pIface, char* Llip)
{
    assert(Llip != nullptr);
    struct ifreq Request;
    memset(&Request, 0, sizeof(Request));
    memset(Llip, 0, IpStringBytes);

    int Sock = socket(AF_INET, SOCK_DGRAM, 0);
    Request.ifr_addr.sa_family = AF_INET;
    strncpy(Request.ifr_name, pIface, IFNAMSIZ - 1);
    int Result = ioctl(Sock, SIOCGIFADDR, &Request);
    if (Sock >= 0)
    {
        close(Sock);
    }

    // A failed ioctl leaves the zeroed address, which reads as 0.0.0.0.
    const char* pAddress = GetIpAddressFromRequest(&Request);
    if (!IpAddrIsValid(pAddress))
    {
        s_Report(" - getting link local IP address.\n");
        return true;
    }
    snprintf(Llip, IpStringBytes, "%s", pAddress);
    if (Result < 0 || Sock <= 0)
    {
        s_Report(" - getting link local IP address.\n");
        return true;
    }
    return false;
}

bool IpAddrIsLinkLocalAndValid(const char* pIpAddr)
{
    return IpAddrIsValid(pIpAddr) && strncmp(pIpAddr, "169.254", 7) == 0;
}

bool NetmaskIsValid(const char* pNetmask)
{
    if (!IpAddrIsValid(pNetmask))
    {
        return false;
    }
    // First octet most significant: the ones must come first, then only zeros.
    uint32_t Mask = ntohl(GetUint32FromIpString(pNetmask));
    bool SeekingZeros = false;
    for (int Bit = 31; Bit >= 0; Bit--)
    {
        bool IsOne = ((Mask >> Bit) & 1u) != 0;
        if (!SeekingZeros)
        {
            SeekingZeros = !IsOne;
        }
        else if (IsOne)
        {
            return false;
        }
    }
    return true;
}

bool IpAddrAndMaskAreValid(const char* pIp, const char* pMask, bool PrintErrors)
{
    if (!IpAddrIsValid(pIp))
    {
        return false;
    }
    if (!NetmaskIsValid(pMask))
    {
        if (PrintErrors)
        {
            s_Report("The IP Mask (%s) is invalid.\n", pMask);
        }
        return false;
    }
    uint32_t Ip = GetUint32FromIpString(pIp);
    uint32_t Mask = GetUint32FromIpString(pMask);
    uint32_t HostId = Ip & ~Mask;
    uint32_t Prefix = Ip & Mask;
    if (HostId == 0)
    {
        if (PrintErrors)
        {
            s_Report("The Host ID cannot be zero.\n - IP Address %s and complement of IP Mask %s.\n",
                     pIp, pMask);
        }
        return false;
    }
    if (Prefix == 0)
    {
        if (PrintErrors)
        {
            s_Report("The network prefix cannot be zero. (IP Address %s and IP Mask %s.)\n",
                     pIp, pMask);
        }
        return false;
    }
    if (HostId == ~Mask)
    {
        if (PrintErrors)
        {
            s_Report("The Host ID cannot be all ones. \n - IP Address %s and IP Mask %s results in 0x%08x.\n",
                     pIp, pMask, s_WordAsLittleEndian(HostId));
        }
        return false;
    }
    if (Prefix == Mask)
    {
        if (PrintErrors)
        {
            s_Report("The network prefix cannot be all ones.\n - IP Address %s and IP Mask %s results in 0x%08x.\n",
                     pIp, pMask, s_WordAsLittleEndian(Prefix));
        }
        return false;
    }
    return true;
}

bool GatewayIsValid(const char* pIp, const char* pMask, const char* pGateway, bool PrintErrors)
{
    if (!IpAddrIsValid(pGateway))
    {
        if (PrintErrors)
        {
            s_Report("The gateway address %s is invalid.\n", pGateway);
        }
        return false;
    }
    uint32_t Ip = GetUint32FromIpString(pIp);
    uint32_t Mask = GetUint32FromIpString(pMask);
    uint32_t Gateway = GetUint32FromIpString(pGateway);
    if ((Ip & Mask) != (Gateway & Mask))
    {
        if (PrintErrors)
        {
            s_Report("Network prefix does not match IP. (IP Address %s, Gateway %s.)\n",
                     pIp, pGateway);
        }
        return false;
    }
    if (Gateway == Ip)
    {
        if (PrintErrors)
        {
            s_Report("Ip and Gateway cannot have same host ID. (IP Address %s, Gateway %s.)\n",
                     pIp, pGateway);
        }
        return false;
    }
    return true;
}

bool GetMacBytesFromIoctl(uint8_t* MacBytes)
{
    struct ifreq Request;
    memset(&Request, 0, sizeof(Request));
    int Sock = socket(AF_INET, SOCK_DGRAM, 0);
    strncpy(Request.ifr_name, MacInterface, IFNAMSIZ - 1);
    Request.ifr_addr.sa_family = AF_INET;
    int Result = ioctl(Sock, SIOCGIFHWADDR, &Request);
    // Polled every second for the life of the service: never keep the socket.
    if (Sock >= 0)
    {
        close(Sock);
    }
    if (Result < 0)
    {
        memset(MacBytes, 0, MacNumBytes);
        s_Report("Unable to get mac address from ioctl.\n");
        return true;
    }
    memcpy(MacBytes, Request.ifr_hwaddr.sa_data, MacNumBytes);
    return false;
}

void GetMacStringFromBytes(char* MacString, const uint8_t* MacBytes)
{
    assert(MacString != nullptr);
    assert(MacBytes != nullptr);
    snprintf(MacString, MacStringBytes, "%02x:%02x:%02x:%02x:%02x:%02x", MacBytes[0],
             MacBytes[1], MacBytes[2], MacBytes[3], MacBytes[4], MacBytes[5]);
}

bool GetMacStringFromIoctl(char* MacString)
{
    uint8_t MacBytes[MacNumBytes];
    if (GetMacBytesFromIoctl(MacBytes))
    {
        memset(MacString, 0, MacStringBytes);
        return true;
    }
    GetMacStringFromBytes(MacString, MacBytes);
    return false;
}

void GetMaskFromNumBits(char* MaskString, uint8_t NumBits)
{
    memset(MaskString, 0, IpStringBytes);
    uint8_t Bytes[4] = {0, 0, 0, 0};
    if (NumBits >= 1 && NumBits <= 32)
    {
        // Bits are set from bit 7 of the first byte onwards.
        for (unsigned Bit = 0; Bit < NumBits; Bit++)
        {
            Bytes[Bit / 8] |= static_cast<uint8_t>(0x80u >> (Bit % 8));
        }
    }
    snprintf(MaskString, IpStringBytes, "%d.%d.%d.%d", Bytes[0], Bytes[1], Bytes[2], Bytes[3]);
}

void CreateIpStringFromBytes(char* IpAddr, const uint8_t* Bytes)
{
    snprintf(IpAddr, IpStringBytes, "%d.%d.%d.%d", Bytes[0], Bytes[1], Bytes[2], Bytes[3]);
}
