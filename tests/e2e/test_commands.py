"""The road of "Set Prom" commands, from a pyzmq PUSH to the chip and back out
on "PromInfo": the transfers on the bus tell which commands wrote the chip,
the service's output what it reported."""
import json
import os
import re

import pytest
import zmq

import service as svc

# On the bus, a rename: the whole chip read in one combined transfer; then
# each page written at its address and polled at 0x0FFE until the chip
# acknowledges; then the chip read back.
READ = r"\.0 i2c-1 W 0x50 len=2 ack 00 00\n\.1 i2c-1 R 0x50 len=4096 ack .*\n"
# (Under an emulator on a busy machine the first poll can come after the
# write cycle has ended: no unanswered poll then.)
PAGE = (r"\.0 i2c-1 W 0x50 len=34 ack (.. ..) .*\n(?:\.0 i2c-1 W 0x50 len=2 nack 0f fe\n)*"
        r"\.0 i2c-1 W 0x50 len=2 ack 0f fe\n")
NO_BODY = b"EEPROM ERR: Set Prom command without a body ignored.\n"
# The report of the body "not json" as doc/wire-protocol.md shows it, which
# leaves out the space that ends each line.
with open(os.path.join(svc.SOURCE, "doc/wire-protocol.md")) as _page:
    NOT_JSON = b"".join(line[4:].encode() + b" \n" for line in re.search(
        r"For the body `not json`:\n\n((?:    .*\n)+)", _page.read()).group(1).splitlines())


@pytest.fixture
def unit(run_service, unit_dir):
    """Unit A's service, its bus logged, and a subscriber that saw its identity."""
    svc.provision(unit_dir)
    service = run_service(svc.unit_description(log="transfers.log"), unit_dir)
    sub = service.identity_subscriber()
    assert svc.next_identity(sub) == svc.identity("Unit A")
    return service, sub


def rename_is_the_only_write(service, sub, unit_dir):
    """Renames the unit to Bench 7 (after every command sent before on the
    same socket) and checks the bus saw that write and nothing else."""
    service.set_name("Bench 7")
    svc.wait_identity(sub, svc.identity("Bench 7"))
    log = "".join(line[line.index("."):] + "\n" for line in svc.read_log(unit_dir))
    written = re.fullmatch(READ + "((?:%s)*)" % PAGE + READ, log)
    assert written and re.findall(PAGE, written.group(1)) == ["%02x %02x" % (n >> 3, n % 8 * 32) for n in range(128)]


def reports(service):
    """What the service printed after its banner, up to a clean stop."""
    assert service.stop() == 0
    assert service.output.startswith(svc.BANNER), service.output
    return service.output[len(svc.BANNER):]


def test_a_rename_rewrites_the_record_from_the_name_on(unit, unit_dir):
    service, sub = unit
    before = (unit_dir / "chip.bin").read_bytes()
    rename_is_the_only_write(service, sub, unit_dir)
    after = (unit_dir / "chip.bin").read_bytes()
    assert after[:4048] == before[:4048] and after != before      # chained blocks from the name on
    assert reports(service) == b""


# Commands that change nothing, and what the service reports for each.
IGNORED = {
    "name-not-a-string": ([b"Set Prom", b'{"Unit Name": 42}'], b""),
    "no-name": ([b"Set Prom", b'{"Other": "x"}'], b""),
    "array-body": ([b"Set Prom", b'[{"Unit Name": "In an array"}]'], b""),
    "topic-in-lower-case": ([b"set prom", b'{"Unit Name": "Lower"}'], b""),
    "other-topic": ([b"Status", b'{"Unit Name": "Other"}'], b""),
    "no-body": ([b"Set Prom"], re.escape(NO_BODY)),
    # Any source line: the document shows where the reports come from today.
    "not-json": ([b"Set Prom", b"not json"], re.sub(rb"\\.cpp:\d+", rb"\\.cpp:\\d+", re.escape(NOT_JSON))),
    "the-name-it-has": ([b"Set Prom", b'{"Unit Name": "Unit A"}'], b""),
}


@pytest.mark.parametrize("frames, reported", IGNORED.values(), ids=list(IGNORED))
def test_a_command_that_changes_nothing_writes_nothing(unit, unit_dir, frames, reported):
    service, sub = unit
    service.send_command(*frames)
    rename_is_the_only_write(service, sub, unit_dir)
    assert re.fullmatch(reported, reports(service))


def test_a_message_over_64_kib_is_dropped_without_a_report(unit, unit_dir):
    """Its sender is disconnected; the service publishes and obeys as before."""
    service, sub = unit
    service.socket(zmq.PUSH, "PromCmd").send_multipart(
        [b"Set Prom", json.dumps({"Unit Name": "Huge", "pad": "x" * (100 * 1024)}).encode()])
    for _ in range(2):
        assert svc.next_identity(sub) == svc.identity("Unit A")
    rename_is_the_only_write(service, sub, unit_dir)
    assert reports(service) == b""


# A name is stored as at most 15 bytes of whole UTF-8 characters, up to its
# first NUL; frames after the body, and text after its object, are ignored.
@pytest.mark.parametrize("frames, stored", [
    ([b"Set Prom", b'{"Unit Name": "ABCDEFGHIJKLMNOPQRST"}'], "ABCDEFGHIJKLMNO"),
    ([b"Set Prom", '{"Unit Name": "Ünïcödé-Prüfstand"}'.encode()], "Ünïcödé-Pr"),
    ([b"Set Prom", b'{"Unit Name": "a\\u0000b"}'], "a"),
    ([b"Set Prom", b'{"Unit Name": "Framed"}', b"a third frame", b"a fourth"], "Framed"),
    ([b"Set Prom", b'{"Unit Name": "Followed"} by text'], "Followed"),
])
def test_a_name_is_stored_as_the_service_reads_it(unit, unit_dir, frames, stored):
    service, sub = unit
    service.send_command(*frames)
    svc.wait_identity(sub, svc.identity(stored))
    assert len(svc.page_writes(svc.read_log(unit_dir))) == 128
    fields = svc.show_image(str(unit_dir / "chip.bin"))
    assert (fields["Unit name"], fields["Serial number"], fields["Valid"]) == (stored, "123456", "yes")
    assert reports(service) == b""


def test_a_repeated_long_name_compares_as_stored_and_writes_nothing(unit, unit_dir):
    service, _ = unit
    for _ in range(2):
        service.set_name("ABCDEFGHIJKLMNOPQRST")
    service.send_command(b"Set Prom")       # handled after both: its report marks the end
    service.wait_for_output(NO_BODY)
    assert len(svc.page_writes(svc.read_log(unit_dir))) == 128
