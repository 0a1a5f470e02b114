// UnitNetwork: the unit's loopback and eth0, with ip(8): one end of a veth
// pair named eth0, with the description's MAC address (and IPv4 address).
#include "UnitsimRun.h"

#include <cerrno>
#include <cstring>

#include <sys/wait.h>
#include <unistd.h>

namespace runner
{
namespace
{
const char* const PeerInterface = "unitsim0";

// Runs the ip(8) command with the given arguments; fails on a non-zero status.
void RunIp(const std::vector<std::string>& Args)
{
    static const char* const Candidates[] = {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"};
    const char* pIp = nullptr;
    for (const char* pCandidate : Candidates)
    {
        if (access(pCandidate, X_OK) == 0)
        {
            pIp = pCandidate;
            break;
        }
    }
    if (pIp == nullptr)
    {
        Fail("ip(8) not found; install the iproute2 package");
    }
    std::vector<char*> Argv;
    Argv.push_back(const_cast<char*>(pIp));
    std::string Line = "ip";
    for (const std::string& Arg : Args)
    {
        Argv.push_back(const_cast<char*>(Arg.c_str()));
        Line += " " + Arg;
    }
    Argv.push_back(nullptr);
    pid_t Pid = fork();
    if (Pid < 0)
    {
        Fail("fork failed: %s", strerror(errno));
    }
    if (Pid == 0)
    {
        execv(pIp, Argv.data());
        _exit(127);
    }
    int Status = 0;
    while (waitpid(Pid, &Status, 0) < 0 && errno == EINTR)
    {
    }
    if (!WIFEXITED(Status) || WEXITSTATUS(Status) != 0)
    {
        Fail("'%s' failed", Line.c_str());
    }
}
}

// The description has been checked: eth0 is null, absent or has a valid
// "mac" and maybe "ipv4".
void SetUpNetwork(json_t* pUnit)
{
    RunIp({"link", "set", "lo", "up"});
    json_t* pEth0 = json_object_get(pUnit, "eth0");
    if (pEth0 == nullptr || json_is_null(pEth0))
    {
        return;  // a unit without eth0
    }
    const char* pMac = json_string_value(json_object_get(pEth0, "mac"));
    // A veth pair gives a real interface of any name without kernel modules.
    RunIp({"link", "add", "eth0", "type", "veth", "peer", "name", PeerInterface});
    RunIp({"link", "set", "eth0", "address", pMac});
    RunIp({"link", "set", PeerInterface, "up"});
    RunIp({"link", "set", "eth0", "up"});
    const char* pIpv4 = json_string_value(json_object_get(pEth0, "ipv4"));
    if (pIpv4 != nullptr)
    {
        RunIp({"addr", "add", pIpv4, "dev", "eth0"});
    }
}
}
