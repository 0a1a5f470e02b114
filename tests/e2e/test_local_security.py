"""The endpoint directory against an unprivileged local user (uid 65534):
only root and the group of the unit's ZeroMQ peers reach it, so such a user
can take no endpoint, before the service starts or while it runs, and reach
none of the service's."""
import grp
import os

import service as svc

# The unit runs a shell that waits for the test before it starts the service.
GATE = 'echo unit ready; until [ -e /run/shm/start ]; do sleep 0.05; done; exec "$@"'

# Run inside the unit; tries each attack of the phase given as argument and
# prints what each met: "done" or the errno name. What succeeds is followed
# through, so on a reachable directory the stop request does stop the service.
ATTACKS = r'''
import errno, json, os, socket, sys, zmq
context, results, zmq_dir = zmq.Context(), {}, "/run/shm/zmq/"
context.setsockopt(zmq.LINGER, 0)
def attempt(name, action, *args):
    try:
        outcome = action(*args)
        results[name] = outcome if isinstance(outcome, str) else "done"
    except (OSError, zmq.ZMQError) as error:
        results[name] = errno.errorcode.get(error.errno, str(error.errno))
def bind(kind, name):
    sock = context.socket(kind)
    sock.bind("ipc://" + zmq_dir + name)
    return sock
def connect(name):
    socket.socket(socket.AF_UNIX).connect(zmq_dir + name)
def stop_service():     # a flood of malformed requests, then an addressed stop
    control = bind(zmq.XPUB, "SysCntl")
    if not control.poll(10000):
        return "no subscriber"
    control.setsockopt(zmq.SNDHWM, 0)
    control.setsockopt(zmq.LINGER, 10000)      # all of it is delivered before the end
    for _ in range(500):       # within the high-water marks, so the stop arrives
        control.send_multipart([b"ServiceStop", b"x"])
    control.send_multipart([b"ServiceStop", b'[{"HwMgrFPGA": null}]'])
def monitor():     # a health monitor bound where the heartbeats go
    sock = bind(zmq.SUB, "HbBeats")
    sock.setsockopt(zmq.SUBSCRIBE, b"")
    if not sock.poll(10000):
        raise OSError(errno.ETIMEDOUT, "no heartbeat")
if sys.argv[1] == "early":
    attempt("PromStat", bind, zmq.PUB, "PromStat")
    attempt("PromCmd", bind, zmq.PULL, "PromCmd")
    attempt("symlink", os.symlink, "/run/shm/planted", zmq_dir + "planted-link")
    attempt("file", os.open, zmq_dir + "planted", os.O_RDWR | os.O_CREAT)
elif sys.argv[1] == "running":
    attempt("PromStat", connect, "PromStat")
    attempt("PromCmd", connect, "PromCmd")
    attempt("lock", os.open, "/dev/i2c-1", os.O_RDONLY)       # the chip's lock is on its bus
    attempt("HbBeats", monitor)
    attempt("SysCntl", stop_service)
else:
    attempt("HbBeats", monitor)
print(json.dumps(results, sort_keys=True), flush=True)
context.term()
'''


def attack(service, phase, groups="--clear-groups"):
    result = svc.in_unit(service.pid, ["setpriv", "--reuid=65534", "--regid=65534", groups, "--",
                                       "/usr/bin/python3", "-I", "-c", ATTACKS, phase])
    assert result.returncode == 0, result.stderr
    return result.stdout.decode().strip()


def packaged_directory():   # mode, owner and group from the package's tmpfiles entry
    with open(os.path.join(svc.SOURCE, "debian/eeprom-manager.tmpfiles")) as entry:
        line = next(line.split() for line in entry if line.startswith("d /run/shm/zmq "))
    return line[2:5]


def test_an_unprivileged_user_reaches_no_endpoint(unit_dir):
    service = svc.Service(svc.write_unit(unit_dir, svc.unit_description()),
                          ["sh", "-c", GATE, "sh"] + svc.service_command())
    try:
        service.wait_for_output(b"unit ready")
        assert attack(service, "early") == \
            '{"PromCmd": "EACCES", "PromStat": "EACCES", "file": "EACCES", "symlink": "EACCES"}'
        svc.in_unit(service.pid, ["touch", "/run/shm/start"])
        service.wait_ready()
        assert attack(service, "running") == \
            '{"HbBeats": "EACCES", "PromCmd": "EACCES", "PromStat": "EACCES", "SysCntl": "EACCES", "lock": "EACCES"}'
        assert service.alive_after(1) and service.output == b"unit ready\n" + svc.BANNER
        # Root peers are unaffected; a peer of the directory's group needs no more.
        svc.next_identity(service.identity_subscriber())
        group = os.stat(service.path("/run/shm/zmq")).st_gid
        assert attack(service, "peer", "--groups=%d" % group) == '{"HbBeats": "done"}'
        # The unit's directory is the package's.
        mode, owner, group_name = packaged_directory()
        try:
            group_name = group_name if os.geteuid() == 0 and grp.getgrnam(group_name) else "root"
        except KeyError:
            group_name = "root"
        made = svc.in_unit(service.pid, ["stat", "-c", "%a %U %G", "/run/shm/zmq"]).stdout.decode().split()
        assert made == [mode, owner, group_name]
        assert service.stop() == 0
    finally:
        service.close()
