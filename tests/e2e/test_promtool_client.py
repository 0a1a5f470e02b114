"""promtool's client commands (watch, set-name, stop, status) against the
installed service on a simulated unit, and against units without it.

promtool runs in the test process's namespaces and reaches the unit's
endpoints through /proc/<pid>/root (--zmq-dir); the runs without a service
go through unitsim-run and use the default endpoint directory.
"""
import json
import os
import re
import signal
import subprocess
import time

import pytest
import zmq

import service as svc

STAMP = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}"
IDENTITY_A = '{"Serial Number": "123456", "Unit Name": "Unit A"}'
STOP_SENT = 'Sent: ServiceStop [{"HwMgrFPGA": null}]\n'


def make_chip(unit_dir, name="Unit A"):
    subprocess.run([svc.PROMTOOL, "image", "create", "--serial", "123456", "--mac", svc.DEFAULT_MAC,
                    "--name", name, "-o", os.path.join(str(unit_dir), "chip.bin")],
                   check=True, stdout=subprocess.DEVNULL)


@pytest.fixture
def named_unit(run_service, unit_dir):
    """The service on a unit whose chip holds a valid record named "Unit A"."""
    make_chip(unit_dir)
    return run_service(svc.unit_description(), unit_dir)


def promtool(service, *args, timeout=30):
    """Runs promtool against the service's endpoints; returns the completed
    process (text output) and how long it took."""
    started = time.monotonic()
    result = subprocess.run([svc.PROMTOOL] + list(args) + ["--zmq-dir", service.path("/run/shm/zmq")],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
                            timeout=timeout, encoding="utf-8")
    return result, time.monotonic() - started


def next_identity(sub, timeout=5):
    frames = svc.receive(sub, timeout)
    assert frames is not None, "no identity message"
    assert frames[0] == b"PromInfo"
    return json.loads(frames[1].decode("utf-8"))


def test_watch_prints_time_stamped_identity_and_heartbeats(named_unit):
    result, _ = promtool(named_unit, "watch", "--count", "6")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert len(lines) == 6
    for line in lines:
        assert re.fullmatch(STAMP + r" (PromInfo \{.*\}|HbMon Eeprom Manager)", line), line
    identities = [line.split(" ", 3)[3] for line in lines if " PromInfo " in line]
    assert identities and all(text == IDENTITY_A for text in identities)
    assert any(line.endswith(" HbMon Eeprom Manager") for line in lines)
    assert result.stderr == ""


def test_watch_leaves_a_bound_health_monitor_its_heartbeats(named_unit):
    monitor = named_unit.health_monitor()
    assert svc.receive(monitor, timeout=3) == [b"HbMon", b"Eeprom Manager"]
    result, _ = promtool(named_unit, "watch", "--count", "2")
    assert result.returncode == 0, result.stderr
    assert result.stderr.startswith("Warning: a health monitor is bound at ")
    assert all(" PromInfo " in line for line in result.stdout.splitlines())
    # The monitor's endpoint was not taken: heartbeats still reach it.
    while svc.receive(monitor, timeout=0.1) is not None:
        pass
    assert svc.receive(monitor, timeout=3) == [b"HbMon", b"Eeprom Manager"]


def test_watch_ends_with_status_zero_on_sigint(named_unit):
    watcher = subprocess.Popen([svc.PROMTOOL, "watch", "--zmq-dir", named_unit.path("/run/shm/zmq")],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, encoding="utf-8")
    try:
        assert watcher.stdout.readline() != ""
        watcher.send_signal(signal.SIGINT)
        assert watcher.wait(10) == 0
    finally:
        watcher.kill()
        watcher.communicate()


def test_status_sees_identity_and_heartbeat(named_unit):
    result, _ = promtool(named_unit, "status")
    assert result.returncode == 0, result.stderr
    assert result.stdout == "Identity: %s\nHeartbeat: Eeprom Manager\n" % IDENTITY_A


def test_set_name_stores_names_as_the_unit_holds_them(named_unit):
    sub = named_unit.identity_subscriber()
    cases = [
        ("Bench 7", "Bench 7"),
        # 20 bytes: the first 15 are kept.
        ("ABCDEFGHIJKLMNOPQRST", "ABCDEFGHIJKLMNO"),
        # Quotes, a backslash and UTF-8 must reach the service intact.
        ('He "x" \\ \u00e9\u20ac', 'He "x" \\ \u00e9\u20ac'),
        # The euro sign would straddle byte 15: cut before it.
        ("a" * 14 + "\u20acxyz", "a" * 14),
    ]
    for requested, stored in cases:
        result, _ = promtool(named_unit, "set-name", requested)
        assert result.returncode == 0, (requested, result.stderr)
        assert result.stdout.startswith("Identity: ")
        printed = json.loads(result.stdout[len("Identity: "):])
        assert printed == {"Serial Number": "123456", "Unit Name": stored}
        assert ("Warning: " in result.stderr) == (stored != requested)
        # What the service publishes from now on: skip what was queued
        # before the change.
        while svc.receive(sub, timeout=0.1) is not None:
            pass
        assert next_identity(sub)["Unit Name"] == stored


def test_set_name_no_wait_only_sends(named_unit):
    sub = named_unit.identity_subscriber()
    result, _ = promtool(named_unit, "set-name", "--no-wait", "Rack 2")
    assert result.returncode == 0, result.stderr
    assert result.stdout == 'Sent: Set Prom {"Unit Name": "Rack 2"}\n'
    deadline = time.monotonic() + 10
    while next_identity(sub)["Unit Name"] != "Rack 2":
        assert time.monotonic() < deadline, "the name never showed"


def test_set_name_on_a_record_not_valid_for_the_unit_fails(run_service, unit_dir):
    # No chip image: a blank chip, whose record the service will not change.
    service = run_service(svc.unit_description(), unit_dir)
    result, took = promtool(service, "set-name", "--timeout", "5", "New Name")
    assert result.returncode != 0
    assert "Error: the name was not stored: the EEPROM record is not valid for this unit" in result.stderr
    assert '"INVLD"' in result.stderr
    assert took < 5 + 5


def test_stop_ends_the_service_with_status_zero(named_unit):
    # A watcher that is running when the service goes reports its silence.
    watcher = subprocess.Popen([svc.PROMTOOL, "watch", "--timeout", "2", "--zmq-dir",
                                named_unit.path("/run/shm/zmq")],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, encoding="utf-8")
    try:
        assert watcher.stdout.readline() != ""
        result, _ = promtool(named_unit, "stop")
        assert result.returncode == 0, result.stderr
        assert result.stdout == STOP_SENT
        assert named_unit.wait(10) == 0
        _, errors = watcher.communicate(timeout=10)
        assert watcher.returncode != 0
        assert "Error: no message from eeprom-manager within 2 s; is it running?" in errors
    finally:
        watcher.kill()
        watcher.communicate()


def test_stop_does_not_take_over_a_system_control_publisher(named_unit):
    named_unit.socket(zmq.PUB, "SysCntl", bind=True)
    result, took = promtool(named_unit, "stop", "--timeout", "2")
    assert result.returncode != 0
    assert result.stderr.startswith("Error: a system-control publisher is bound at ")
    assert took < 2
    # The service runs on.
    assert svc.receive(named_unit.identity_subscriber(), timeout=3) is not None


# Each command on a unit where nobody runs the service: default endpoint
# directory, a one-second time-out, a clear message, never a hang.
@pytest.mark.parametrize("command, message", [
    (["watch"], "Error: no message from eeprom-manager within 1 s; is it running?"),
    (["status"], "Error: no identity message on ipc:///run/shm/zmq/PromStat within 1 s"),
    (["set-name", "X"], "Error: eeprom-manager is not listening on ipc:///run/shm/zmq/PromCmd"),
    (["stop"], "Error: eeprom-manager is not connected to ipc:///run/shm/zmq/SysCntl"),
])
def test_commands_without_the_service_fail_quickly(unit_dir, command, message):
    unit = svc.write_unit(unit_dir, svc.unit_description())
    started = time.monotonic()
    result = subprocess.run([svc.UNITSIM_RUN, "--unit", unit, "--", svc.PROMTOOL] + command
                            + ["--timeout", "1"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            encoding="utf-8", timeout=30)
    took = time.monotonic() - started
    assert result.returncode == 1
    assert message in result.stderr.splitlines()
    assert result.stdout == ""
    assert took < 1 + 5


@pytest.mark.parametrize("command", ["watch", "set-name", "stop", "status"])
def test_help_and_usage_errors(command):
    helped = subprocess.run([svc.PROMTOOL, command, "-h"], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, encoding="utf-8", timeout=10)
    assert helped.returncode == 0
    assert helped.stdout.startswith("Usage: promtool " + command)
    assert "--zmq-dir DIR" in helped.stdout and "--timeout SECONDS" in helped.stdout
    assert helped.stdout.split("Examples:\n")[1].count("  promtool " + command) == 2
    assert helped.stderr == ""
    for bad in (["--timeout", "0"], ["--timeout", "soon"], ["--bogus"], ["--zmq-dir"]):
        wrong = subprocess.run([svc.PROMTOOL, command] + bad, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, encoding="utf-8", timeout=10)
        assert wrong.returncode == 1, bad
        assert wrong.stdout == ""
        assert wrong.stderr.startswith("Error: ") and "Usage: promtool " + command in wrong.stderr
