"""Figures for the EEPROM manager on the simulated unit.

1. Name change: time from sending "Set Prom" until the chip holds the new
   record, and until the first "PromInfo" carrying the new name, next to the
   floor the simulated chip allows (128 write cycles; the simulator spends
   no time on the bus itself).
2. Idle cost: CPU time per one-second tick over a minute, and instructions
   per tick counted by callgrind inside the tick handler.
3. Memory: peak RSS, and RSS and open descriptors before and after 10,000
   commands.
"""
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import service as svc  # noqa: E402

WRITE_CYCLE_MS = 5
PAGES = 128
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


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


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        parts = f.read().rsplit(")", 1)[1].split()
    return (int(parts[11]) + int(parts[12])) / CLOCK_TICKS


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
    print("== Idle cost over %d s ==" % seconds)
    with tempfile.TemporaryDirectory() as unit_dir:
        service = start(unit_dir)
        monitor = service.health_monitor()
        sub = service.identity_subscriber()
        time.sleep(1.5)
        cpu0, t0 = cpu_seconds(service.pid), time.monotonic()
        time.sleep(seconds)
        cpu1, t1 = cpu_seconds(service.pid), time.monotonic()
        ticks = t1 - t0
        print("  CPU time per tick:               %7.1f us  (%.2f s CPU in %.0f ticks, clock tick %d ms)"
              % ((cpu1 - cpu0) / ticks * 1e6, cpu1 - cpu0, ticks, 1000 // CLOCK_TICKS))
        status = proc_status(service.pid)
        print("  RSS after idling:                %7d KiB (peak %d KiB)"
              % (kib(status["VmRSS"]), kib(status["VmHWM"])))
        monitor.close(0)
        sub.close(0)
        service.stop()
        service.close()


def bench_callgrind(seconds=12):
    print("== Instructions per tick (callgrind, inside the tick handler) ==")
    with tempfile.TemporaryDirectory() as unit_dir:
        out = os.path.join(unit_dir, "callgrind.out")
        command = ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
                   "--toggle-collect=DoEverySecond*", svc.SERVICE]
        service = start(unit_dir, command=command)
        monitor = service.health_monitor()
        sub = service.identity_subscriber()
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
        ticks = max(beats, 1)
        print("  instructions per tick:           %7d  (%d in %d ticks)" % (total // ticks, total, ticks))


def bench_memory(commands=10000):
    print("== Memory and descriptors over %d commands ==" % commands)
    with tempfile.TemporaryDirectory() as unit_dir:
        service = start(unit_dir)
        sub = service.identity_subscriber()
        svc.next_identity(sub)
        def send(count, current, mark):
            # The stored name again (parsed and compared, no write), a
            # number, extra members, and text that is not JSON.
            bodies = [json.dumps({"Unit Name": current}).encode(),
                      b'{"Unit Name": 7}',
                      json.dumps({"Unit Name": current, "extra": [1, 2, 3]}).encode(),
                      b"not json at all"]
            for n in range(count):
                service.send_command(b"Set Prom", bodies[n % len(bodies)])
            # The queue is drained once the final rename has been published.
            service.set_name(mark)
            svc.wait_identity(sub, svc.identity(mark), timeout=60)

        send(1000, "Unit A", "Warm")
        before = proc_status(service.pid)
        fds_before = open_fds(service.pid)
        send(commands, "Warm", "Done")
        after = proc_status(service.pid)
        fds_after = open_fds(service.pid)
        print("  RSS after 1,000 commands:        %7d KiB" % kib(before["VmRSS"]))
        print("  RSS after %d more:           %7d KiB" % (commands, kib(after["VmRSS"])))
        print("  open descriptors:                %7d -> %d" % (fds_before, fds_after))
        print("  peak RSS:                        %7d KiB" % kib(after["VmHWM"]))
        service.stop()
        service.close()


def main():
    quick = "--quick" in sys.argv
    bench_name_change()
    bench_idle(10 if quick else 60)
    bench_callgrind()
    bench_memory()


if __name__ == "__main__":
    main()
