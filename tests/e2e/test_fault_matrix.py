"""promtool chip write under every fault the simulated chip can make, at
every transfer: not acknowledged, the power cut after it, the write at it
torn; and every pair of faults among the first four transfers. Each run
ends with the old record, the new one, or a write that promtool and doctor
name as interrupted: never a valid mixture, and exit status 0 only when the
chip holds the new record. Under an emulator a fixed sample runs: the
first and last four transfers and every eighth."""
import itertools
import json
import os
import subprocess

import service as svc

OLD, NEW = ("654321", "Old Name"), ("111111", "Factory New")
PROMTOOL = svc.service_command(os.path.join(svc.BIN, "promtool"))
TORN_BYTES = 8
# Runs each case's chip write on the one simulated unit it is started in,
# with the case's chip description and a fresh session of its own.
DRIVER = r'''
import json, os, subprocess, sys
promtool, results = json.loads(sys.argv[1]), []
for case in sys.argv[2:]:
    run = subprocess.run(promtool + ["chip", "write", "--yes", "new.bin"], cwd=case, stdin=subprocess.DEVNULL,
                         capture_output=True, env=dict(os.environ, UNITSIM_UNIT=case + "/unit.json",
                                                       UNITSIM_STATE_DIR=case + "/state"))
    results.append([run.returncode, run.stderr.decode("utf-8", "replace")])
print(json.dumps(results))
'''


def transfers(log):
    """The transfers of a fault-free run: (number, data write) in order, a
    data write being one that carries bytes to store (more than the two
    address bytes of a poll)."""
    first = {}
    for line in log:
        number, message = line.split()[0].split(".")
        if message == "0":
            first[int(number)] = " W " in line and int(line.split("len=")[1].split()[0]) > 2
    return sorted(first.items())


def sampled(numbers):
    """Every number natively; under an emulator the first and last four and every eighth."""
    if not svc.EMULATOR:
        return numbers
    return [n for i, n in enumerate(numbers) if i < 4 or i >= len(numbers) - 4 or i % 8 == 0]


def fault_cases(plan):
    """The single faults at every transfer and the pairs among the first
    four, as lists of fault settings (one "power cut" at most a case)."""
    data_writes = [number for number, data in plan if data]
    nack = lambda t: ("nack", t)
    # The cut right after the k-th data write, and that write torn.
    cut = lambda k: ("cut", k)
    torn = lambda k: ("torn", k)
    singles = ([[nack(t)] for t in sampled([number for number, _ in plan])]
               + [[cut(k)] for k in sampled(list(range(len(data_writes) + 1)))]
               + [[torn(k)] for k in sampled(list(range(len(data_writes))))])
    early = [nack(t) for t in range(1, 5)] + [cut(k) for k, t in enumerate(data_writes, 1) if t <= 4] + [
        torn(k - 1) for k, t in enumerate(data_writes, 1) if t <= 4] + [cut(0)]
    pairs = [list(pair) for pair in itertools.combinations(sorted(set(early)), 2)
             if sum(kind != "nack" for kind, _ in pair) <= 1]
    return singles + pairs


def faults_of(case):
    """The chip's "faults" member for a case."""
    faults = {}
    nacks = [t for kind, t in case if kind == "nack"]
    if nacks:
        faults["nack_transfer"] = nacks
    for kind, k in case:
        if kind in ("cut", "torn"):
            faults["power_cut_after_page"] = k
        if kind == "torn":
            faults["torn_page_bytes"] = TORN_BYTES
    return faults


def run_cases(unit_dir, cases, old, new):
    """Runs the chip write of each case (in two halves side by side) and
    returns [(status, stderr, chip bytes)] in order."""
    dirs = []
    for index, case in enumerate(cases):
        case_dir = unit_dir / ("case%d" % index)
        (case_dir / "state").mkdir(parents=True)
        (case_dir / "chip.bin").write_bytes(old)
        (case_dir / "new.bin").write_bytes(new)
        svc.write_unit(case_dir, svc.unit_description(chip={"write_cycle_ms": 0, "faults": faults_of(case)}))
        dirs.append(str(case_dir))
    unit = svc.write_unit(unit_dir, svc.unit_description())
    halves = [dirs[:len(dirs) // 2], dirs[len(dirs) // 2:]]
    runs = [subprocess.Popen([svc.UNITSIM_RUN, "--unit", unit, "--", "/usr/bin/python3", "-c", DRIVER,
                              json.dumps(PROMTOOL)] + half, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
            for half in halves]
    results = []
    for run in runs:
        out, _ = run.communicate(timeout=1800)
        assert run.returncode == 0
        results += json.loads(out)
    return [(status, stderr, open(os.path.join(d, "chip.bin"), "rb").read())
            for (status, stderr), d in zip(results, dirs)]


def verdict(unit_dir, chip, cache={}):
    """promtool image show --json of a chip image (judged against the unit's
    MAC address), with its warning."""
    if chip not in cache:
        path = unit_dir / "judged.bin"
        path.write_bytes(chip)
        shown = subprocess.run([svc.PROMTOOL, "image", "show", str(path), "--mac", svc.DEFAULT_MAC, "--json"],
                               capture_output=True, encoding="utf-8", timeout=30)
        cache[chip] = (json.loads(shown.stdout), shown.stderr)
    return cache[chip]


def test_chip_write_under_any_fault_leaves_the_old_record_the_new_one_or_a_named_interrupted_write(unit_dir):
    old, new = (open(svc.provision(unit_dir, serial=s, name=n, image=f), "rb").read()
                for (s, n), f in ((OLD, "old.bin"), (NEW, "new.bin")))
    (unit_dir / "chip.bin").write_bytes(old)
    unit = svc.write_unit(unit_dir, svc.unit_description(chip={"write_cycle_ms": 0}, log="plan.log"))
    clean = subprocess.run([svc.UNITSIM_RUN, "--unit", unit, "--"] + PROMTOOL + ["chip", "write", "--yes", "new.bin"],
                           cwd=str(unit_dir), stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
    assert clean.returncode == 0 and (unit_dir / "chip.bin").read_bytes() == new, clean
    plan = transfers(svc.read_log(unit_dir, "plan.log"))
    # The initial read, then 130 writes each with its poll, and three reads back.
    assert [data for _, data in plan].count(True) == 130 and len(plan) == 1 + 2 * 130 + 3, plan

    cases = fault_cases(plan)
    outcomes = {}
    for case, (status, stderr, chip) in zip(cases, run_cases(unit_dir, cases, old, new)):
        if chip in (old, new):
            outcome = "old" if chip == old else "new"
        else:
            record, warning = verdict(unit_dir, chip)
            assert (record["valid"], record["interrupted_write"]) == (False, True), (case, record)
            assert warning.startswith("Warning: a chip write was cut short"), (case, warning)
            outcome = "interrupted"
        # Success only with the new record on the chip; a failure says what
        # the chip holds.
        assert (status == 0) == (outcome == "new"), (case, status, outcome, stderr)
        if status != 0:
            last = stderr.splitlines()[-1]
            assert status == 1 and last.startswith("Error: "), (case, stderr)
            said = ("old" if "still holds its old record" in last else
                    "interrupted" if "interrupted write" in last else "new" if "identical" in last else "unknown")
            assert said in (outcome, "unknown"), (case, outcome, stderr)
        outcomes.setdefault(outcome, []).append(case)
    # Every cut but after the last write leaves no whole new record.
    cuts = [case[0][1] for case in outcomes.get("new", []) if len(case) == 1 and case[0][0] == "cut"]
    assert cuts == [130], cuts
    print("chip write fault matrix: %d runs, %s" % (len(cases), {k: len(v) for k, v in sorted(outcomes.items())}))
