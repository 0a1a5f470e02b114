"""The single-instance lock against what another user can leave at its path
in a world-writable endpoint directory: the service and promtool never
follow, block on or write through it, a lock file they did not make is
replaced, a read lock does not pass for a manager, and a second manager is
still kept out."""
import json
import os
import stat
import subprocess

import pytest

import service as svc

# Every plant runs as the unit's root before the program starts, in a
# directory opened to everyone as on older units; $V is a file to protect.
SETUP = 'L=/run/shm/zmq/eeprom-manager.lock; chmod 1777 /run/shm/zmq && echo precious > "$V" && '
# An unprivileged process that read-locks the lock file, as an older version
# left it (0644), until its parent (the shell, then the service) is gone.
READ_LOCKED = ("echo 1 > $L && chmod 644 $L && "
               "setpriv --reuid=65534 --regid=65534 --clear-groups -- /usr/bin/python3 -c '"
               "import fcntl, os, sys, time\n"
               "parent, f = os.getppid(), open(sys.argv[1])\n"
               "fcntl.lockf(f, fcntl.LOCK_SH)\n"
               "print(flush=True)\n"
               "while os.getppid() == parent: time.sleep(0.2)' $L > /run/shm/locked & "
               "for i in $(seq 200); do [ -s /run/shm/locked ] && break; sleep 0.05; done")


@pytest.mark.parametrize("plant", [
    pytest.param("ln -s $V $L", id="symlink"),
    pytest.param("ln $V $L", id="hard-link"),
    pytest.param("mkfifo $L", id="fifo"),
    pytest.param("echo 1 > $L && chown 65534 $L && chmod 644 $L", id="other-user-0644"),
    pytest.param("echo 1 > $L && chown 65534 $L && chmod 666 $L", id="other-user-0666"),
    pytest.param("echo 1 > $L && chmod 644 $L", id="left-0644"),
    pytest.param(READ_LOCKED, id="read-locked"),
])
def test_the_service_locks_a_file_of_its_own(run_service, unit_dir, plant):
    svc.provision(unit_dir)
    script = "V=/run/shm/zmq/victim; " + SETUP + plant + ' && exec "$@"'
    service = run_service(svc.unit_description(), unit_dir, ["sh", "-c", script, "sh"] + svc.service_command())
    zmq_dir = service.path("/run/shm/zmq")
    assert open(zmq_dir + "/victim", "rb").read() == b"precious\n"
    found = os.lstat(zmq_dir + "/eeprom-manager.lock")
    assert (stat.S_ISREG(found.st_mode), found.st_uid, found.st_nlink, stat.S_IMODE(found.st_mode)) == (
        True, os.getuid(), 1, 0o600)
    second = svc.in_unit(service.pid, svc.service_command())
    assert second.returncode == 1 and b"(pid %d)" % service.pid in second.stderr, second
    report = json.loads(svc.in_unit(service.pid, [svc.PROMTOOL, "doctor", "--json", "--timeout", "1"]).stdout)
    assert [c["detail"] for c in report["checks"] if c["check"] == "service"] == ["running, pid %d" % service.pid]


@pytest.mark.parametrize("plant, found", [("ln -s $V $L", "a symbolic link"), ("mkfifo $L", "a FIFO")])
def test_promtool_never_follows_nor_blocks_at_the_lock_path(unit_dir, plant, found):
    """doctor says what it found; chip write replaces it and writes."""
    chip, new = svc.provision(unit_dir), svc.provision(unit_dir, serial="654321", image="new.bin")
    script = ("V=$PWD/victim; " + SETUP + plant + ' && "$1" doctor --json --timeout 1 > doctor.json; '
              'exec "$1" chip write --yes new.bin')
    result = subprocess.run([svc.UNITSIM_RUN, "--unit", svc.write_unit(unit_dir, svc.unit_description()), "--",
                             "sh", "-c", script, "sh", svc.PROMTOOL], cwd=str(unit_dir), stdin=subprocess.DEVNULL,
                            capture_output=True, timeout=60)
    assert (unit_dir / "victim").read_bytes() == b"precious\n"
    assert result.returncode == 0 and open(chip, "rb").read() == open(new, "rb").read(), result
    report = json.loads((unit_dir / "doctor.json").read_text())
    assert [c["detail"] for c in report["checks"] if c["check"] == "service"] == [
        "cannot tell: /run/shm/zmq/eeprom-manager.lock is %s, not a lock file" % found]
