"""A write the chip did not take, and a power cut in the middle of a write
(every fault at every point: test_fault_matrix.py): promtool chip write
stops before it relies on a step the chip did not take; doctor names an
interrupted write, and never a sound record; writing again repairs it; a
rename torn inside the name's page publishes nothing until the next rename
repairs it."""
import json
import os
import subprocess

import pytest

import service as svc
from test_promtool_conventions import record_image

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


@pytest.mark.parametrize("cut", [126, 127])
def test_a_blanking_the_chip_did_not_take_stops_the_write_and_the_chip_keeps_its_record(unit_dir, cut):
    """The write after the chip's read is the blanking: missed, it starts no
    write cycle, so its poll answers at once; only its read-back tells."""
    chip, _ = svc.provision(unit_dir, serial=OLD[0], name=OLD[1]), svc.provision(unit_dir, serial=NEW[0],
                                                                                 name=NEW[1], image="new.bin")
    old = open(chip, "rb").read()
    faults = {"nack_transfer": 2, "power_cut_after_page": cut}
    unit = svc.write_unit(unit_dir, svc.unit_description(chip={"write_cycle_ms": 0, "faults": faults}))
    result = subprocess.run([svc.UNITSIM_RUN, "--unit", unit, "--"] + PROMTOOL + ["chip", "write", "--yes", "new.bin"],
                            cwd=str(unit_dir), stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
    assert (result.returncode, result.stderr.decode().splitlines()[-1]) == (
        1, "Error: the chip did not take the write at 0x000 (blanking the chip's first block); the chip still holds "
           "its old record"), result
    assert open(chip, "rb").read() == old


@pytest.mark.parametrize("serial, position", [(b"S00305", 0), (b"S00094", 15)])
def test_a_sound_record_is_never_called_an_interrupted_write(run_service, unit_dir, serial, position):
    """Records (not promtool's: their serial numbers are not six digits)
    whose stored first block begins or ends with 0xFF, as a torn write's
    does: valid for the unit, so whole."""
    record_image(unit_dir / "chip.bin", serial=serial)
    assert (unit_dir / "chip.bin").read_bytes()[position] == 0xFF
    record, warning = shown(unit_dir / "chip.bin")
    assert (record["valid"], record["interrupted_write"], warning) == (True, False, ""), record
    service = run_service(svc.unit_description(), unit_dir)
    assert svc.next_identity(service.identity_subscriber()) == svc.identity("Unit A", serial.decode())
    doctor = svc.in_unit(service.pid, [svc.PROMTOOL, "doctor", "--json"])
    assert (doctor.returncode, json.loads(doctor.stdout)["cause"]) == (0, None), doctor


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
