"""Start-up, heartbeat and stop of the installed service, seen from outside."""
import os
import signal
import time

import pytest

import service as svc


def test_banner_heartbeats_and_clean_stop_on_sigterm(run_service, unit_dir):
    service = run_service(svc.unit_description(), unit_dir)
    monitor = service.health_monitor()
    beats = []
    for _ in range(3):
        frames = svc.receive(monitor, timeout=3)
        assert frames is not None, "no heartbeat within 3 s"
        beats.append((time.monotonic(), frames))
    assert service.stop(signal.SIGTERM) == 0
    for _, frames in beats:
        assert frames == [b"HbMon", b"Eeprom Manager"]
    # Nothing but the banner on a healthy unit with no leftovers.
    assert service.output == svc.BANNER
    # The heartbeats stop with the service.
    assert svc.receive(monitor, timeout=1.5) is None


def test_first_beat_after_about_a_second_then_one_a_second(run_service, unit_dir):
    service = run_service(svc.unit_description(), unit_dir)
    monitor = service.health_monitor()
    stamps = []
    for _ in range(4):
        assert svc.receive(monitor, timeout=3) is not None
        stamps.append(time.monotonic())
    # From the banner's arrival (the loop starts right after it).
    first = stamps[0] - service.wait_ready()
    assert 0.6 <= first <= 2.0, first
    gaps = [b - a for a, b in zip(stamps, stamps[1:])]
    assert all(0.6 <= gap <= 1.6 for gap in gaps), gaps


def test_sigint_stops_with_status_zero(run_service, unit_dir):
    service = run_service(svc.unit_description(), unit_dir)
    monitor = service.health_monitor()
    assert svc.receive(monitor, timeout=3) is not None
    assert service.stop(signal.SIGINT) == 0


@pytest.mark.parametrize("present", [
    ["zel_prom_utility", "prom_utility"],
    ["prom_utility"],
    ["zel_prom_utility"],
])
def test_leftover_utilities_are_removed_silently(run_service, unit_dir, present):
    sysapp = [{"path": name, "content": "old utility\n"} for name in present]
    sysapp.append({"path": "keep.conf", "content": "not a leftover\n"})
    service = run_service(svc.unit_description(sysapp=sysapp), unit_dir)
    monitor = service.health_monitor()
    assert svc.receive(monitor, timeout=3) is not None
    assert sorted(os.listdir(service.path("/root/zel_sysapp"))) == ["keep.conf"]
    assert service.stop() == 0
    assert service.output == svc.BANNER


def test_failed_removals_are_reported_in_order_and_the_service_runs_on(run_service, unit_dir):
    # A non-empty directory at each path cannot be removed with remove().
    sysapp = [{"path": "zel_prom_utility/inner", "content": "x"},
              {"path": "prom_utility/inner", "content": "y"}]
    service = run_service(svc.unit_description(sysapp=sysapp), unit_dir)
    monitor = service.health_monitor()
    for _ in range(2):
        assert svc.receive(monitor, timeout=3) == [b"HbMon", b"Eeprom Manager"]
    assert service.stop() == 0
    assert service.output == svc.BANNER + (
        b"EEPROM ERR: Could not delete original utility app.\n"
        b"EEPROM ERR: Could not delete utility app copy.\n")


def test_only_the_second_removal_failing_prints_only_its_line(run_service, unit_dir):
    sysapp = [{"path": "zel_prom_utility", "content": "x"},
              {"path": "prom_utility/inner", "content": "y"}]
    service = run_service(svc.unit_description(sysapp=sysapp), unit_dir)
    service.wait_for_output(b"EEPROM ERR: ")
    assert not os.path.exists(service.path("/root/zel_sysapp/zel_prom_utility"))
    assert service.stop() == 0
    assert service.output == svc.BANNER + b"EEPROM ERR: Could not delete utility app copy.\n"
