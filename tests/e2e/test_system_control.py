"""Stop requests on the system-control channel."""
import pytest

import service as svc


@pytest.fixture
def running(run_service, unit_dir):
    svc.provision(unit_dir)
    service = run_service(svc.unit_description(), unit_dir)
    return service, service.system_control(), service.health_monitor()


@pytest.mark.parametrize("payload", [
    b'[{"HwMgrFPGA": null}]',
    b'[{"Other": 1}, "text", {"HwMgrFPGA": {"mode": "off"}, "x": 2}]',
    b'[{"HwMgrFPGA": true}] trailing text',
])
def test_stop_addressed_to_the_service_ends_it_with_status_zero(running, payload):
    service, control, monitor = running
    assert svc.receive(monitor, 3) is not None
    control.send_multipart([b"ServiceStop", payload])
    assert service.wait(10) == 0
    assert svc.receive(monitor, 1.5) is None


@pytest.mark.parametrize("frames", [
    [b"ServiceStop", b'[{"OtherService": null}]'],
    [b"ServiceStop", b'[{"hwmgrfpga": null}]'],
    [b"ServiceStop", b"[]"],
    [b"ServiceStopNow", b'[{"HwMgrFPGA": null}]'],
    [b"ServiceStop", b'{"HwMgrFPGA": null}'],
    [b"ServiceStop", b"not json"],
    [b"ServiceStop"],
    [b"ServiceStop", b'[{"HwMgrFPGA": null, "pad": "' + b"x" * (100 * 1024) + b'"}]'],
])
def test_other_messages_do_not_stop_it(running, frames):
    service, control, monitor = running
    control.send_multipart(frames)
    assert service.alive_after(2.0)
    assert svc.receive(monitor, 3) == [b"HbMon", b"Eeprom Manager"]
    assert service.stop() == 0


def test_non_array_payload_is_reported(running):
    service, control, monitor = running
    control.send_multipart([b"ServiceStop", b'{"HwMgrFPGA": null}'])
    service.wait_for_output(b"JUTL_ERROR: JSON Root in JsonParseStop() is not an array.\n")
    assert service.alive_after(1.0)


def test_service_started_before_its_peers_hears_them_once_they_bind(run_service, unit_dir):
    svc.provision(unit_dir)
    service = run_service(svc.unit_description(), unit_dir)
    assert service.alive_after(2.5)     # nobody bound SysCntl or HbBeats yet
    monitor = service.health_monitor()
    control = service.system_control()
    assert svc.receive(monitor, 3) == [b"HbMon", b"Eeprom Manager"]
    control.send_multipart([b"ServiceStop", b'[{"HwMgrFPGA": null}]'])
    assert service.wait(10) == 0
