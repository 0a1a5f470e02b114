"""What a unit meets in the field: hostile or oversized messages, a unit
without eth0, a second instance, stray arguments, and peers that appear
late. (A chip still busy at start: test_chip_timing.py.)"""
import json
import os
import signal
import subprocess
import sys
import time

import zmq

import service as svc

STOP = b'[{"HwMgrFPGA": null}]'


def padded(body, size):
    """A JSON object text (or an array of one object) with a member added that
    makes it larger than size bytes."""
    end = body.rindex(b"}")
    return body[:end] + b', "pad": "' + b"x" * size + b'"' + body[end:]


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))


# Subscribers with subscriptions over the limit (one of 1 MiB; four of
# 60 KiB, under the limit of other messages), in a process of their own that
# is killed rather than closed: libzmq frees a subscription recursively, a
# byte a level, deeper than a thread's stack.
LONG_SUBSCRIBERS = """import sys, time, zmq
subs = [zmq.Context.instance().socket(zmq.SUB) for _ in range(2)]
subs[0].setsockopt(zmq.SUBSCRIBE, b"PromInfo" + b"x" * 1024 * 1024)
for n in range(4):
    subs[1].setsockopt(zmq.SUBSCRIBE, b"PromInfo" + bytes([65 + n]) * 60 * 1024)
[sub.connect(sys.argv[1]) for sub in subs]
time.sleep(60)
"""


def test_oversized_and_look_alike_messages_are_never_acted_on_and_every_channel_keeps_working(
        run_service, unit_dir):
    svc.provision(unit_dir)
    service = run_service(svc.unit_description(log="transfers.log"), unit_dir)
    control = service.system_control()
    sub = service.identity_subscriber()
    svc.wait_identity(sub, svc.identity("Unit A"))
    baseline = rss_kib(service.pid)
    # Subscriptions over 4 KiB are refused (their libzmq keeps trying).
    long_subs = subprocess.Popen([sys.executable, "-c", LONG_SUBSCRIBERS, service.endpoint("PromStat")])

    # Over 64 KiB in all: in one frame, in frames of 1 KiB, and 16 MiB in
    # frames of 64 KiB, each of which libzmq lets through on its own.
    rename = b'{"Unit Name": "Too big"}'
    small, large = [b"x" * 1024] * 64, [b"x" * 65536] * 256
    # Stop requests addressed to the service, and a longer topic.
    for frames in ([b"ServiceStop", padded(STOP, 10 * 1024 * 1024)], [b"ServiceStop", STOP] + small,
                   [b"ServiceStop", STOP] + large, [b"ServiceStopX", STOP]):
        control.send_multipart(frames)
    # A frame over 64 KiB costs the sender its connection: on one of its own.
    service.socket(zmq.PUSH, "PromCmd").send_multipart([b"Set Prom", padded(rename, 10 * 1024 * 1024)])
    for frames in ([b"Set Prom", rename] + small, [b"Set Prom", rename] + large, [b"Set Promx", rename]):
        service.send_command(*frames)

    # Both channels still work, for a C peer too (topics sent with their
    # NUL), and only that rename wrote the chip.
    service.send_command(b"Set Prom\0", b'{"Unit Name": "After"}')
    svc.wait_identity(sub, svc.identity("After"), timeout=20)
    assert len(svc.page_writes(svc.read_log(unit_dir))) == 128
    # The memory the large messages took is given back.
    deadline = time.monotonic() + 10
    while rss_kib(service.pid) >= baseline + 3 * 1024 and time.monotonic() < deadline:
        time.sleep(0.2)
    assert rss_kib(service.pid) < baseline + 3 * 1024, (baseline, rss_kib(service.pid))
    long_subs.kill()
    control.send_multipart([b"ServiceStop\0", STOP])
    assert service.wait(10) == 0
    assert service.output == svc.BANNER


def test_zero_mac_record_is_not_valid_on_a_unit_without_eth0(run_service, unit_dir):
    svc.provision(unit_dir, mac="00:00:00:00:00:00")
    service = run_service(svc.unit_description(mac=None, log="transfers.log"), unit_dir)
    sub = service.identity_subscriber()
    assert svc.next_identity(sub) == svc.INVALID_IDENTITY
    service.set_name("Renamed")
    service.wait_for_output(b"EEPROM ERR: Command ignored")
    assert svc.next_identity(sub) == svc.INVALID_IDENTITY
    assert svc.page_writes(svc.read_log(unit_dir)) == []
    assert service.stop() == 0


def test_one_instance_per_unit_and_a_killed_one_leaves_no_stale_lock(run_service, unit_dir, tmp_path_factory):
    svc.provision(unit_dir)
    first = run_service(svc.unit_description(sysapp=[{"path": "keep", "content": "x"}]), unit_dir)
    sub = first.identity_subscriber()
    svc.wait_identity(sub, svc.identity("Unit A"))
    leftover = first.path("/root/zel_sysapp") + "/zel_prom_utility"
    with open(leftover, "w") as f:
        f.write("put back by hand\n")

    second = svc.in_unit(first.pid, svc.service_command())
    assert second.returncode == 1
    assert second.stdout == b""
    assert second.stderr.decode().count("\n") == 1 and str(first.pid) in second.stderr.decode()
    assert os.path.exists(leftover)
    # A second instance in a PID namespace of its own cannot see the holder's
    # pid, and still decides at once.
    hidden = svc.in_unit(first.pid, ["unshare", "-p", "-f", "--"] + svc.service_command())
    assert hidden.returncode == 1, hidden
    assert hidden.stderr.startswith(b"Error: the unit's identity chip (/dev/i2c-1) is held by a process "
                                    b"(pid unknown: "), hidden
    assert os.path.exists(leftover)
    # The first still owns its endpoints.
    first.set_name("Still mine")
    svc.wait_identity(sub, svc.identity("Still mine"))

    # A unit beside it runs its own service.
    other_dir = tmp_path_factory.mktemp("other")
    svc.provision(other_dir, serial="654321")
    other = run_service(svc.unit_description(), other_dir)
    assert svc.next_identity(other.identity_subscriber()) == svc.identity("Unit A", "654321")

    # SIGKILL: the kernel releases the lock; a restart on the same unit runs.
    keeper = svc.in_unit(first.pid, ["sleep", "60"], background=True)
    try:
        time.sleep(0.5)
        first.process.send_signal(signal.SIGKILL)
        first.wait()
        restarted = svc.in_unit(keeper.pid, svc.service_command(), background=True)
        try:
            assert restarted.stdout.read(len(svc.BANNER)) == svc.BANNER
            sub = first.context.socket(zmq.SUB)
            sub.setsockopt(zmq.SUBSCRIBE, b"")
            sub.connect("ipc://" + svc.resolve_in("/proc/%d/root" % keeper.pid, "/run/shm/zmq/PromStat"))
            first.sockets.append(sub)
            assert svc.next_identity(sub) == svc.identity("Still mine")
        finally:
            restarted.send_signal(signal.SIGTERM)
            assert restarted.wait(10) == 0
    finally:
        keeper.kill()
        keeper.wait()


def test_arguments(run_service, unit_dir):
    svc.provision(unit_dir)
    sysapp = [{"path": "zel_prom_utility", "content": "x"}]
    unit = svc.write_unit(unit_dir, svc.unit_description(sysapp=sysapp, log="transfers.log"))

    def run(*args):
        script = '"$0" "$@"; status=$?; ls /root/zel_sysapp >&2; exit $status'
        return subprocess.run([svc.UNITSIM_RUN, "--unit", unit, "--", "sh", "-c", script]
                              + svc.service_command() + list(args), capture_output=True, timeout=30)

    # --help and --version print, touch nothing and exit 0, whatever follows.
    for args in (["--help"], ["--version"], ["--help", "extra"]):
        result = run(*args)
        assert result.returncode == 0, result
        assert result.stdout.startswith(b"eeprom-manager v2.8-38\n" if args == ["--version"] else b"Usage: eeprom-manager")
        assert result.stderr == b"zel_prom_utility\n"
    assert svc.read_log(unit_dir) == []

    # Any other argument is named in one warning each and the service runs as without it.
    merged = ["sh", "-c", 'exec "$0" "$@" 2>&1'] + svc.service_command() + ["--frob", "run"]
    service = run_service(svc.unit_description(sysapp=sysapp), unit_dir, merged)
    assert svc.next_identity(service.identity_subscriber()) == svc.identity("Unit A")
    assert not os.path.exists(service.path("/root/zel_sysapp") + "/zel_prom_utility")
    assert service.stop() == 0
    assert service.output == (b"Warning: argument '--frob' ignored: eeprom-manager takes no options (see --help).\n"
                              b"Warning: argument 'run' ignored: eeprom-manager takes no options (see --help).\n"
                              + svc.BANNER)


def test_peers_that_bind_late_are_reached_within_about_two_seconds(run_service, unit_dir):
    svc.provision(unit_dir)
    service = run_service(svc.unit_description(), unit_dir)
    time.sleep(6)       # the reconnect back-off has reached its longest pause
    monitor = service.health_monitor()
    bound = time.monotonic()
    control = service.system_control(timeout=4)
    assert svc.receive(monitor, 4) == [b"HbMon", b"Eeprom Manager"]
    assert time.monotonic() - bound < 4.5
    control.send_multipart([b"ServiceStop", STOP])
    assert service.wait(10) == 0


def test_tools_and_the_service_share_one_session_of_the_simulated_buses(run_service, unit_dir):
    # Under `scripts/test --arch armhf` the service is an armhf program under
    # the emulator and i2ctransfer a native one: the session state is one.
    svc.provision(unit_dir)
    service = run_service(svc.unit_description(log="transfers.log"), unit_dir)
    assert svc.next_identity(service.identity_subscriber()) == svc.identity("Unit A")
    tool = svc.in_unit(service.pid, ["i2ctransfer", "-y", "1", "w2@0x50", "0x0f", "0xfe", "r2"])
    assert tool.returncode == 0, tool.stderr
    # The service's start-up read was transfer 1; the tool's is transfer 2.
    assert [line.split()[0] for line in svc.read_log(unit_dir)] == ["1.0", "1.1", "2.0", "2.1"]
    assert service.stop() == 0
