// NetworkUtils: network facts of the unit and IPv4 text helpers.
//
// Reads the MAC address of "eth0" and the IPv4 address of a named interface
// through network-interface ioctls on a short-lived AF_INET datagram socket
// (opened and closed on every call, so callers may poll for the life of the
// process). Validates dotted-quad IPv4 addresses, netmasks, address/mask
// pairs and gateways, and formats MAC addresses, IPv4 addresses, netmasks
// and TCP endpoints into caller buffers of fixed size: 16 bytes for an
// address or mask, 18 for a MAC string, 32 for an endpoint.
//
// Reports go to standard output as "NET ERROR : " and the message; the
// validators report only when asked to (PrintErrors) and return the same
// result either way. Address words are in network byte order, as inet_aton
// makes them. The module has no state of its own; inet_ntoa's shared buffer
// makes it unsafe to call from several threads at once.
#ifndef DEVICE_WIDGETS_NETWORKUTILS_H
#define DEVICE_WIDGETS_NETWORKUTILS_H

#include <cstdint>

// Writes "tcp://<pIp>:<pPort>" into pSs (32 bytes, zeroed first). Null
// arguments and a result that is empty or longer than 31 characters are
// fatal assertions.
void CreateTcpSocketStringFromIpAndPort(char* pSs, const char* pIp, const char* pPort);

// True when pIpAddr has exactly three dots, inet_aton accepts it (decimal,
// octal or hex parts) and it is neither 0.0.0.0 nor 255.255.255.255. A null
// pointer is invalid.
bool IpAddrIsValid(const char* pIpAddr);

// Reads the IPv4 address of interface pIface (at most 15 characters are
// used) into Llip (16 bytes, zeroed first). Any address is accepted, not
// only 169.254/16. Returns false on success. Returns true with the report
// " - getting link local IP address." when no valid address was obtained
// (Llip stays empty), or when an address was read but the socket or the
// ioctl failed (Llip keeps the text). A null Llip is a fatal assertion.
bool GetLinkLocalAddressFromIoctl(const char* pIface, char* Llip);

// True when pIpAddr is a valid address whose text begins with "169.254".
bool IpAddrIsLinkLocalAndValid(const char* pIpAddr);

// True when pNetmask is a valid address made of 1 to 31 leading one bits
// followed by zero bits (128.0.0.0 to 255.255.255.254). Prints nothing.
bool NetmaskIsValid(const char* pNetmask);

// True when pIp is a valid address, pMask a valid netmask, and the host part
// and the network prefix of pIp are neither all zeros nor all ones. The
// first failing check decides; each except an invalid pIp is reported when
// PrintErrors is true.
bool IpAddrAndMaskAreValid(const char* pIp, const char* pMask, bool PrintErrors);

// True when pGateway is a valid address in pIp's network under pMask and
// differs from pIp. pIp and pMask are not validated (unparsable text counts
// as 0). The first failing check decides and is reported when PrintErrors is
// true.
bool GatewayIsValid(const char* pIp, const char* pMask, const char* pGateway, bool PrintErrors);

// Reads the MAC address of "eth0" into MacBytes (6 bytes). Returns false on
// success; on failure zeroes MacBytes, reports "Unable to get mac address
// from ioctl." and returns true. Leaves no descriptor open.
bool GetMacBytesFromIoctl(uint8_t* MacBytes);

// Formats 6 bytes as "00:1a:2b:3c:4d:5e" into MacString (18 bytes). Null
// pointers are fatal assertions.
void GetMacStringFromBytes(char* MacString, const uint8_t* MacBytes);

// The MAC address of "eth0" as text in MacString (18 bytes). Returns false on
// success; on failure zeroes MacString and returns true (reported as by
// GetMacBytesFromIoctl).
bool GetMacStringFromIoctl(char* MacString);

// The netmask of a NumBits-bit prefix as text in MaskString (16 bytes):
// 24 gives 255.255.255.0; 0 and values above 32 give 0.0.0.0.
void GetMaskFromNumBits(char* MaskString, uint8_t NumBits);

// Formats 4 bytes as a dotted quad into IpAddr (16 bytes).
void CreateIpStringFromBytes(char* IpAddr, const uint8_t* Bytes);

#endif
