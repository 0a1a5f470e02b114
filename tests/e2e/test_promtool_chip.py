"""promtool chip on a simulated unit whose chip misses the first transfer of
every session: read, show and write through i2c-dev with the service's
start-up retry, and never while the service owns the chip."""
import hashlib
import json
import os
import re
import subprocess

import pytest

import service as svc
from test_promtool_conventions import record_image

MISSES_FIRST = {"faults": {"nack_transfer": 1}}


def run(argv, unit_dir, answer=None):
    """Runs argv in unit_dir; answer is its standard input (none: at its end)."""
    return subprocess.run(argv, cwd=str(unit_dir), input=answer, stdin=None if answer else subprocess.DEVNULL,
                          capture_output=True, encoding="utf-8", timeout=60)


def promtool_chip(unit_dir, args, answer=None, **unit):
    """`promtool chip ARGS` on the unit svc.unit_description(**unit), chip.bin its chip."""
    unit_path = svc.write_unit(unit_dir, svc.unit_description(**unit))
    return run([svc.UNITSIM_RUN, "--unit", unit_path, "--", svc.PROMTOOL, "chip"] + args, unit_dir, answer)


@pytest.fixture
def flaky_chip(unit_dir):
    """Runs `promtool chip ARGS` on a unit whose chip (Unit A) misses the first
    transfer of each session, its bus logged; new.bin (654321, New) beside it."""
    svc.provision(unit_dir)
    svc.provision(unit_dir, serial="654321", name="New", image="new.bin")
    return lambda args, answer=None: promtool_chip(unit_dir, args, answer, chip=MISSES_FIRST, log="transfers.log")


def chip_writes(unit_dir):
    """The number of whole pages written, and the address of each lone block."""
    log = svc.read_log(unit_dir)
    return len(svc.page_writes(log)), [line.split()[6:8] for line in log if " W 0x50 len=18 ack" in line]


def test_chip_read_saves_the_chip_as_stored(flaky_chip, unit_dir):
    result = flaky_chip(["read", "-o", "backup.bin", "--json"])
    assert result.returncode == 0, result
    assert (unit_dir / "backup.bin").read_bytes() == (unit_dir / "chip.bin").read_bytes()
    assert json.loads(result.stdout) == {"file": "backup.bin",
                                         "sha256": hashlib.sha256((unit_dir / "chip.bin").read_bytes()).hexdigest()}


def test_chip_read_never_overwrites_its_output_unasked(flaky_chip, unit_dir):
    (unit_dir / "backup.bin").write_bytes(b"kept")
    assert flaky_chip(["read", "-o", "backup.bin"]).returncode == 1
    assert (unit_dir / "backup.bin").read_bytes() == b"kept"


@pytest.mark.parametrize("answer", [None, "\n", "n\n", "yess\n"], ids=["no-answer", "empty-answer", "no", "not-yes"])
def test_chip_write_asks_first_and_defaults_to_no(flaky_chip, unit_dir, answer):
    original = (unit_dir / "chip.bin").read_bytes()
    assert flaky_chip(["write", "new.bin"], answer).returncode == 1
    assert (unit_dir / "chip.bin").read_bytes() == original and chip_writes(unit_dir) == (0, [])


@pytest.mark.parametrize("answer", ["y\n", "YES\n"])
def test_chip_write_takes_whole_pages_and_the_first_block_last(flaky_chip, unit_dir, answer):
    """Pages 1 to 127 whole; the first page's two blocks apart, the first one
    blanked before them and written after them."""
    assert flaky_chip(["write", "new.bin"], answer).returncode == 0
    assert (unit_dir / "chip.bin").read_bytes() == (unit_dir / "new.bin").read_bytes()
    assert chip_writes(unit_dir) == (127, [["00", "00"], ["00", "10"], ["00", "00"]])


def test_chip_write_of_the_image_the_chip_holds_asks_nothing_and_writes_nothing(flaky_chip, unit_dir):
    result = flaky_chip(["write", "chip.bin"])
    assert result.returncode == 0 and "already holds" in result.stdout, result
    assert chip_writes(unit_dir) == (0, [])


def test_chip_show_judges_the_record_against_this_machines_eth0(flaky_chip):
    result = flaky_chip(["show"])
    assert result.returncode == 0, result
    assert "Valid for %s (eth0 of this machine): yes" % svc.DEFAULT_MAC in result.stdout.splitlines()


def test_chip_show_json_gives_the_record_and_the_verdict(flaky_chip):
    result = flaky_chip(["show", "--json"])
    assert result.returncode == 0, result
    assert json.loads(result.stdout) == {"serial": "123456", "mac": svc.DEFAULT_MAC, "unit_name": "Unit A",
                                         "judged_against": svc.DEFAULT_MAC, "valid": True, "publishable": True,
                                         "interrupted_write": False}


def test_chip_show_dump_is_the_dump_of_the_same_image_file(flaky_chip, unit_dir):
    result = flaky_chip(["show", "--dump"])
    image = run([svc.PROMTOOL, "image", "show", "chip.bin", "--mac", svc.DEFAULT_MAC, "--dump"], unit_dir)
    assert result.returncode == 0 and image.returncode == 0, (result, image)
    assert result.stdout.replace(" (eth0 of this machine)", "") == image.stdout


@pytest.mark.parametrize("planted", ["target", "absent"])
@pytest.mark.parametrize("writer", ["image-create", "chip-read"])
def test_an_output_that_is_a_symbolic_link_is_replaced_only_with_force(unit_dir, writer, planted):
    """Refused without --force, replaced by a file with it, its target untouched."""
    chip = svc.provision(unit_dir)
    command = [svc.PROMTOOL, "image", "create", "--from", chip] if writer == "image-create" else [
        svc.UNITSIM_RUN, "--unit", svc.write_unit(unit_dir, svc.unit_description()), "--", svc.PROMTOOL, "chip", "read"]
    (unit_dir / "target").write_bytes(b"kept")
    out = unit_dir / "out.bin"
    os.symlink(planted, str(out))
    refused, forced = (run(command + force + ["-o", "out.bin"], unit_dir) for force in ([], ["--force"]))
    assert refused.returncode == 1 and "out.bin exists; use --force" in refused.stderr, refused
    assert forced.returncode == 0 and not out.is_symlink(), forced
    assert out.read_bytes() == open(chip, "rb").read() and (unit_dir / "target").read_bytes() == b"kept"
    assert not (unit_dir / "absent").exists() and not [n for n in os.listdir(str(unit_dir)) if n[0] == "."]


@pytest.mark.parametrize("command", [
    ["image", "show", "fifo"], ["image", "create", "--from", "fifo", "-o", "new.bin"],
    ["image", "create", "--serial", "123456", "--mac", svc.DEFAULT_MAC, "--force", "-o", "fifo"]],
    ids=["show-input", "create-input", "create-output"])
def test_a_fifo_is_refused_at_once_as_input_and_as_output(unit_dir, command):
    os.mkfifo(str(unit_dir / "fifo"))
    result = run([svc.PROMTOOL] + command, unit_dir)
    assert (result.returncode, result.stdout) == (1, ""), result
    assert re.fullmatch("Error: fifo (is not a regular file; a chip image is a file of exactly 4096 bytes|"
                        "exists and is not a regular file; not replaced)\n", result.stderr), result


@pytest.fixture
def running(run_service, unit_dir):
    """The service on Unit A, new.bin (654321) beside its chip."""
    svc.provision(unit_dir)
    svc.provision(unit_dir, serial="654321", image="new.bin")
    return run_service(svc.unit_description(), unit_dir)


# From a PID namespace of its own the service's pid cannot be seen.
OWN_PID_NAMESPACE = ["unshare", "-p", "-f", "--"]


@pytest.mark.parametrize("hidden", [False, True], ids=["pid-visible", "own-pid-namespace"])
def test_chip_write_is_refused_at_once_while_the_service_runs(running, unit_dir, hidden):
    before = (unit_dir / "chip.bin").read_bytes()
    write = [svc.PROMTOOL, "chip", "write", "--yes", str(unit_dir / "new.bin")]
    result = svc.in_unit(running.pid, OWN_PID_NAMESPACE * hidden + write)
    says = b"(pid unknown: " if hidden else b"(pid %d)" % running.pid
    assert result.returncode == 1 and says in result.stderr, result
    assert (unit_dir / "chip.bin").read_bytes() == before


def test_doctor_finds_the_service_from_a_pid_namespace_of_its_own(running):
    report = json.loads(svc.in_unit(running.pid, OWN_PID_NAMESPACE + [svc.PROMTOOL, "doctor", "--json"]).stdout)
    assert [(c["status"], c["detail"]) for c in report["checks"] if c["check"] == "service"] == [
        ("ok", "running, pid unknown: it runs in a PID namespace not visible from here")], report


@pytest.mark.parametrize("allow, status, prefix", [([], 1, "Error: "), (["--allow-invalid"], 0, "Warning: ")],
                         ids=["refused", "allowed"])
@pytest.mark.parametrize("unit_mac, image_mac, name, says", [
    (svc.DEFAULT_MAC, "02:00:00:00:00:02", b"A", "new.bin holds the record of 02:00:00:00:00:02, not of this unit's "
                                                 "eth0 02:00:00:00:00:01: the service would publish INVLD"),
    (None, svc.DEFAULT_MAC, b"A", "this unit has no eth0 (or its MAC address cannot be read), so no record is valid"),
    (svc.DEFAULT_MAC, svc.DEFAULT_MAC, b"A\xff", "the service would publish nothing for new.bin: its unit name "
                                                  "'A\\xff' is not UTF-8"),
    (svc.DEFAULT_MAC, None, None, "new.bin is blank (all 0xFF): it holds no record"),
], ids=["other-mac", "no-eth0", "name-not-utf8", "blank"])
def test_chip_write_refuses_an_image_that_leaves_the_unit_without_identity(unit_dir, unit_mac, image_mac, name, says,
                                                                          allow, status, prefix):
    """--yes answers the question only; --allow-invalid writes such an image."""
    original = open(svc.provision(unit_dir), "rb").read()
    if name is None:
        (unit_dir / "new.bin").write_bytes(b"\xff" * 4096)
    else:
        record_image(unit_dir / "new.bin", name=name, mac=image_mac)
    result = promtool_chip(unit_dir, ["write", "--yes", "new.bin"] + allow, mac=unit_mac)
    assert result.returncode == status and result.stderr.startswith(prefix + says), result
    assert ("--allow-invalid" in result.stderr.splitlines()[0]) and (unit_dir / "chip.bin").read_bytes() == (
        original if status else (unit_dir / "new.bin").read_bytes())


@pytest.mark.parametrize("faults, error", [
    (lambda read_back: {"power_cut_after_page": 3},
     r"the chip did not take new\.bin: \d+ of 4096 bytes differ, the first at 0x010; the chip holds an interrupted "
     r"write \(its first block is not the record's\): write the image again"),
    (lambda read_back: {"nack_transfer": [read_back, read_back + 1]},
     r"new\.bin was written, but the chip could not be read back: its content is unknown"),
], ids=["pages-dropped", "read-back-not-acknowledged"])
def test_chip_write_fails_when_the_chip_does_not_hold_the_image(unit_dir, faults, error):
    """Each is a failure, named, never 'identical'."""
    chip, _ = svc.provision(unit_dir), svc.provision(unit_dir, serial="654321", image="new.bin")
    original = open(chip, "rb").read()
    instant = {"write_cycle_ms": 0}     # one poll per page: a fixed number of transfers
    assert promtool_chip(unit_dir, ["write", "--yes", "new.bin"], chip=instant, log="transfers.log").returncode == 0
    read_back = int(svc.read_log(unit_dir)[-1].split(".")[0])       # the last transfer
    open(chip, "wb").write(original)
    result = promtool_chip(unit_dir, ["write", "--yes", "new.bin"], chip=dict(instant, faults=faults(read_back)))
    assert result.returncode == 1 and re.fullmatch("Error: " + error, result.stderr.splitlines()[-1]), result
