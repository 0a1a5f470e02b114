"""A power cut in the middle of a write, at every point that matters, on the
simulated chip (whose writes after a chosen one are lost, the one at the cut
torn if asked): promtool chip write leaves the old record, the new one, or a
record that doctor names as an interrupted write, never a valid mixture of
the two; a rename torn inside the name's page publishes nothing until the
next rename repairs it."""
import json
import os
import subprocess

import pytest

import service as svc

OLD, NEW = ("654321", "Old Name"), ("111111", "Factory New")
# The build's own promtool (the unit's, under the emulator in a cross build).
PROMTOOL = svc.service_command(os.path.join(svc.BIN, "promtool"))
# chip write: the first block blanked, pages 1 to 127, the rest of page 0,
# the first block: 130 writes.
WRITES = 130


def cut_chip_write(unit_dir, after, torn=None):
    """Writes NEW over OLD with the power cut after `after` stored writes (the
    next one torn after `torn` bytes); returns the chip's bytes."""
    chip = svc.provision(unit_dir, serial=OLD[0], name=OLD[1])
    svc.provision(unit_dir, serial=NEW[0], name=NEW[1], image="new.bin")
    faults = dict({"power_cut_after_page": after}, **({"torn_page_bytes": torn} if torn else {}))
    unit = svc.write_unit(unit_dir, svc.unit_description(chip={"write_cycle_ms": 0, "faults": faults}))
    subprocess.run([svc.UNITSIM_RUN, "--unit", unit, "--"] + PROMTOOL + ["chip", "write", "--yes", "new.bin"],
                   cwd=str(unit_dir), stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
    return open(chip, "rb").read()


def shown(path):
    """image show's verdict on a chip image: its JSON and its warning."""
    result = subprocess.run([svc.PROMTOOL, "image", "show", str(path), "--mac", svc.DEFAULT_MAC, "--json"],
                            capture_output=True, encoding="utf-8", timeout=30)
    return json.loads(result.stdout), result.stderr


def test_chip_write_cut_anywhere_leaves_the_old_record_the_new_one_or_a_named_interrupted_write(unit_dir):
    old, new = (open(svc.provision(unit_dir, serial=s, name=n, image=f), "rb").read()
                for (s, n), f in ((OLD, "old.bin"), (NEW, "new.bin")))
    outcomes = {}
    cuts = [(after, None) for after in range(WRITES + 1)] + [(0, 7), (0, 15), (WRITES - 1, 1), (WRITES - 1, 15)]
    for after, torn in cuts:
        chip = cut_chip_write(unit_dir, after, torn)
        if chip in (old, new):
            outcomes[(after, torn)] = "old" if chip == old else "new"
            continue
        record, warning = shown(unit_dir / "chip.bin")
        assert (record["valid"], record["interrupted_write"]) == (False, True), (after, torn, record)
        assert warning.startswith("Warning: a chip write was cut short"), warning
        outcomes[(after, torn)] = "interrupted"
    # Every write but the last leaves no whole record; the torn ones neither.
    assert [outcomes[(after, None)] for after in range(WRITES + 1)] == ["old"] + ["interrupted"] * (WRITES - 1) + [
        "new"], outcomes
    assert {outcomes[cut] for cut in cuts if cut[1]} == {"interrupted"}, outcomes


@pytest.mark.parametrize("after, torn", [(1, None), (WRITES - 1, None), (WRITES - 1, 8)])
def test_doctor_names_an_interrupted_chip_write_and_writing_again_repairs_it(run_service, unit_dir, after, torn):
    cut_chip_write(unit_dir, after, torn)
    service = run_service(svc.unit_description(), unit_dir)
    assert svc.next_identity(service.identity_subscriber()) == svc.INVALID_IDENTITY
    report = json.loads(svc.in_unit(service.pid, [svc.PROMTOOL, "doctor", "--json"]).stdout)
    assert report["cause"] == "interrupted_write" and "write the image again" in report["diagnosis"], report
    assert service.stop() == 0
    repaired = subprocess.run([svc.UNITSIM_RUN, "--unit", svc.write_unit(unit_dir, svc.unit_description()), "--",
                               svc.PROMTOOL, "chip", "write", "--yes", "new.bin"], cwd=str(unit_dir),
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
    assert repaired.returncode == 0, repaired
    assert shown(unit_dir / "chip.bin")[0]["serial"] == NEW[0]


def test_rename_torn_inside_the_names_page_publishes_nothing_until_a_rename_repairs_it(run_service, unit_dir):
    svc.provision(unit_dir, serial=OLD[0], name=OLD[1])
    # Pages 0 to 125 stored, page 126 (the name's cipher block is its second
    # half) torn in that block.
    torn = {"write_cycle_ms": 0, "faults": {"power_cut_after_page": 126, "torn_page_bytes": 24}}
    service = run_service(svc.unit_description(chip=torn), unit_dir)
    sub = service.identity_subscriber()
    svc.wait_identity(sub, svc.identity(OLD[1], OLD[0]))
    service.set_name("Renamed")
    service.wait_for_output(b"EEPROM ERR: The chip did not take the record; keeping what it holds.\n")
    service.wait_for_output(b"EEPROM ERR: Creating eeprom information.\n")
    assert svc.receive(sub, 2.5) is None
    assert service.stop() == 0

    # Power back: the torn name is still there; doctor says what repairs it.
    service = run_service(svc.unit_description(), unit_dir)
    sub = service.identity_subscriber()
    assert svc.receive(sub, 2.5) is None
    report = json.loads(svc.in_unit(service.pid, [svc.PROMTOOL, "doctor", "--json"]).stdout)
    assert report["cause"] == "bad_record" and "is not UTF-8; a rename repairs it" in report["diagnosis"], report
    service.set_name("Repaired")
    assert svc.next_identity(sub) == svc.identity("Repaired", OLD[0])
    assert service.stop() == 0
