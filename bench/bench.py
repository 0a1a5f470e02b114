"""Figures for the EEPROM manager on the simulated unit.

1. Name change: time from sending "Set Prom" until the chip holds the new
   record, and until the first "PromInfo" carrying the new name, next to the
   floor the simulated chip allows (128 write cycles; the simulator spends
   no time on the bus itself).
2. Idle cost: CPU time per one-second tick over a minute, and instructions
   per tick counted by callgrind inside the tick handler.
3. Memory: peak RSS, and RSS and open descriptors before and after 10,000
   commands.
4. Oversized messages: peak RSS while a 100 MiB message (1,602 frames, or
   one) goes to the command socket and to the system-control socket, and
   to both at once, RSS after it, and the peak for a burst of 64 KiB
   commands behind a rename: the figures behind the unit's MemoryMax.
5. Subscriptions: what libzmq keeps for a subscriber's long subscriptions
   (each up to the 4 KiB limit), per byte of topic.
"""
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
import traceback

import zmq

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import service as svc  # noqa: E402

WRITE_CYCLE_MS = 5
PAGES = 128


def start(unit_dir, command=None, **unit):
    svc.provision(unit_dir)
    service = svc.Service(svc.write_unit(unit_dir, svc.unit_description(**unit)), command)
    service.wait_ready()
    return service


def proc_status(pid):
    fields = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            key, _, value = line.partition(":")
            fields[key] = value.strip()
    return fields


def kib(value):
    return int(value.split()[0])


def cpu_seconds(pid, main_only=False):
    """CPU time of the process's threads (or its main thread), in seconds,
    from the scheduler's nanosecond accounting."""
    total = 0
    for tid in [str(pid)] if main_only else os.listdir("/proc/%d/task" % pid):
        with open("/proc/%d/task/%s/schedstat" % (pid, tid)) as f:
            total += int(f.read().split()[0])
    return total / 1e9


def open_fds(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def bench_name_change(rounds=5):
    print("== Name change (write cycle %d ms, %d pages) ==" % (WRITE_CYCLE_MS, PAGES))
    floor = PAGES * WRITE_CYCLE_MS / 1000.0
    with tempfile.TemporaryDirectory() as unit_dir:
        service = start(unit_dir, chip={"write_cycle_ms": WRITE_CYCLE_MS})
        sub = service.identity_subscriber()
        svc.next_identity(sub)
        chip = os.path.join(unit_dir, "chip.bin")
        to_chip, to_publish = [], []
        for n in range(rounds):
            name = "Bench %d" % n
            expected = os.path.join(unit_dir, "expected.bin")
            subprocess.run([svc.PROMTOOL, "image", "create", "--from", chip, "--name", name,
                            "--force", "-o", expected], check=True)
            with open(expected, "rb") as f:
                want = f.read()
            while sub.poll(0):
                sub.recv_multipart()
            sent = time.monotonic()
            service.set_name(name)
            while True:
                with open(chip, "rb") as f:
                    if f.read() == want:
                        break
                time.sleep(0.0005)
            stored = time.monotonic()
            svc.wait_identity(sub, svc.identity(name), timeout=5)
            published = time.monotonic()
            to_chip.append(stored - sent)
            to_publish.append(published - sent)
        service.stop()
        service.close()
    best = min(to_chip)
    print("  floor (128 write cycles):        %7.1f ms" % (floor * 1000))
    print("  Set Prom -> chip holds record:   %7.1f ms best, %7.1f ms median  (%.3f x floor)"
          % (best * 1000, sorted(to_chip)[len(to_chip) // 2] * 1000, best / floor))
    print("  Set Prom -> PromInfo with name:  %7.1f ms best, %7.1f ms median  (waits for the tick)"
          % (min(to_publish) * 1000, sorted(to_publish)[len(to_publish) // 2] * 1000))
    return best / floor


def bench_idle(seconds):
    """CPU per tick with the unit's peers in place (health monitor,
    system-control publisher, an identity subscriber), and without them, when
    the messaging library keeps retrying its connections."""
    for with_peers in (True, False):
        print("== Idle cost over %d s, %s ==" % (seconds, "peers present" if with_peers
                                                   else "no health monitor or system control"))
        with tempfile.TemporaryDirectory() as unit_dir:
            service = start(unit_dir)
            if with_peers:
                service.health_monitor()
                service.system_control()
                service.identity_subscriber()
            time.sleep(1.5)
            main0, all0, t0 = cpu_seconds(service.pid, main_only=True), cpu_seconds(service.pid), time.monotonic()
            time.sleep(seconds)
            main1, all1, t1 = cpu_seconds(service.pid, main_only=True), cpu_seconds(service.pid), time.monotonic()
            ticks = t1 - t0
            print("  CPU time per tick:               %7.1f us all threads, %.1f us the loop's thread"
                  % ((all1 - all0) / ticks * 1e6, (main1 - main0) / ticks * 1e6))
            status = proc_status(service.pid)
            print("  RSS:                             %7d KiB (peak %d KiB)"
                  % (kib(status["VmRSS"]), kib(status["VmHWM"])))
            service.stop()
            service.close()


def bench_late_peer(rounds=4, absent=8.0):
    """How long a system-control publisher that binds after the service has
    been retrying for a while waits for the service's subscription (the
    reconnect back-off bounds it)."""
    print("== A peer that binds after %.0f s of absence ==" % absent)
    delays = []
    for _ in range(rounds):
        with tempfile.TemporaryDirectory() as unit_dir:
            service = start(unit_dir)
            time.sleep(absent)
            bound = time.monotonic()
            service.system_control(timeout=10)
            delays.append(time.monotonic() - bound)
            service.stop()
            service.close()
    print("  bind to the service's subscription: %s s" % " ".join("%.2f" % d for d in delays))


def bench_baseline(seconds):
    tool = os.path.join(os.environ.get("BENCH_BIN", ""), "wake-baseline")
    if os.path.exists(tool):
        us = subprocess.run([tool, str(seconds)], stdout=subprocess.PIPE, check=True).stdout.decode().strip()
        print("== Baseline: a thread that only wakes once a second costs %s us a wake-up here ==" % us)


def bench_callgrind(seconds=12):
    print("== Instructions per tick (callgrind; the event loop's thread, from the loop's start) ==")
    with tempfile.TemporaryDirectory() as unit_dir:
        out = os.path.join(unit_dir, "callgrind.out")
        command = ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
                   "--toggle-collect=zloop_start", svc.SERVICE]
        service = start(unit_dir, command=command)
        monitor = service.health_monitor()
        service.system_control()
        service.identity_subscriber()
        beats = 0
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if svc.receive(monitor, 2) is not None:
                beats += 1
        service.stop(timeout=30)
        service.close()
        with open(out) as f:
            text = f.read()
        total = int(re.search(r"^summary:\s+(\d+)", text, re.M).group(1))
        annotate = subprocess.run(["callgrind_annotate", "--inclusive=yes", out],
                                  stdout=subprocess.PIPE, check=True).stdout.decode()
        handler = 0
        for line in annotate.splitlines():
            if "DoEverySecond" in line:
                handler = int(line.split()[0].replace(",", ""))
                break
        ticks = max(beats, 1)
        print("  whole loop, per tick:            %7d instructions  (%d in %d ticks)"
              % (total // ticks, total, ticks))
        print("  inside the tick handler:         %7d instructions" % (handler // ticks))


def bench_memory(commands=10000, batch=500):
    print("== Memory and descriptors over %d commands ==" % commands)
    with tempfile.TemporaryDirectory() as unit_dir:
        service = start(unit_dir)
        sub = service.identity_subscriber()
        svc.next_identity(sub)
        # The stored name again (parsed and compared, no write), a number,
        # extra members, and text that is not JSON (three report lines each,
        # which tell when the service has caught up).
        bodies = [json.dumps({"Unit Name": "Unit A"}).encode(),
                  b'{"Unit Name": 7}',
                  json.dumps({"Unit Name": "Unit A", "extra": [1, 2, 3]}).encode(),
                  b"not json at all"]
        sent = 0

        def send(count):
            nonlocal sent
            for _ in range(count):
                service.send_command(b"Set Prom", bodies[sent % len(bodies)])
                sent += 1
            reports = sent // len(bodies)
            deadline = time.monotonic() + 60
            while service.output.count(b"(byte  ) ") < reports:
                assert time.monotonic() < deadline, "service fell behind"
                time.sleep(0.01)

        send(1000)
        before = proc_status(service.pid)
        fds_before = open_fds(service.pid)
        samples = []
        for _ in range(commands // batch):
            send(batch)
            samples.append(kib(proc_status(service.pid)["VmRSS"]))
        after = proc_status(service.pid)
        fds_after = open_fds(service.pid)
        print("  RSS after 1,000 commands:        %7d KiB" % kib(before["VmRSS"]))
        print("  RSS every %d commands after:    %s KiB" % (batch, " ".join(str(x) for x in samples)))
        print("  open descriptors:                %7d -> %d" % (fds_before, fds_after))
        print("  peak RSS:                        %7d KiB" % kib(after["VmHWM"]))
        service.stop()
        service.close()


def bench_oversized():
    print("== Oversized messages (100 MiB; dropped unread) ==")
    mib = 1024 * 1024
    frame = b"x" * 65536
    with tempfile.TemporaryDirectory() as unit_dir:
        service = start(unit_dir)
        control = service.system_control()
        sub = service.identity_subscriber()
        svc.next_identity(sub)
        names = iter("Bench %d" % n for n in range(100))

        def rss():
            return kib(proc_status(service.pid)["VmRSS"])

        def measure(what, send, channel):
            """Peak RSS while send() is handled, RSS after, and when it was back."""
            with open("/proc/%d/clear_refs" % service.pid, "w") as f:
                f.write("5")    # resets the peak
            base = rss()
            sent = time.monotonic()
            send()
            if channel == "command":     # handled in order: a rename behind it tells when
                name = next(names)
                service.set_name(name)
                svc.wait_identity(sub, svc.identity(name), timeout=60)
            deadline = time.monotonic() + 30
            while time.monotonic() < deadline and (rss() > base + 2048 or (
                    channel == "control" and kib(proc_status(service.pid)["VmHWM"]) < base + 50 * 1024)):
                time.sleep(0.02)
            back = time.monotonic() - sent
            print("  %-44s peak %7d KiB, after %6d KiB (before %d), %.2f s"
                  % (what, kib(proc_status(service.pid)["VmHWM"]), rss(), base, back))

        measure("command, 1,602 frames:", lambda: service.send_command(
            *([b"Set Prom", b'{"Unit Name": "Big"}'] + [frame] * 1600)), "command")
        measure("command, one frame (refused by libzmq):", lambda: service.socket(zmq.PUSH, "PromCmd").send_multipart(
            [b"Set Prom" + b"x" * (100 * mib)]), "command")
        measure("system control, 1,602 frames:", lambda: control.send_multipart(
            [b"ServiceStop", b'[{"HwMgrFPGA": null}]'] + [frame] * 1600), "control")
        measure("system control, one frame:", lambda: control.send_multipart(
            [b"ServiceStop" + b"x" * (100 * mib)]), "control")

        def both():
            control.send_multipart([b"ServiceStop", b'[{"HwMgrFPGA": null}]'] + [frame] * 1600)
            service.send_command(*([b"Set Prom", b'{"Unit Name": "Big"}'] + [frame] * 1600))
        measure("command and system control at once:", both, "control")

        def burst():
            service.set_name(next(names))      # holds the loop for about 0.7 s
            for _ in range(1000):
                service.send_command(b"Set Prom", b"{}" + b" " * (65536 - 10))
        measure("1,000 commands of 64 KiB behind a rename:", burst, "command")
        service.stop()
        service.close()


# A subscriber with COUNT different subscriptions of 4 KiB (the limit) and
# one to PromInfo; it says when the first PromInfo arrived, then waits to be
# killed (libzmq frees a long subscription recursively, deeper than a
# thread's stack, when a subscriber closes).
LONG_SUBSCRIBER = """import sys, time, zmq
sub = zmq.Context.instance().socket(zmq.SUB)
for n in range(int(sys.argv[2])):
    sub.setsockopt(zmq.SUBSCRIBE, n.to_bytes(4, "big") + b"z" * 4092)
sub.setsockopt(zmq.SUBSCRIBE, b"PromInfo")
sub.connect(sys.argv[1])
sub.recv_multipart()
print(flush=True)
time.sleep(600)
"""


def bench_subscriptions(counts=(100, 400)):
    print("== Subscriptions of 4 KiB (the longest taken) ==")
    with tempfile.TemporaryDirectory() as unit_dir:
        service = start(unit_dir)
        svc.next_identity(service.identity_subscriber())
        for count in counts:
            base = kib(proc_status(service.pid)["VmRSS"])
            subscriber = subprocess.Popen([sys.executable, "-c", LONG_SUBSCRIBER, service.endpoint("PromStat"),
                                           str(count)], stdout=subprocess.PIPE)
            subscriber.stdout.readline()
            held = kib(proc_status(service.pid)["VmRSS"]) - base
            subscriber.kill()
            subscriber.wait()
            time.sleep(2)
            print("  %4d subscriptions: RSS +%6d KiB while connected (%.1f bytes per byte of topic), "
                  "+%d KiB after it left" % (count, held, held * 1024.0 / (count * 4096),
                                             kib(proc_status(service.pid)["VmRSS"]) - base))
        service.stop()
        service.close()


USAGE = """Usage: bench/run [--quick]   (--quick: 10 s of idle instead of 60)
bench/run builds and installs first; bench/bench.py [--quick] runs the
benchmarks alone, on an installed build (EEPROM_PREFIX, BENCH_BIN)."""


def main(args):
    if "-h" in args or "--help" in args:
        print(__doc__ + "\n" + USAGE)
        return 0
    unknown = [arg for arg in args if arg != "--quick"]
    if unknown:
        print("Error: unknown argument '%s'; see bench/bench.py --help" % unknown[0], file=sys.stderr)
        return 2
    quick = "--quick" in args
    try:
        bench_name_change()
        bench_baseline(5 if quick else 10)
        bench_idle(10 if quick else 60)
        bench_late_peer()
        bench_callgrind()
        bench_memory()
        bench_oversized()
        bench_subscriptions()
    except Exception as error:    # the trace for the developer, then one line
        traceback.print_exc()
        print("Error: the benchmark failed: %s" % (str(error) or type(error).__name__), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
