"""The identity chip's timing at start: the service waits for a chip still in
a write cycle, and reports a read that fails all the same once, with its
cause, without declaring the chip dead on the way."""
import pytest

import service as svc

READ_FAILED = b"I2C Error : I2C Device EEPROM read failed:\nI2C Error :  - Error:  %s\n"
NACK = b"No such device or address"


@pytest.mark.parametrize("faults, report", [
    ({"nack_transfer": 1}, b""),                # misses one transfer
    ({"busy_at_start_ms": 6}, b""),             # a page write cut short by a restart
    ({"busy_at_start_ms": 5000}, READ_FAILED % NACK),
    ({"no_ack": True}, READ_FAILED % NACK),
    ({"long_read_fail": True}, READ_FAILED % b"Operation not supported"),  # it answers probes
])
def test_start_up_read_waits_for_a_busy_chip_and_reports_a_failure_once_with_its_cause(
        run_service, unit_dir, faults, report):
    svc.provision(unit_dir)
    service = run_service(svc.unit_description(chip={"faults": faults}), unit_dir)
    expected = svc.INVALID_IDENTITY if report else svc.identity("Unit A")
    assert svc.next_identity(service.identity_subscriber()) == expected
    assert service.stop() == 0
    assert service.output == svc.BANNER + report
