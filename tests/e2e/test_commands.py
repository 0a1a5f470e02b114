"""The road of "Set Prom" commands, from a pyzmq PUSH to the chip and back out
on "PromInfo", in one run of the service: the transfers on the bus tell which
commands wrote the chip."""
import json
import re

import zmq

import service as svc


def test_only_commands_that_change_the_stored_name_write_the_chip(run_service, unit_dir):
    svc.provision(unit_dir)
    service = run_service(svc.unit_description(log="transfers.log"), unit_dir)
    sub = service.identity_subscriber()
    assert svc.next_identity(sub) == svc.identity("Unit A")
    before = (unit_dir / "chip.bin").read_bytes()

    # A message over 64 KiB is dropped (and its sender disconnected).
    service.socket(zmq.PUSH, "PromCmd").send_multipart(
        [b"Set Prom", json.dumps({"Unit Name": "Huge", "pad": "x" * (100 * 1024)}).encode()])
    for _ in range(2):
        assert svc.next_identity(sub) == svc.identity("Unit A")

    for frames in ([b"Set Prom", b'{"Unit Name": 42}'], [b"Set Prom", b'{"Other": "x"}'],
                   [b"set prom", b'{"Unit Name": "Lower"}'], [b"Status", b'{"Unit Name": "Other"}'],
                   [b"Set Prom"], [b"Set Prom", b'{"Unit Name": ']):
        service.send_command(*frames)
    service.set_name("Unit A")              # the name it has
    service.set_name("Bench 7")
    svc.wait_identity(sub, svc.identity("Bench 7"))
    # On the bus: the whole chip read in one combined transfer; then, for the
    # one command that wrote, each page written at its address and polled at
    # 0x0FFE until the chip acknowledges; then the chip read back.
    log = "".join(line[line.index("."):] + "\n" for line in svc.read_log(unit_dir))
    read = r"\.0 i2c-1 W 0x50 len=2 ack 00 00\n\.1 i2c-1 R 0x50 len=4096 ack .*\n"
    page = (r"\.0 i2c-1 W 0x50 len=34 ack (.. ..) .*\n(?:\.0 i2c-1 W 0x50 len=2 nack 0f fe\n)+"
            r"\.0 i2c-1 W 0x50 len=2 ack 0f fe\n")
    written = re.fullmatch(read + "((?:%s)*)" % page + read, log)
    assert written and re.findall(page, written.group(1)) == ["%02x %02x" % (n >> 3, n % 8 * 32) for n in range(128)]
    after = (unit_dir / "chip.bin").read_bytes()
    assert after[:4048] == before[:4048] and after != before      # chained blocks from the name on
    report = service.output[len(svc.BANNER):].splitlines()
    assert report[0] == b"EEPROM ERR: Set Prom command without a body ignored."
    assert len(report) == 4 and all(b" JUTL_ERROR: " in line for line in report[1:]), report

    # Names are stored as at most 15 bytes of whole UTF-8 characters; a
    # repeated long name compares as stored and writes nothing.
    for name in ("ABCDEFGHIJKLMNOPQRST", "ABCDEFGHIJKLMNOPQRST", "Ünïcödé-Prüfstand"):
        service.set_name(name)
    svc.wait_identity(sub, svc.identity("Ünïcödé-Pr"))
    assert len(svc.page_writes(svc.read_log(unit_dir))) == 3 * 128
    fields = svc.show_image(str(unit_dir / "chip.bin"))
    assert (fields["Unit name"], fields["Serial number"], fields["Valid"]) == ("Ünïcödé-Pr", "123456", "yes")
    assert service.stop() == 0
    assert len(service.output) == len(svc.BANNER) + sum(len(line) + 1 for line in report)
