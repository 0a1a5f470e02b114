"""One writer per chip, whatever a member of the endpoint directory's group
does there: the service and promtool chip write lock the chip's bus device,
which only root opens, so no name such a member makes in the shared
directory keeps the service from starting or lets a second writer in. A
holder is named for what it is: a running service, or promtool writing."""
import json
import subprocess

import pytest

import service as svc

STOP = b'[{"HwMgrFPGA": null}]'
# Names a member may take in the directory before the service starts: where
# a lock, a pid file or the service's own endpoints could be.
NAMES = "eeprom-manager.lock eeprom-manager.pid chip.lock i2c-1 PromCmd"
# Run as the unit's root before the service: a member of the directory's
# group (uid 65534) puts a KIND at each name and tries to hold the chip's
# bus; then the service starts.
PLANT = ('G=$(stat -c %g /run/shm/zmq); for N in ' + NAMES + '; do setpriv --reuid=65534 --regid=65534 '
         '--groups=$G -- sh -c "$0" sh /run/shm/zmq/$N || exit 1; done; setpriv --reuid=65534 --regid=65534 '
         '--groups=$G -- /usr/bin/python3 -c \'import os\ntry: os.open("/dev/i2c-1", os.O_RDWR)\n'
         'except OSError as e: print(e.strerror)\' > /run/shm/member-open; exec "$@"')
KINDS = {"directory": 'mkdir "$1"', "fifo": 'mkfifo "$1"', "link-to-the-bus": 'ln -s /dev/i2c-1 "$1"',
         "file": 'echo 1 > "$1" && chmod 600 "$1"'}


@pytest.mark.parametrize("kind", sorted(KINDS))
def test_no_name_a_group_member_makes_keeps_the_service_from_starting_or_lets_a_second_writer_in(
        run_service, unit_dir, kind):
    svc.provision(unit_dir)
    svc.provision(unit_dir, serial="654321", image="new.bin")
    service = run_service(svc.unit_description(), unit_dir,
                          ["sh", "-c", PLANT, KINDS[kind]] + svc.service_command())
    monitor = service.health_monitor()
    assert svc.receive(monitor, 3) == [b"HbMon", b"Eeprom Manager"]
    assert svc.next_identity(service.identity_subscriber()) == svc.identity("Unit A")
    assert open(service.path("/run/shm/member-open")).read() == "Permission denied\n"
    holder = "(pid %d)" % service.pid
    second = svc.in_unit(service.pid, svc.service_command())
    assert (second.returncode, second.stdout, second.stderr.decode()) == (
        1, b"", "Error: eeprom-manager is already running on this unit %s; not starting another.\n" % holder)
    write = svc.in_unit(service.pid, [svc.PROMTOOL, "chip", "write", "--yes", str(unit_dir / "new.bin")])
    assert write.returncode == 1 and write.stderr.decode().startswith(
        "Error: eeprom-manager is running on this unit %s and owns the chip; stop it first" % holder), write
    report = json.loads(svc.in_unit(service.pid, [svc.PROMTOOL, "doctor", "--json", "--timeout", "2"]).stdout)
    assert [(c["status"], c["detail"]) for c in report["checks"] if c["check"] == "service"] == [
        ("ok", "running, pid %d" % service.pid)], report
    service.system_control().send_multipart([b"ServiceStop", STOP])
    assert service.wait(10) == 0
    # At most its command endpoint was lost (a directory there): reported.
    assert service.output.replace(b"ZMQU Error: Unable to connet or bind socket ipc:///run/shm/zmq/PromCmd\n",
                                  b"") == svc.BANNER


def test_while_promtool_writes_the_chip_the_service_names_it_and_starts_after_it(run_service, unit_dir):
    """promtool holds the chip from before it shows what it will write until
    it is done, so the chip it shows is the chip it writes."""
    svc.provision(unit_dir)
    new = open(svc.provision(unit_dir, serial="654321", image="new.bin"), "rb").read()
    keeper = run_service(svc.unit_description(), unit_dir, ["sh", "-c", "printf '%s' \"$0\"; exec sleep 120",
                                                            svc.BANNER.decode()])
    writer = svc.in_unit(keeper.pid, [svc.PROMTOOL, "chip", "write", str(unit_dir / "new.bin")], background=True,
                         stdin=subprocess.PIPE)
    asked = b""
    while not asked.endswith(b"[y/N] "):
        byte = writer.stderr.read(1)
        assert byte, "promtool ended without asking: %r" % asked
        asked += byte
    holder = "promtool (pid %d)" % writer.pid
    held = svc.in_unit(keeper.pid, svc.service_command())
    assert (held.returncode, held.stdout, held.stderr.decode()) == (1, b"", (
        "Error: the unit's identity chip (/dev/i2c-1) is held by %s; not starting while it is.\n" % holder)), held
    report = json.loads(svc.in_unit(keeper.pid, [svc.PROMTOOL, "doctor", "--json", "--timeout", "1"]).stdout)
    assert [(c["status"], c["detail"]) for c in report["checks"] if c["check"] == "service"] == [
        ("fail", "not running: the chip is held by " + holder)], report
    assert report["diagnosis"] == "eeprom-manager is not running: the chip is held by " + holder, report
    rename = svc.in_unit(keeper.pid, [svc.PROMTOOL, "set-name", "--timeout", "1", "Later"])
    assert rename.returncode == 1 and rename.stderr.decode().endswith(
        "; the unit's chip is held by %s, and the service does not run while it is\n" % holder), rename

    out, err = writer.communicate(b"y\n", timeout=60)
    assert writer.returncode == 0 and (unit_dir / "chip.bin").read_bytes() == new, (out, err)
    started = svc.in_unit(keeper.pid, svc.service_command(), background=True)
    try:
        assert started.stdout.read(len(svc.BANNER)) == svc.BANNER
    finally:
        started.kill()
        started.wait()
