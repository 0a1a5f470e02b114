"""Stop requests on the system-control channel."""
import pytest

import service as svc

NOT_FOR_US = [
    [b"ServiceStop", b'[{"OtherService": null}]'], [b"ServiceStop", b'[{"hwmgrfpga": null}]'],
    [b"ServiceStop", b"[]"], [b"ServiceStopNow", b'[{"HwMgrFPGA": null}]'],
    [b"ServiceStop", b'{"HwMgrFPGA": null}'], [b"ServiceStop", b"not json"], [b"ServiceStop"],
    [b"ServiceStop", b'[{"HwMgrFPGA": null, "pad": "' + b"x" * (100 * 1024) + b'"}]'],
]

# The service starts before its peers bind and reaches them once they do.
@pytest.mark.parametrize("payload", [
    b'[{"HwMgrFPGA": null}]',
    b'[{"Other": 1}, "text", {"HwMgrFPGA": {"mode": "off"}, "x": 2}]',
    b'[{"HwMgrFPGA": true}] trailing text',
])
def test_only_a_stop_addressed_to_the_service_ends_it(run_service, unit_dir, payload):
    service = run_service(svc.unit_description(), unit_dir)
    assert service.alive_after(2.5)
    monitor = service.health_monitor()
    control = service.system_control()
    for frames in NOT_FOR_US:
        control.send_multipart(frames)
    assert service.alive_after(2.0)
    assert svc.receive(monitor, 3) == [b"HbMon", b"Eeprom Manager"]
    assert b"JUTL_ERROR: JSON Root in JsonParseStop() is not an array.\n" in service.output
    control.send_multipart([b"ServiceStop", payload])
    assert service.wait(10) == 0
