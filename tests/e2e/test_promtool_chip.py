"""promtool chip on a simulated unit whose chip misses the first transfer of
every session: read, show and write through i2c-dev with the service's
start-up retry, and never while the service owns the chip."""
import json
import subprocess

import service as svc

MISSES_FIRST = {"faults": {"nack_transfer": 1}}


def test_chip_read_show_and_write(unit_dir):
    chip, new = svc.provision(unit_dir), svc.provision(unit_dir, serial="654321", name="New", image="new.bin")
    original = open(chip, "rb").read()
    unit = svc.write_unit(unit_dir, svc.unit_description(chip=MISSES_FIRST, log="transfers.log"))
    for args, answer, status in [(["read", "-o", "backup.bin"], None, 0),
                                 (["read", "-o", "backup.bin"], None, 1),      # never overwritten unasked
                                 (["write", "new.bin"], None, 1), (["write", "new.bin"], "\n", 1),  # default: no
                                 (["write", "new.bin"], "y\n", 0), (["show", "--json"], None, 0)]:
        result = subprocess.run([svc.UNITSIM_RUN, "--unit", unit, "--", svc.PROMTOOL, "chip"] + args, cwd=str(unit_dir),
                                input=answer, stdin=None if answer else subprocess.DEVNULL, capture_output=True,
                                encoding="utf-8", timeout=60)
        assert result.returncode == status, (args, result)
    assert (unit_dir / "backup.bin").read_bytes() == original and open(chip, "rb").read() == open(new, "rb").read()
    assert json.loads(result.stdout) == {"serial": "654321", "mac": svc.DEFAULT_MAC, "unit_name": "New",
                                         "judged_against": svc.DEFAULT_MAC, "valid": True}
    assert len(svc.page_writes(svc.read_log(unit_dir))) == 128


def test_chip_write_is_refused_while_the_service_runs(run_service, unit_dir):
    chip, _ = svc.provision(unit_dir), svc.provision(unit_dir, serial="654321", image="new.bin")
    service = run_service(svc.unit_description(), unit_dir)
    before = open(chip, "rb").read()
    result = svc.in_unit(service.pid, [svc.PROMTOOL, "chip", "write", "--yes", str(unit_dir / "new.bin")])
    assert result.returncode == 1 and b"(pid %d)" % service.pid in result.stderr, result
    assert open(chip, "rb").read() == before
