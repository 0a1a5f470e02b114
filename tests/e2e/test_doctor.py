"""promtool doctor inside simulated units, the service running on each: every
cause of a missing or invalid identity gets its own diagnosis, the checks
after the failing one still run, and a record is judged as the service
publishes it."""
import json
import shutil
import subprocess

import pytest

import service as svc
from test_promtool_conventions import record_image

WORDS = {"ok": "ok", "fail": "FAIL", "skipped": "--"}


@pytest.mark.parametrize("chip, mac, statuses, cause", [
    ({}, svc.DEFAULT_MAC, "ok ok ok ok ok ok ok ok", None),
    ({"faults": {"no_ack": True}}, svc.DEFAULT_MAC, "ok fail fail ok skipped skipped ok fail", "no_ack"),
    ({"faults": {"read_fail": True}}, svc.DEFAULT_MAC, "ok ok fail ok skipped skipped ok fail", "read_fail"),
    ({"faults": {"slave_busy": True}}, svc.DEFAULT_MAC, "ok fail fail ok skipped skipped ok fail", "slave_busy"),
    ({"image": "blank.bin"}, svc.DEFAULT_MAC, "ok ok ok ok fail skipped ok fail", "blank_chip"),
    ({}, svc.DEFAULT_MAC, "ok ok ok fail skipped skipped ok ok", "no_crypto"),   # the service has its own
    ({}, "02:00:00:00:00:99", "ok ok ok ok ok fail ok fail", "mac_mismatch"),
    ({}, None, "ok ok ok ok ok fail ok fail", "no_eth0"),
])
def test_doctor_names_the_first_cause(run_service, unit_dir, chip, mac, statuses, cause):
    svc.provision(unit_dir)
    promtool = svc.PROMTOOL
    if cause == "no_crypto":        # a copy of promtool with an empty $ORIGIN/../lib
        (unit_dir / "copy" / "lib").mkdir(parents=True)
        (unit_dir / "copy" / "bin").mkdir()
        promtool = str(shutil.copy(svc.PROMTOOL, unit_dir / "copy" / "bin"))
    service = run_service(svc.unit_description(mac=mac, chip=chip), unit_dir)
    result, text = (svc.in_unit(service.pid, [promtool, "doctor"] + extra) for extra in (["--json"], []))
    report = json.loads(result.stdout)
    assert (result.returncode, report["cause"]) == (1 if cause else 0, cause), result.stderr
    assert [check["status"] for check in report["checks"]] == statuses.split()
    lines = text.stdout.decode().splitlines()
    assert [line.split()[0] for line in lines] == [WORDS[word] for word in statuses.split()] + ["Diagnosis:"]
    assert (text.returncode, lines[-1]) == (result.returncode, "Diagnosis: " + report["diagnosis"])


def doctor(service):
    result = svc.in_unit(service.pid, [svc.PROMTOOL, "doctor", "--json"])
    report = json.loads(result.stdout)
    return result.returncode, report["cause"], " ".join(check["status"] for check in report["checks"]), report


@pytest.mark.parametrize("serial, name, mac, statuses, cause, says", [
    (b"123456", b"A\xff", svc.DEFAULT_MAC, "ok ok ok ok fail ok ok fail", "bad_record",
     "the service publishes nothing for this record: its unit name 'A\\xff' is not UTF-8; a rename repairs it"),
    (b"123456", b"A\xff", "02:00:00:00:00:99", "ok ok ok ok fail fail ok fail", "bad_record", "not this unit's"),
    (b"12a456", b"A", svc.DEFAULT_MAC, "ok ok ok ok ok ok ok ok", None, "healthy"),    # published as it stands
])
def test_doctor_judges_the_record_as_the_service_publishes_it(run_service, unit_dir, serial, name, mac, statuses,
                                                             cause, says):
    record_image(unit_dir / "chip.bin", serial, name)
    service = run_service(svc.unit_description(mac=mac), unit_dir)
    status, found, checks, report = doctor(service)
    assert (status, found, checks) == (1 if cause else 0, cause, statuses) and says in report["diagnosis"], report
    if cause and mac == svc.DEFAULT_MAC:    # the rename it advises
        assert svc.in_unit(service.pid, [svc.PROMTOOL, "set-name", "Fixed"]).returncode == 0
        assert doctor(service)[:3] == (0, None, "ok ok ok ok ok ok ok ok")


@pytest.mark.parametrize("buses, bus_check, cause", [
    ("1 2", "ok", "not_running"),      # a board without bus 0: only the service is missing
    ("0 1", "ok", "not_running"),
    ("0 2", "fail", "bus_missing"),
])
def test_doctor_needs_only_the_chips_bus(unit_dir, buses, bus_check, cause):
    svc.provision(unit_dir)
    description = svc.unit_description()
    chip_bus = description["i2c"]["buses"]["1"]
    description["i2c"]["buses"] = {bus: chip_bus if bus == "1" else [] for bus in buses.split()}
    result = subprocess.run([svc.UNITSIM_RUN, "--unit", svc.write_unit(unit_dir, description), "--",
                             svc.PROMTOOL, "doctor", "--json", "--timeout", "1"], capture_output=True, timeout=60)
    report = json.loads(result.stdout)
    assert (result.returncode, report["cause"], report["checks"][0]["status"]) == (1, cause, bus_check), report
    missing = ({"0", "1", "2"} - set(buses.split())).pop()
    assert "/dev/i2c-%s: No such file or directory" % missing in report["checks"][0]["detail"], report


# The kernel's view of a chip address held by its at24 driver, as sysfs shows
# it, on a tmpfs over /sys/bus in the unit's own mount namespace.
FAKE_SYSFS = ('mount -t tmpfs none /sys/bus && D=/sys/bus/i2c/devices/1-0050 && mkdir -p $D /sys/bus/i2c/drivers/at24'
              ' && ln -s ../../drivers/at24 $D/driver && echo 24c32 > $D/name && ')


@pytest.mark.parametrize("of_node, says", [
    ("ln -s /sys/firmware/devicetree/base/soc/i2c@30a30000/eeprom@50 $D/of_node && ",
     'the kernel\'s at24 driver holds it (device 1-0050, "24c32", from the device-tree node '
     '/soc/i2c@30a30000/eeprom@50): drop that node'),
    ("", "made at run time): free the address (echo 1-0050 > /sys/bus/i2c/drivers/at24/unbind, "
         "or echo 0x50 > /sys/bus/i2c/devices/i2c-1/delete_device)"),
], ids=["device-tree", "new_device"])
def test_doctor_names_the_kernel_driver_that_holds_the_chips_address(unit_dir, of_node, says):
    svc.provision(unit_dir)
    unit = svc.write_unit(unit_dir, svc.unit_description(chip={"faults": {"slave_busy": True}}))
    script = FAKE_SYSFS + of_node + 'exec "$@"'
    result = subprocess.run([svc.UNITSIM_RUN, "--unit", unit, "--", "sh", "-c", script, "sh", svc.PROMTOOL, "doctor",
                             "--json", "--timeout", "1"], capture_output=True, timeout=60)
    report = json.loads(result.stdout)
    assert report["cause"] == "slave_busy" and says in report["diagnosis"], report
