"""The record on the chip as the installed service and promtool see it: the
example unit, and a service that finds no crypto library."""
import os
import shutil

import service as svc


def test_example_unit_publishes_its_provisioned_identity(run_service, unit_dir):
    shutil.copy(os.path.join(svc.SOURCE, "examples", "unit-chip.bin"), unit_dir / "chip.bin")
    service = run_service(svc.unit_description(), unit_dir)
    sub = service.identity_subscriber()
    assert svc.next_identity(sub) == svc.identity("Example Unit")
    assert service.stop() == 0


def test_without_a_cipher_the_record_is_never_judged_or_written(run_service, unit_dir):
    # A copy of the service whose $ORIGIN/../lib holds no crypto library.
    bin_dir = unit_dir / "nocipher" / "bin"
    (unit_dir / "nocipher" / "lib").mkdir(parents=True)
    bin_dir.mkdir()
    shutil.copy(svc.SERVICE, bin_dir / "eeprom-manager")
    svc.provision(unit_dir)
    before = (unit_dir / "chip.bin").read_bytes()
    service = run_service(svc.unit_description(log="transfers.log"), unit_dir,
                          command=[str(bin_dir / "eeprom-manager")])
    sub = service.identity_subscriber()
    assert svc.next_identity(sub) == svc.INVALID_IDENTITY
    service.set_name("Never")
    service.wait_for_output(b"EEPROM ERR: Command ignored")
    assert svc.next_identity(sub) == svc.INVALID_IDENTITY
    assert service.stop() == 0
    assert service.output == svc.BANNER + (
        b"Error loading liblibaes.so.1.0.so.1\n"
        b"Can't find aes_setkey_enc\n"
        b"Can't find aes_setkey_dec\n"
        b"Can't find aes_crypt_cbc\n"
        b"Can't find sha2_starts\n"
        b"Can't find sha2_update\n"
        b"Can't find sha2_finish\n"
        b"EEPROM ERR: No usable AES cipher: the record is treated as not valid and is never written.\n"
        b"EEPROM ERR: Command ignored: the EEPROM record is not valid for this unit.\n")
    assert (unit_dir / "chip.bin").read_bytes() == before
    assert svc.page_writes(svc.read_log(unit_dir)) == []
