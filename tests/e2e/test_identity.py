"""A record that is not valid for the unit: published as invalid, never
written, and commands are refused."""
import re
import shutil

import pytest

import service as svc

NOT_VALID = b"EEPROM ERR: Command ignored: the EEPROM record is not valid for this unit.\n"
NO_MAC = b"NET ERROR : Unable to get mac address from ioctl.\n"
NO_CIPHER = b"EEPROM ERR: No usable AES cipher: the record is treated as not valid and is never written.\n"


# Each command is consumed and answered with one line (without eth0, the MAC
# address is asked, and missed, again for each).
@pytest.mark.parametrize("case, at_start, per_command", [
    ("record of another unit", b"", b""),
    ("no eth0", NO_MAC, NO_MAC),
    ("blank chip", b"", b""),
    ("no crypto library", NO_CIPHER, b""),
])
def test_invalid_record_is_published_as_invalid_and_never_written(run_service, unit_dir, case,
                                                                   at_start, per_command):
    command = None
    if case == "no crypto library":     # a copy of the service with an empty $ORIGIN/../lib
        (unit_dir / "copy" / "lib").mkdir(parents=True)
        (unit_dir / "copy" / "bin").mkdir()
        command = svc.service_command(shutil.copy(svc.SERVICE, unit_dir / "copy" / "bin"))
    if case != "blank chip":
        svc.provision(unit_dir, mac="02:00:00:00:00:99" if case.startswith("record") else svc.DEFAULT_MAC)
    service = run_service(svc.unit_description(mac=None if case == "no eth0" else svc.DEFAULT_MAC,
                                               log="transfers.log"), unit_dir, command)
    sub = service.identity_subscriber()
    assert svc.next_identity(sub) == svc.INVALID_IDENTITY
    before = (unit_dir / "chip.bin").read_bytes()
    service.send_command(b"Set Prom", b"{}", b"x" * 65536)     # over 64 KiB: dropped without a word
    service.set_name("One")
    service.set_name("Two")
    expected = svc.BANNER + at_start + 2 * (per_command + NOT_VALID)
    service.wait_for_output(2 * (per_command + NOT_VALID))
    assert svc.next_identity(sub) == svc.INVALID_IDENTITY
    assert service.stop() == 0
    # Less the crypto library binding's own report of what it missed.
    assert re.sub(rb"(Error loading|Can't find) .*\n", b"", service.output) == expected
    assert (unit_dir / "chip.bin").read_bytes() == before
    assert svc.page_writes(svc.read_log(unit_dir)) == []
