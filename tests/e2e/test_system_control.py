"""Stop requests on the system-control channel."""
import time

import pytest
import zmq

import service as svc

NOT_FOR_US = [
    [b"ServiceStop", b'[{"OtherService": null}]'], [b"ServiceStop", b'[{"hwmgrfpga": null}]'],
    [b"ServiceStop", b"[]"], [b"ServiceStop", b'["HwMgrFPGA"]'], [b"ServiceStop", b'[{"Eeprom Manager": null}]'],
    [b"ServiceStopNow", b'[{"HwMgrFPGA": null}]'],
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


STOP = [b"ServiceStop", b'[{"HwMgrFPGA": null}]']


def test_a_stop_request_sent_once_the_xpub_shows_the_subscription_is_never_lost(run_service, tmp_path):
    """Bound at different points of the service's reconnection back-off."""
    for attempt in range(20):
        (tmp_path / str(attempt)).mkdir()
        service = run_service(svc.unit_description(), tmp_path / str(attempt))
        time.sleep(attempt % 5 * 0.3)
        service.system_control().send_multipart(STOP)
        assert service.wait(10) == 0, attempt


# Each beat of the heartbeat, or of the identity, that still comes is
# answered with the request again.
@pytest.mark.parametrize("watched", ["health_monitor", "identity_subscriber"])
def test_a_plain_pub_loses_a_request_sent_at_once_and_sending_again_while_the_service_beats_stops_it(
        run_service, unit_dir, watched):
    service = run_service(svc.unit_description(), unit_dir)
    beats = getattr(service, watched)()
    control = service.socket(zmq.PUB, "SysCntl", bind=True)
    control.send_multipart(STOP)
    assert svc.receive(beats, 10) is not None
    assert service.alive_after(2.0)
    for _ in range(10):
        if svc.receive(beats, 3) is None:
            break
        control.send_multipart(STOP)
    assert service.wait(10) == 0
