// UnitNamespaces: the unit's mount and network namespaces, whose mounts
// never reach the host: plain namespaces with every mount made private as
// root, a user namespace of its own otherwise, and for root in a chroot whose
// root is no mount point a step out of the chroot to make them private.
#include "UnitsimRun.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace runner
{
namespace
{
// Enters a new user namespace, in which this process is root, with new mount
// and network namespaces owned by it. As another user the caller's uid and
// gid become 0 inside; as root they stay 0.
void EnterUserNamespace(uid_t Uid, gid_t Gid)
{
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS | CLONE_NEWNET) != 0)
    {
        Fail("this kernel does not let an unprivileged user create namespaces (%s); "
             "run as root, or allow it with sysctl kernel.unprivileged_userns_clone=1 "
             "and user.max_user_namespaces > 0", strerror(errno));
    }
    char Map[64];
    WriteFileOrFail("/proc/self/setgroups", "deny");
    snprintf(Map, sizeof(Map), "0 %u 1", static_cast<unsigned>(Uid));
    WriteFileOrFail("/proc/self/uid_map", Map);
    snprintf(Map, sizeof(Map), "0 %u 1", static_cast<unsigned>(Gid));
    WriteFileOrFail("/proc/self/gid_map", Map);
    // Not even the host's later mounts reach the unit, where "/" is a mount
    // point; in a chroot it is not, and the slaves stay.
    mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
}

// In a chroot whose root is no mount point (a plain directory made with
// debootstrap, say), "/" cannot be named to make the namespace's mounts
// private, and a user namespace cannot be made from a chroot either. Within
// its own mount namespace the runner (root) steps out of the chroot, makes
// every mount private from the namespace's real root, and steps back in: a
// chroot into a subdirectory leaves the working directory outside the new
// root, from where ".." climbs to the namespace's root. Only this process's
// view changes, and only for this moment.
void MakeMountsPrivateFromChroot()
{
    char Cwd[PATH_MAX];
    bool HaveCwd = getcwd(Cwd, sizeof(Cwd)) != nullptr;
    int Inside = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    const char* pStep = access("/tmp", X_OK) == 0 ? "/tmp" : "/dev";
    if (Inside < 0 || chdir("/") != 0 || chroot(pStep) != 0)
    {
        Fail("cannot make the mounts private in this chroot (%s); bind-mount its root onto itself "
             "(mount --bind DIR DIR) before entering it", strerror(errno));
    }
    struct stat Here, Up;
    for (int Steps = 0; Steps < 4096 && stat(".", &Here) == 0 && stat("..", &Up) == 0; Steps++)
    {
        if (Here.st_dev == Up.st_dev && Here.st_ino == Up.st_ino)
        {
            break;
        }
        if (chdir("..") != 0)
        {
            break;
        }
    }
    bool Private = chroot(".") == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    int Error = errno;
    if (fchdir(Inside) != 0 || chroot(".") != 0)
    {
        Fail("cannot return into the chroot: %s", strerror(errno));
    }
    close(Inside);
    if (!HaveCwd || chdir(Cwd) != 0)
    {
        if (chdir("/") != 0) {}
    }
    if (!Private)
    {
        Fail("cannot make the mounts private in this chroot (%s); bind-mount its root onto itself "
             "(mount --bind DIR DIR) before entering it", strerror(Error));
    }
}
}

// Private mount and network namespaces in which every mount below stays
// private to this unit.
void EnterNamespaces()
{
    uid_t Uid = geteuid();
    gid_t Gid = getegid();
    if (Uid != 0)
    {
        // A mount namespace owned by a new user namespace receives the
        // host's mounts as slaves: nothing mounted in it reaches the host.
        EnterUserNamespace(Uid, Gid);
        return;
    }
    if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0)
    {
        Fail("cannot create mount and network namespaces: %s", strerror(errno));
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0)
    {
        return;
    }
    if (errno != EINVAL)
    {
        Fail("cannot make the mounts private: %s", strerror(errno));
    }
    MakeMountsPrivateFromChroot();
}
}
