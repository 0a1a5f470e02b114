"""Figures for the factory line: `promtool image batch` of 1,000 units from
ranges, timed from start to exit, with every image, the manifest and the
ledger on disk before it reports success:

1. on an SQLite ledger in a directory on this machine's disk (three runs,
   each into a new ledger), and the sync calls one run makes (strace);
2. on a PostgreSQL server of its own on this machine (Debian's server,
   fsync on, a throw-away cluster);
3. two stations issuing 500 units each at once, on each ledger.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

SOURCE = os.environ["EEPROM_SOURCE"]
PROMTOOL = os.path.join(os.environ["BENCH_BIN"], "promtool")
RANGES = ["--serials", "100000-199999", "--macs", "02:00:00:00:00:00-02:00:00:0f:ff:ff"]


def promtool(*args, cwd):
    subprocess.run([PROMTOOL] + list(args), cwd=cwd, check=True, stdout=subprocess.DEVNULL)


def timed_batches(ledger, work, stations, count):
    """Seconds from the start of the stations to the exit of the last."""
    started = time.monotonic()
    running = [subprocess.Popen([PROMTOOL, "image", "batch", "--ledger", ledger] + RANGES +
                                ["--count", str(count), "-o", "batch-%d-%d" % (n, time.monotonic_ns())],
                                cwd=work, stdout=subprocess.DEVNULL) for n in range(stations)]
    if any(station.wait() != 0 for station in running):
        raise RuntimeError("a batch failed")
    return time.monotonic() - started


def sync_calls(ledger, work):
    """The calls that put data on the disk in one batch of 1,000, counted."""
    trace = subprocess.run(["strace", "-f", "-c", "-e", "trace=fsync,fdatasync,syncfs", PROMTOOL, "image", "batch",
                            "--ledger", ledger] + RANGES + ["--count", "1000", "-o", "traced"], cwd=work,
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, encoding="utf-8", check=True).stderr
    counts = {line.split()[-1]: line.split()[3] for line in trace.splitlines()
              if line.split() and line.split()[-1] in ("fsync", "fdatasync", "syncfs")}
    return ", ".join("%s %s" % (call, counts[call]) for call in sorted(counts))


def bench_sqlite(disk):
    print("== 1,000 units from ranges, SQLite ledger on %s ==" % disk)
    for run in range(3):
        work = tempfile.mkdtemp(dir=disk)
        try:
            promtool("ledger", "init", "--ledger", "ledger.db", cwd=work)
            print("run %d: %.2f s" % (run + 1, timed_batches("ledger.db", work, 1, 1000)))
        finally:
            shutil.rmtree(work)
    work = tempfile.mkdtemp(dir=disk)
    try:
        promtool("ledger", "init", "--ledger", "ledger.db", cwd=work)
        print("sync calls of one batch: %s" % sync_calls("ledger.db", work))
        print("two stations, 500 units each at once: %.2f s" % timed_batches("ledger.db", work, 2, 500))
    finally:
        shutil.rmtree(work)


def bench_postgres(disk):
    print("== 1,000 units from ranges, PostgreSQL ledger (this machine, fsync on) ==")
    cluster = tempfile.mkdtemp(prefix="eeprom-bench-postgres-", dir="/tmp")
    work = tempfile.mkdtemp(dir=disk)
    cluster_script = os.path.join(SOURCE, "tests", "support", "postgres-cluster")
    try:
        ledger = subprocess.run([cluster_script, "start", cluster], check=True, stdout=subprocess.PIPE,
                                encoding="utf-8").stdout.strip()
        promtool("ledger", "init", "--ledger", ledger, cwd=work)
        for run in range(3):
            print("run %d: %.2f s" % (run + 1, timed_batches(ledger, work, 1, 1000)))
        print("two stations, 500 units each at once: %.2f s" % timed_batches(ledger, work, 2, 500))
    finally:
        subprocess.run([cluster_script, "stop", cluster])
        shutil.rmtree(work)


def main(args):
    if args and args[0] in ("-h", "--help"):
        print(__doc__ + "\nRun by bench/run (or bench/run --batch), which builds and installs first.")
        return 0
    if args:
        print("Error: unknown argument '%s'; see bench/batch.py --help" % args[0], file=sys.stderr)
        return 2
    disk = os.path.join(SOURCE, "build")     # the build tree: on this machine's disk, not a tmpfs
    try:
        bench_sqlite(disk)
        bench_postgres(disk)
    except Exception as error:
        print("Error: the batch benchmark failed: %s" % (str(error) or type(error).__name__), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
