"""The road of a "Set Prom" command, from a pyzmq PUSH to the chip and back
out on "PromInfo"; and what the service does with commands it must not act on."""
import json
import time

import pytest

import service as svc


@pytest.fixture
def unit(run_service, unit_dir):
    """A provisioned unit with the transfer log on, the service running and
    an identity subscriber that has seen the first message."""
    svc.provision(unit_dir)
    service = run_service(svc.unit_description(log="transfers.log"), unit_dir)
    sub = service.identity_subscriber()
    assert svc.next_identity(sub) == svc.identity("Unit A")
    return service, sub, unit_dir


def test_new_name_reaches_the_chip_and_the_next_identity(unit):
    service, sub, unit_dir = unit
    before = (unit_dir / "chip.bin").read_bytes()
    service.set_name("Bench 7")
    svc.wait_identity(sub, svc.identity("Bench 7"))
    fields = svc.show_image(str(unit_dir / "chip.bin"))
    assert fields["Unit name"] == "Bench 7"
    assert fields["Serial number"] == "123456"
    assert fields["Valid"] == "yes"
    after = (unit_dir / "chip.bin").read_bytes()
    # Only the blocks from the unit name on change in the stored record.
    assert after[:4048] == before[:4048] and after != before
    log = svc.read_log(unit_dir)
    assert len(svc.page_writes(log)) == 128
    assert service.stop() == 0
    assert service.output == svc.BANNER


def test_same_name_again_makes_no_bus_traffic(unit):
    service, sub, unit_dir = unit
    service.set_name("Unit A")
    for _ in range(2):
        assert svc.next_identity(sub) == svc.identity("Unit A")
    log_lines = len(svc.read_log(unit_dir))
    service.set_name("Unit A")
    for _ in range(2):
        assert svc.next_identity(sub) == svc.identity("Unit A")
    assert len(svc.read_log(unit_dir)) == log_lines


def test_long_name_is_stored_cut_and_repeating_it_writes_nothing(unit):
    service, sub, unit_dir = unit
    service.set_name("ABCDEFGHIJKLMNOPQRST")
    svc.wait_identity(sub, svc.identity("ABCDEFGHIJKLMNO"))
    writes = len(svc.page_writes(svc.read_log(unit_dir)))
    assert writes == 128
    service.set_name("ABCDEFGHIJKLMNOPQRST")
    for _ in range(2):
        assert svc.next_identity(sub) == svc.identity("ABCDEFGHIJKLMNO")
    assert len(svc.page_writes(svc.read_log(unit_dir))) == writes


def test_multibyte_name_is_cut_on_a_character_boundary_and_still_published(unit):
    service, sub, unit_dir = unit
    name = "Ünïcödé-Prüfstand"      # the 15th byte falls inside "ü"
    service.set_name(name)
    stored = "Ünïcödé-Pr"
    assert len(stored.encode()) <= 15
    svc.wait_identity(sub, json.dumps({"Serial Number": "123456", "Unit Name": stored},
                                      ensure_ascii=False).encode())
    assert svc.show_image(str(unit_dir / "chip.bin"))["Unit name"] == stored


@pytest.mark.parametrize("frames, printed", [
    ([b"Set Prom", b'{"Unit Name": 42}'], b""),
    ([b"Set Prom", b'{"Other": "x"}'], b""),
    ([b"set prom", b'{"Unit Name": "Lower"}'], b""),
    ([b"Status", b'{"Unit Name": "Other"}'], b""),
    ([b"Set Prom"], b"EEPROM ERR: Set Prom command without a body ignored.\n"),
    ([b"Set Prom", b'{"Unit Name": "Broken"'], b"JUTL_ERROR: (string) "),
])
def test_commands_without_an_applicable_name_change_nothing(unit, frames, printed):
    service, sub, unit_dir = unit
    log_lines = len(svc.read_log(unit_dir))
    service.send_command(*frames)
    service.set_name("After")       # the next command is handled normally
    svc.wait_identity(sub, svc.identity("After"))
    assert len(svc.page_writes(svc.read_log(unit_dir)[log_lines:])) == 128
    assert printed in service.output
    if not printed:
        assert service.output == svc.BANNER


def test_malformed_json_prints_the_parser_report(unit):
    service, sub, unit_dir = unit
    service.send_command(b"Set Prom", b'{"Unit Name": ')
    service.wait_for_output(b"(byte  ) ")
    lines = service.output[len(svc.BANNER):].splitlines()
    assert len(lines) == 3
    assert all(b" JUTL_ERROR: " in line for line in lines)
    assert lines[0].split(b" JUTL_ERROR: ")[1].startswith(b"(string) ")
    assert lines[1].split(b" JUTL_ERROR: ")[1] == b"(source) <string> "
    assert svc.next_identity(sub) == svc.identity("Unit A")


def test_queued_commands_are_each_handled(unit):
    service, sub, unit_dir = unit
    for name in ("First", "Second", "Third"):
        service.set_name(name)
    svc.wait_identity(sub, svc.identity("Third"), timeout=15)
    assert len(svc.page_writes(svc.read_log(unit_dir))) == 3 * 128
    assert svc.show_image(str(unit_dir / "chip.bin"))["Unit name"] == "Third"


def test_oversized_command_is_dropped_and_the_service_runs_on(unit):
    service, sub, unit_dir = unit
    huge = json.dumps({"Unit Name": "Huge", "pad": "x" * (100 * 1024)}).encode()
    service.send_command(b"Set Prom", huge)
    for _ in range(2):
        assert svc.next_identity(sub) == svc.identity("Unit A")
    # The peer was disconnected; a new one is heard.
    service._command.close(0)
    service._command = None
    service.set_name("Small")
    svc.wait_identity(sub, svc.identity("Small"))


def test_command_for_a_record_of_another_unit_is_consumed_with_an_error(run_service, unit_dir):
    svc.provision(unit_dir, mac="02:00:00:00:00:99")
    service = run_service(svc.unit_description(log="transfers.log"), unit_dir)
    sub = service.identity_subscriber()
    assert svc.next_identity(sub) == svc.INVALID_IDENTITY
    before = (unit_dir / "chip.bin").read_bytes()
    for name in ("One", "Two"):
        service.set_name(name)
    deadline = time.monotonic() + 5
    while service.output.count(b"EEPROM ERR: ") < 2 and time.monotonic() < deadline:
        time.sleep(0.05)
    assert service.output == svc.BANNER + 2 * (
        b"EEPROM ERR: Command ignored: the EEPROM record is not valid for this unit.\n")
    assert svc.next_identity(sub) == svc.INVALID_IDENTITY
    assert (unit_dir / "chip.bin").read_bytes() == before
    assert svc.page_writes(svc.read_log(unit_dir)) == []


def test_chip_that_stops_answering_times_out_every_page_and_keeps_the_old_name(run_service, unit_dir):
    # The chip takes the first page and then never ends its write cycle: every
    # later transfer is refused, as a chip that acknowledges nothing.
    svc.provision(unit_dir)
    service = run_service(svc.unit_description(chip={"write_cycle_ms": 60000}), unit_dir)
    sub = service.identity_subscriber()
    monitor = service.health_monitor()
    assert svc.next_identity(sub) == svc.identity("Unit A")
    assert svc.receive(monitor, 3) is not None
    service.set_name("Lost")
    service.wait_for_output(b"EEPROM ERR: Could not read the record back", timeout=20)
    out = service.output.decode()
    timeouts = [line for line in out.splitlines() if line.startswith("EEPROM ERR: Timed out")]
    assert timeouts == ["EEPROM ERR: Timed out while writing page %d." % n for n in range(128)]
    assert "I2C Error : EEPROM (Addr 0x50) is being declared dead due to communication errors.\n" in out
    assert "EEPROM ERR: Could not read the record back; keeping the record the chip last held.\n" in out
    # The heartbeat resumes after the write, and the identity keeps the name
    # the chip holds.
    assert svc.receive(monitor, 5) == [b"HbMon", b"Eeprom Manager"]
    assert svc.next_identity(sub) == svc.identity("Unit A")
    assert service.stop() == 0
