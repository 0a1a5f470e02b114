"""Start-up (banner, leftover utility removal), the identity and heartbeat
sent every second, and stop on a signal, seen from outside."""
import os
import shutil
import signal
import time

import pytest

import service as svc

ORIGINAL = b"EEPROM ERR: Could not delete original utility app.\n"
COPY = b"EEPROM ERR: Could not delete utility app copy.\n"


# A path below a leftover's name makes it a non-empty directory, which
# remove() cannot delete.
@pytest.mark.parametrize("leftovers, errors, sig", [
    (["zel_prom_utility", "prom_utility"], b"", signal.SIGTERM),
    (["prom_utility"], b"", signal.SIGINT),
    (["zel_prom_utility/inner"], ORIGINAL, signal.SIGTERM),
    (["zel_prom_utility/inner", "prom_utility/inner"], ORIGINAL + COPY, signal.SIGINT),
])
def test_example_unit_starts_publishes_every_second_and_stops(run_service, unit_dir, leftovers, errors, sig):
    shutil.copy(os.path.join(svc.SOURCE, "examples", "unit-chip.bin"), unit_dir / "chip.bin")
    sysapp = [{"path": path, "content": "x"} for path in leftovers + ["keep.conf"]]
    service = run_service(svc.unit_description(sysapp=sysapp), unit_dir)
    monitor, sub = service.health_monitor(), service.identity_subscriber()
    stamps = []
    for _ in range(3):
        assert svc.receive(monitor, 3) == [b"HbMon", b"Eeprom Manager"]
        assert svc.next_identity(sub) == svc.identity("Example Unit")
        stamps.append(time.monotonic())
    assert all(0.6 <= b - a <= 1.6 for a, b in zip(stamps, stamps[1:])), stamps
    kept = {path.split("/")[0] for path in leftovers if "/" in path} | {"keep.conf"}
    assert set(os.listdir(service.path("/root/zel_sysapp"))) == kept
    assert service.stop(sig) == 0
    assert service.output == svc.BANNER + errors
