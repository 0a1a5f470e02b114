"""The identity published on "PromInfo", seen by a pyzmq subscriber."""
import subprocess
import time

import service as svc


def start(run_service, unit_dir, provision=True, **unit):
    if provision:
        svc.provision(unit_dir)
    return run_service(svc.unit_description(**unit), unit_dir)


def test_valid_record_is_published_every_second_with_exact_text(run_service, unit_dir):
    service = start(run_service, unit_dir)
    sub = service.identity_subscriber()
    stamps = []
    for _ in range(4):
        assert svc.next_identity(sub) == svc.identity("Unit A")
        stamps.append(time.monotonic())
    gaps = [b - a for a, b in zip(stamps, stamps[1:])]
    assert all(0.6 <= gap <= 1.6 for gap in gaps), gaps
    assert service.stop() == 0
    assert service.output == svc.BANNER


def test_record_of_another_unit_is_published_as_invalid(run_service, unit_dir):
    service = start(run_service, unit_dir, mac="02:00:00:00:00:99")
    sub = service.identity_subscriber()
    for _ in range(2):
        assert svc.next_identity(sub) == svc.INVALID_IDENTITY
    assert service.stop() == 0


def test_unit_without_eth0_publishes_invalid_and_says_why(run_service, unit_dir):
    service = start(run_service, unit_dir, mac=None)
    sub = service.identity_subscriber()
    assert svc.next_identity(sub) == svc.INVALID_IDENTITY
    assert service.stop() == 0
    # The record is judged once at start-up, when the first text is built.
    assert service.output == svc.BANNER + b"NET ERROR : Unable to get mac address from ioctl.\n"


def test_blank_chip_is_invalid(run_service, unit_dir):
    service = start(run_service, unit_dir, provision=False)
    sub = service.identity_subscriber()
    assert svc.next_identity(sub) == svc.INVALID_IDENTITY
    assert service.stop() == 0


def test_name_of_full_sixteen_bytes_from_other_software_is_published_whole(run_service, unit_dir):
    # A name field without a terminating zero, as other tools may write it.
    path = svc.provision(unit_dir, name="X")
    plain = unit_dir / "plain.bin"
    record = bytearray(4096)
    record[0:6] = b"654321"
    record[6:12] = bytes.fromhex("020000000001")
    record[4048:4064] = b"SixteenCharsName"
    plain.write_bytes(bytes(record))
    subprocess.run([svc.PROMTOOL, "image", "create", "--from", str(plain), "--force", "-o", path],
                   check=True)
    service = run_service(svc.unit_description(), unit_dir)
    sub = service.identity_subscriber()
    assert svc.next_identity(sub) == svc.identity("SixteenCharsName", serial="654321")
