"""promtool's client commands (watch, set-name, stop, status) against the
installed service, reached through /proc/<pid>/root (--zmq-dir), and inside
units where it does not run."""
import json
import re
import signal
import subprocess
import threading
import time

import pytest
import zmq

import service as svc

STAMP = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} "
IDENTITY_A = '{"Serial Number": "123456", "Unit Name": "Unit A"}'


def run(*argv, popen=False):
    how = dict(stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, encoding="utf-8")
    return subprocess.Popen(argv, **how) if popen else subprocess.run(argv, timeout=30, **how)


def promtool(service, *args, popen=False):
    return run(svc.PROMTOOL, *args, "--zmq-dir", service.path("/run/shm/zmq"), popen=popen)


def test_client_commands_against_a_running_service(run_service, unit_dir):
    svc.provision(unit_dir)
    service = run_service(svc.unit_description(), unit_dir)
    status = promtool(service, "status")
    assert (status.returncode, status.stdout) == (0, "Identity: %s\nHeartbeat: Eeprom Manager\n" % IDENTITY_A)
    status = promtool(service, "status", "--json")
    assert json.loads(status.stdout) == {"identity": json.loads(IDENTITY_A), "heartbeat": True}, status
    watch = promtool(service, "watch", "--count", "4")
    lines = re.findall("(?m)^" + STAMP + "(PromInfo %s|HbMon Eeprom Manager)$" % re.escape(IDENTITY_A), watch.stdout)
    assert (watch.returncode, watch.stderr, len(lines), len(set(lines))) == (0, "", 4, 2), watch
    watch = promtool(service, "watch", "--count", "4", "--json")
    messages = [json.loads(line) for line in watch.stdout.splitlines()]
    assert {(m["topic"], json.dumps(m["body"])) for m in messages} == {("PromInfo", IDENTITY_A),
                                                                       ("HbMon", '"Eeprom Manager"')}, watch
    assert all(re.fullmatch(STAMP, m["time"] + " ") for m in messages)

    sub = service.identity_subscriber()
    for requested, stored in [("Bench 7", "Bench 7"), ("ABCDEFGHIJKLMNOPQRST", "ABCDEFGHIJKLMNO"),
                              ('He "x" \\ \u00e9\u20ac', 'He "x" \\ \u00e9\u20ac'),    # sent intact
                              ("a" * 14 + "\u20acxyz", "a" * 14)]:                 # cut before the euro
        result = promtool(service, "set-name", requested)
        assert result.returncode == 0 and result.stdout.startswith("Identity: "), result.stderr
        assert json.loads(result.stdout[10:]) == {"Serial Number": "123456", "Unit Name": stored}
        assert ("Warning: " in result.stderr) == (stored != requested)
        while svc.receive(sub, 0.1) is not None:      # published before the change
            pass
        assert svc.next_identity(sub, 5) == svc.identity(stored)
    result = promtool(service, "set-name", "--json", "Json")
    assert json.loads(result.stdout) == {"identity": {"Serial Number": "123456", "Unit Name": "Json"}}, result
    result = promtool(service, "set-name", "--no-wait", "Rack 2")
    assert (result.returncode, result.stdout) == (0, 'Sent: Set Prom {"Unit Name": "Rack 2"}\n')
    svc.wait_identity(sub, svc.identity("Rack 2"))

    # watch leaves a bound health monitor its heartbeats.
    monitor = service.health_monitor()
    assert svc.receive(monitor) == [b"HbMon", b"Eeprom Manager"]
    watch = promtool(service, "watch", "--count", "2")
    assert watch.returncode == 0 and watch.stderr.startswith("Warning: a health monitor is bound at ")
    while svc.receive(monitor, 0.1) is not None:
        pass
    assert svc.receive(monitor) == [b"HbMon", b"Eeprom Manager"]

    # An interrupted watch ends with 130, as every interrupted wait; one that
    # hears nothing more fails.
    interrupted, orphaned = (promtool(service, "watch", *more, popen=True) for more in ([], ["--timeout", "2"]))
    try:
        assert interrupted.stdout.readline() and orphaned.stdout.readline()
        interrupted.send_signal(signal.SIGINT)
        assert interrupted.wait(10) == 130
        stop = promtool(service, "stop", "--json")
        assert (stop.returncode, json.loads(stop.stdout)) == (0, {"sent": [{"HwMgrFPGA": None}]})
        assert service.wait(10) == 0
        assert orphaned.wait(10) != 0
        assert "Error: no message from eeprom-manager within 2 s; is it running?" in orphaned.stderr.read()
    finally:
        for watcher in (interrupted, orphaned):
            watcher.kill()
            watcher.communicate()


def test_client_commands_that_cannot_succeed_fail_within_their_time_out(run_service, unit_dir):
    service = run_service(svc.unit_description(), unit_dir)     # blank chip: never renamed
    started = time.monotonic()
    result = promtool(service, "set-name", "--timeout", "5", "New Name")
    assert time.monotonic() - started < 10 and result.returncode != 0 and '"INVLD"' in result.stderr
    assert "Error: the name was not stored: the EEPROM record is not valid for this unit" in result.stderr
    service.socket(zmq.PUB, "SysCntl", bind=True)           # stop must not take it over
    started = time.monotonic()
    result = promtool(service, "stop", "--timeout", "2")
    assert time.monotonic() - started < 2 and result.returncode != 0
    assert result.stderr.startswith("Error: a system-control publisher is bound at ")
    assert service.alive_after(1.0)


def test_what_comes_from_the_wire_reaches_the_terminal_escaped(tmp_path):
    """A fake service whose identity and heartbeat carry ESC, a C1 control (U+009B, the one-byte CSI) and DEL."""
    identity = b'{"Serial Number": "123456", "Unit Name": "A\xc2\x9b\x7f\\u001b[2J"}'
    beat = b"Eeprom Manager\x1b[2J\xc2\x9b\x7f"
    context, stop = zmq.Context.instance(), threading.Event()
    publisher, beats = context.socket(zmq.PUB), context.socket(zmq.PUB)
    publisher.bind("ipc://%s/PromStat" % tmp_path)
    beats.connect("ipc://%s/HbBeats" % tmp_path)     # promtool binds there

    def publish():
        while not stop.wait(0.05):
            publisher.send_multipart([b"PromInfo", identity])
            for name in (b"Eeprom Manager", beat):
                beats.send_multipart([b"HbMon", name])
    thread = threading.Thread(target=publish)
    thread.start()
    try:
        results = [subprocess.run([svc.PROMTOOL] + args + ["--zmq-dir", str(tmp_path)], capture_output=True,
                                  timeout=30) for args in (["status"], ["status", "--json"], ["watch", "--count", "20"],
                                                       ["watch", "--json", "--count", "20"])]
    finally:
        stop.set()
        thread.join()
        publisher.close(0)
        beats.close(0)
    shown = b'"A\\xc2\\x9b\\x7f\\u001b[2J"'
    status, as_json, watch, watch_json = results
    assert status.stdout.startswith(b"Identity: ") and shown in status.stdout, status
    assert json.loads(as_json.stdout)["identity"]["Unit Name"] == "A\u009b\u007f\u001b[2J", as_json
    assert shown in watch.stdout and b" HbMon Eeprom Manager\\x1b[2J\\xc2\\x9b\\x7f\n" in watch.stdout, watch
    infos = [json.loads(line) for line in watch_json.stdout.splitlines() if b'"topic":"PromInfo"' in line]
    assert infos and infos[0]["body"]["Unit Name"] == "A\u009b\u007f\u001b[2J", watch_json
    for result in results:
        assert result.returncode == 0 and re.fullmatch(rb"[\x20-\x7e\n]*", result.stdout), result


# With no service on the unit: default endpoints, a one-second time-out, a
# clear message, never a hang; and each command's help and usage errors.
@pytest.mark.parametrize("command, message", [
    (["watch"], "Error: no message from eeprom-manager within 1 s; is it running?"),
    (["status"], "Error: no identity message on ipc:///run/shm/zmq/PromStat within 1 s"),
    (["set-name", "X"], "Error: eeprom-manager is not listening on ipc:///run/shm/zmq/PromCmd"),
    (["stop"], "Error: eeprom-manager is not connected to ipc:///run/shm/zmq/SysCntl"),
])
def test_client_commands_without_a_service(unit_dir, command, message):
    started = time.monotonic()
    alone = run(svc.UNITSIM_RUN, "--unit", svc.write_unit(unit_dir, svc.unit_description()), "--",
                svc.PROMTOOL, *command, "--timeout", "1")
    assert time.monotonic() - started < 6
    assert (alone.returncode, alone.stdout) == (1, "") and message in alone.stderr.splitlines()
    # Off the unit there is no endpoint directory: said at once, with the ways to one.
    no_run = [svc.UNITSIM_RUN, "--unit", svc.write_unit(unit_dir, svc.unit_description()), "--",
              "sh", "-c", 'mount -t tmpfs none /run && exec "$@"', "sh"]     # the unit's mounts are private
    for prefix, zmq_dir, says in [
            (no_run, [], "no service's endpoint directory here: /run/shm/zmq does not exist (not on a unit?); run "
                         "promtool on the unit, on a simulated one with unitsim-run --unit FILE -- promtool %s, or "
                         "give --zmq-dir DIR" % command[0]),
            ([], ["--zmq-dir", str(unit_dir / "none")], "--zmq-dir %s: no such directory; " % (unit_dir / "none"))]:
        off = run(*prefix, svc.PROMTOOL, *command, *zmq_dir)
        assert (off.returncode, off.stdout, off.stderr.count("\n")) == (1, "", 1), off
        assert off.stderr.startswith("Error: " + says), off
    helped = run(svc.PROMTOOL, command[0], "-h")
    assert (helped.returncode, helped.stderr) == (0, "")
    assert helped.stdout.startswith("Usage: promtool " + command[0])
    assert "--zmq-dir DIR" in helped.stdout and "--timeout SECONDS" in helped.stdout
    for bad in (["--timeout", "0"], ["--timeout", "soon"], ["--bogus"], ["--zmq-dir"]):
        wrong = run(svc.PROMTOOL, command[0], *bad)
        assert (wrong.returncode, wrong.stdout, wrong.stderr.count("\n")) == (2, "", 1), bad
        assert re.fullmatch(r"Error: .*'%s.* \(see promtool %s --help\)\n" % (bad[-1], command[0]), wrong.stderr)
