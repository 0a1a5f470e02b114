"""promtool chip on a simulated unit whose chip misses the first transfer of
every session: read, show and write through i2c-dev with the service's
start-up retry, and never while the service owns the chip."""
import json
import os
import re
import subprocess

import pytest

import service as svc
from test_promtool_conventions import record_image

MISSES_FIRST = {"faults": {"nack_transfer": 1}}


def test_chip_read_show_and_write(unit_dir):
    chip, new = svc.provision(unit_dir), svc.provision(unit_dir, serial="654321", name="New", image="new.bin")
    original = open(chip, "rb").read()
    unit = svc.write_unit(unit_dir, svc.unit_description(chip=MISSES_FIRST, log="transfers.log"))
    results = {}
    for args, answer, status in [(["read", "-o", "backup.bin"], None, 0),
                                 (["read", "-o", "backup.bin"], None, 1),      # never overwritten unasked
                                 (["write", "new.bin"], None, 1), (["write", "new.bin"], "\n", 1),  # default: no
                                 (["write", "new.bin"], "y\n", 0), (["show"], None, 0), (["show", "--json"], None, 0)]:
        result = results[" ".join(args)] = subprocess.run(
            [svc.UNITSIM_RUN, "--unit", unit, "--", svc.PROMTOOL, "chip"] + args, cwd=str(unit_dir), input=answer,
            stdin=None if answer else subprocess.DEVNULL, capture_output=True, encoding="utf-8", timeout=60)
        assert result.returncode == status, (args, result)
    assert (unit_dir / "backup.bin").read_bytes() == original and open(chip, "rb").read() == open(new, "rb").read()
    assert "Valid for %s (eth0 of this machine): yes" % svc.DEFAULT_MAC in results["show"].stdout.splitlines()
    assert json.loads(result.stdout) == {"serial": "654321", "mac": svc.DEFAULT_MAC, "unit_name": "New",
                                         "judged_against": svc.DEFAULT_MAC, "valid": True, "publishable": True,
                                         "interrupted_write": False}
    # Pages 1 to 127 whole; the first page's two blocks apart, the first one
    # blanked before them and written after them.
    writes = [line.split()[6:8] for line in svc.read_log(unit_dir) if " W 0x50 len=18 ack" in line]
    assert len(svc.page_writes(svc.read_log(unit_dir))) == 127 and writes == [["00", "00"], ["00", "10"], ["00", "00"]]


def test_outputs_are_replaced_never_written_through_and_inputs_are_regular_files(unit_dir):
    """A symbolic link planted at the output: refused without --force, replaced
    by a file with it, its target untouched; a FIFO as input is refused at once."""
    chip = svc.provision(unit_dir)
    on_unit = [svc.UNITSIM_RUN, "--unit", svc.write_unit(unit_dir, svc.unit_description()), "--", svc.PROMTOOL]
    (unit_dir / "target").write_bytes(b"kept")
    os.mkfifo(str(unit_dir / "fifo"))
    out = unit_dir / "out.bin"

    def run(argv):
        return subprocess.run(argv, cwd=str(unit_dir), stdin=subprocess.DEVNULL, capture_output=True,
                              encoding="utf-8", timeout=30)
    for command in ([svc.PROMTOOL, "image", "create", "--from", chip], on_unit + ["chip", "read"]):
        for planted in ("target", "absent"):
            os.symlink(planted, str(out))
            refused, forced = (run(command + force + ["-o", "out.bin"]) for force in ([], ["--force"]))
            assert refused.returncode == 1 and "out.bin exists; use --force" in refused.stderr, refused
            assert forced.returncode == 0 and not out.is_symlink(), forced
            assert out.read_bytes() == open(chip, "rb").read() and (unit_dir / "target").read_bytes() == b"kept"
            assert not (unit_dir / "absent").exists() and not [n for n in os.listdir(str(unit_dir)) if n[0] == "."]
            out.unlink()
    for command in (["image", "show", "fifo"], ["image", "create", "--from", "fifo", "-o", "new.bin"],
                    ["image", "create", "--serial", "123456", "--mac", svc.DEFAULT_MAC, "--force", "-o", "fifo"]):
        result = run([svc.PROMTOOL] + command)
        assert (result.returncode, result.stdout) == (1, ""), result
        assert re.fullmatch("Error: fifo (is not a regular file; a chip image is a file of exactly 4096 bytes|"
                            "exists and is not a regular file; not replaced)\n", result.stderr), result


def test_chip_write_is_refused_while_the_service_runs(run_service, unit_dir):
    chip, _ = svc.provision(unit_dir), svc.provision(unit_dir, serial="654321", image="new.bin")
    service = run_service(svc.unit_description(), unit_dir)
    before = open(chip, "rb").read()
    write = [svc.PROMTOOL, "chip", "write", "--yes", str(unit_dir / "new.bin")]
    result = svc.in_unit(service.pid, write)
    assert result.returncode == 1 and b"(pid %d)" % service.pid in result.stderr, result
    # From a PID namespace of its own the service's pid cannot be seen: still
    # refused, at once, and doctor still finds the service.
    hidden = ["unshare", "-p", "-f", "--"]
    result = svc.in_unit(service.pid, hidden + write)
    assert result.returncode == 1 and b"(pid unknown: " in result.stderr, result
    report = json.loads(svc.in_unit(service.pid, hidden + [svc.PROMTOOL, "doctor", "--json"]).stdout)
    assert [(c["status"], c["detail"]) for c in report["checks"] if c["check"] == "service"] == [
        ("ok", "running, pid unknown: it runs in a PID namespace not visible from here")], report
    assert open(chip, "rb").read() == before


@pytest.mark.parametrize("unit_mac, image_mac, name, says", [
    (svc.DEFAULT_MAC, "02:00:00:00:00:02", b"A", "new.bin holds the record of 02:00:00:00:00:02, not of this unit's "
                                                 "eth0 02:00:00:00:00:01: the service would publish INVLD"),
    (None, svc.DEFAULT_MAC, b"A", "this unit has no eth0 (or its MAC address cannot be read), so no record is valid"),
    (svc.DEFAULT_MAC, svc.DEFAULT_MAC, b"A\xff", "the service would publish nothing for new.bin: its unit name "
                                                  "'A\\xff' is not UTF-8"),
    (svc.DEFAULT_MAC, None, None, "new.bin is blank (all 0xFF): it holds no record"),
])
def test_chip_write_refuses_an_image_that_leaves_the_unit_without_identity(unit_dir, unit_mac, image_mac, name, says):
    """--yes answers the question only; --allow-invalid writes such an image."""
    original = open(svc.provision(unit_dir), "rb").read()
    if name is None:
        (unit_dir / "new.bin").write_bytes(b"\xff" * 4096)
    else:
        record_image(unit_dir / "new.bin", name=name, mac=image_mac)
    unit = svc.write_unit(unit_dir, svc.unit_description(mac=unit_mac))
    for extra, status, line in [([], 1, "Error: " + says), (["--allow-invalid"], 0, "Warning: " + says)]:
        result = subprocess.run([svc.UNITSIM_RUN, "--unit", unit, "--", svc.PROMTOOL, "chip", "write", "--yes",
                                 "new.bin"] + extra, cwd=str(unit_dir), capture_output=True, encoding="utf-8", timeout=60)
        assert result.returncode == status and result.stderr.startswith(line), result
        assert ("--allow-invalid" in result.stderr.splitlines()[0]) and (unit_dir / "chip.bin").read_bytes() == (
            original if status else (unit_dir / "new.bin").read_bytes())


def chip_write(unit_dir, chip, log=None):
    unit = svc.write_unit(unit_dir, svc.unit_description(chip=chip, log=log))
    return subprocess.run([svc.UNITSIM_RUN, "--unit", unit, "--", svc.PROMTOOL, "chip", "write", "--yes", "new.bin"],
                          cwd=str(unit_dir), stdin=subprocess.DEVNULL, capture_output=True, encoding="utf-8",
                          timeout=60)


def test_chip_write_fails_when_the_chip_does_not_hold_the_image(unit_dir):
    """A chip that drops pages it acknowledged, and a read-back that is not
    acknowledged: each is a failure, named, never 'identical'."""
    chip, _ = svc.provision(unit_dir), svc.provision(unit_dir, serial="654321", image="new.bin")
    original = open(chip, "rb").read()
    instant = {"write_cycle_ms": 0}     # one poll per page: a fixed number of transfers
    assert chip_write(unit_dir, instant, log="transfers.log").returncode == 0
    read_back = int(svc.read_log(unit_dir)[-1].split(".")[0])       # the last transfer
    for faults, error in [({"power_cut_after_page": 3}, r"the chip did not take new\.bin: \d+ of 4096 bytes differ, "
                                                        r"the first at 0x000"),
                          ({"nack_transfer": read_back}, r"written, but the chip could not be read back: .*")]:
        open(chip, "wb").write(original)
        result = chip_write(unit_dir, dict(instant, faults=faults))
        assert result.returncode == 1 and re.fullmatch("Error: " + error, result.stderr.splitlines()[-1]), result
