"""The simulated I2C bus seen by Debian's i2c-tools, unmodified programs
that know nothing of the simulation, run on a simulated unit. Where the
tools and the simulator disagree, the simulator is wrong."""
import json
import os
import re
import shlex
import subprocess

import pytest

import service as svc



def pattern(addr):
    """Image content the tests start from: no two neighbours alike."""
    return (addr * 7 + (addr >> 8) + 3) & 0xFF


def words(first, count, sep=" "):
    """The image bytes from first on, rolling over, as i2c-tools print them."""
    return sep.join("0x%02x" % pattern((first + i) % 4096) for i in range(count))


@pytest.fixture
def unit(tmp_path):
    """Runs a shell script on a unit with a 24c32 at 0x50 on bus 1 (entry keys
    updated by chip, None removing one) and an empty bus 2."""

    def run(script, chip=None, env=None):
        (tmp_path / "chip.bin").write_bytes(bytes(pattern(a) for a in range(4096)))
        entry = dict({"model": "24c32", "address": "0x50", "image": "chip.bin", "write_cycle_ms": 0}, **(chip or {}))
        entry = {key: value for key, value in entry.items() if value is not None}
        section = {"log": "transfers.log", "buses": {"1": [entry], "2": []}}
        (tmp_path / "unit.json").write_text(json.dumps({"eth0": None, "i2c": section}))
        return subprocess.run([svc.UNITSIM_RUN, "--unit", str(tmp_path / "unit.json"),
                               "--", "sh", "-c", script], cwd=str(tmp_path), capture_output=True, text=True,
                              timeout=60, env=dict(os.environ, **(env or {})))

    run.dir = tmp_path
    return run


def detected(output):
    """The cells of i2cdetect tables that show an answer: an address or UU."""
    return re.findall(r"(?<= )(?:[0-9a-f]{2}|UU)(?= |$)", output, re.M)


@pytest.mark.parametrize("options, chip, cells", [
    ("", {}, ["50"]), ("-q", {}, ["50"]), ("-r", {}, ["50"]),
    ("", {"faults": {"slave_busy": True}}, ["UU"]), ("", {"faults": {"no_ack": True}}, [])])
def test_i2cdetect_finds_what_answers_on_bus_1_only(unit, options, chip, cells):
    assert detected(unit("i2cdetect -y %s 1 && i2cdetect -y 2" % options, chip).stdout) == cells


@pytest.mark.parametrize("chip, script, output", [
    # Random reads ignore the top four address bits and roll over from 4095 to 0; the address counter
    # is shared by the session's programs.
    ({}, "i2ctransfer -y 1 w2@0x50 0xff 0xf8 r16", words(0xFF8, 16)),
    ({}, "i2ctransfer -y 1 w2@0x50 0x02 0x00 && i2cget -y 1 0x50 && i2cget -y 1 0x50", words(0x200, 2, "\n")),
    # Writes of address bytes start no write cycle; a single one is latched as the high byte.
    ({"write_cycle_ms": 60000}, "i2ctransfer -y 1 w2@0x50 0x01 0x24 && i2cget -y 1 0x50 && "
     "i2ctransfer -y 1 w1@0x50 0x0a && i2cget -y 1 0x50", words(0x124, 1) + "\n" + words(0xA25, 1)),
    # A write ended by a repeated start programs nothing and starts no cycle; its bytes move the counter.
    ({"write_cycle_ms": 60000}, "i2ctransfer -y 1 w4@0x50 0x00 0x40 0xde 0xad r2 && i2ctransfer -y 1 w2@0x50 0 0x40 r2",
     words(0x42, 2) + "\n" + words(0x40, 2)),
    # Page writes roll over inside their page: the counter ends within it, later bytes win.
    ({}, "i2ctransfer -y 1 w5@0x50 0x00 0x5e 0x11 0x22 0x33 && i2cget -y 1 0x50 && i2ctransfer -y 1 w2@0x50 0 0x40 r1",
     words(0x41, 1) + "\n0x33"),
    ({}, "i2ctransfer -y 1 w42@0x50 0x0f 0xe0 0x00+ && i2ctransfer -y 1 w2@0x50 0x0f 0xe0 r32",
     " ".join("0x%02x" % b for b in list(range(32, 40)) + list(range(8, 32)))),
    # SMBus calls; a one-byte command is latched as the high address byte.
    ({}, "i2cget -y 1 0x50 0x02", words(0x200, 1)),
    ({}, "i2cget -y 1 0x50 0x02 w", "0x%02x%02x" % (pattern(0x201), pattern(0x200))),
    ({}, "i2cget -y 1 0x50 0x03 i 4", words(0x300, 4)),
    ({}, "i2ctransfer -y 1 w2@0x50 0 0 && i2cdump -y 1 0x50 c | tail -n +2 | cut -c5-51 | tr '\\n' ' '",
     words(0, 256).replace("0x", "")),
    # Block reads take their count from the chip: 4 at 0x100, then 39 (too many) at 0x105, then 0.
    ({}, "i2cget -y 1 0x50 0x01 s 2>&1; i2cget -y 1 0x50 0x01 s 2>&1", words(0x101, 4) + "\nError: Read failed"),
    ({}, "i2cset -y 1 0x50 0x02 0x00 0x00 i && i2ctransfer -y 1 w2@0x50 0 0 && i2cget -y 1 0x50 0x02 s 2>&1",
     "Error: Read failed"),
    ({}, "i2cset -y 1 0x50 0x00 0x10 0x41 0x42 i && i2ctransfer -y 1 w2@0x50 0x00 0x10 r2", "0x41 0x42"),
    ({}, "i2cset -y 1 0x50 0x12 0x3456 w && i2ctransfer -y 1 w2@0x50 0x12 0x56 r1", "0x34"),
    # PEC is appended to writes (here stored as data) and checked on reads.
    ({}, "i2cset -y 1 0x50 0x00 0x10 bp && i2ctransfer -y 1 w2@0x50 0x00 0x10 r1", "0x38"),
    ({}, "i2cget -y 1 0x50 0x00 bp 2>&1", "Error: Read failed"),
    # Faults; the Nth transfer to the device (however many messages it has) is refused once.
    ({"faults": {"slave_busy": True}}, "i2cget -y 1 0x50 2>&1; i2cget -f -y 1 0x50",
     "Error: Could not set address to 0x50: Device or resource busy\n" + words(0, 1)),
    ({"faults": {"read_fail": True}}, "i2ctransfer -y 1 w3@0x50 0 0x20 0x42; i2ctransfer -y 1 w2@0x50 0 0x20 r2 "
     "2>/dev/null; cat transfers.log", "1.0 i2c-1 W 0x50 len=3 ack 00 20 42\n2.0 i2c-1 W 0x50 len=2 ack 00 20\n"
     "2.1 i2c-1 R 0x50 len=2 nack"),
    ({"faults": {"power_cut_after_page": 2}}, "i2ctransfer -y 1 w3@0x50 0 0 0x10 && i2ctransfer -y 1 w2@0x50 0 0x40 && "
     "i2ctransfer -y 1 w3@0x50 0 0x20 0x11 && i2ctransfer -y 1 w3@0x50 0 0x40 0x12 && i2ctransfer -y 1 w2@0x50 0 0 r65",
     " ".join("0x%02x" % {0: 0x10, 0x20: 0x11}.get(a, pattern(a)) for a in range(65))),
    ({"faults": {"nack_transfer": 3}}, "i2ctransfer -y 1 r1@0x51 2>/dev/null; i2ctransfer -y 1 w2@0x50 0 0 r1 && "
     "i2cget -y 1 0x50 && i2cget -y 1 0x50 2>&1; i2cget -y 1 0x50", words(0, 2, "\n") + "\nError: Read failed\n0x11"),
    # The log has a line per message, up to the first one not acknowledged, with at most 16 bytes.
    ({}, "i2ctransfer -y 1 w2@0x50 0x0f 0xf0 r20 >/dev/null && i2ctransfer -y 1 w2@0x50 0x0f 0xf0 r1@0x57 r1 "
     "2>/dev/null; cat transfers.log", "1.0 i2c-1 W 0x50 len=2 ack 0f f0\n1.1 i2c-1 R 0x50 len=20 ack "
     + words(0xFF0, 16).replace("0x", "") + "\n2.0 i2c-1 W 0x50 len=2 ack 0f f0\n2.1 i2c-1 R 0x57 len=1 nack"),
    # A missing image is created blank; without one the content lives in the session.
    ({"image": "blank.bin"}, "i2ctransfer -y 1 w2@0x50 0x0f 0xfe r4 && wc -c < blank.bin && "
     "tr -d '\\377' < blank.bin | wc -c", "0xff 0xff 0xff 0xff\n4096\n0"),
    ({"image": None}, "i2ctransfer -y 1 w3@0x50 0 0 0x77 && i2ctransfer -y 1 w2@0x50 0 0 r2", "0x77 0xff"),
    # A descriptor opened by the shell still is the bus after exec.
    ({}, "exec 3<>/dev/i2c-1; python3 -c 'import fcntl, os; fcntl.ioctl(3, 0x0703, 0x50); "
     "os.write(3, bytes([3, 0])); print(os.read(3, 4).hex())'", words(0x300, 4, "").replace("0x", "")),
    # Programs that use no bus are untouched.
    ({}, "printf 'line\\n' > out.txt && cat out.txt && ls /dev/null && echo $((6 * 7))", "line\n/dev/null\n42")])
def test_tools_read_and_write_the_chip(unit, chip, script, output):
    result = unit(script, chip)
    assert (result.stdout.strip(), result.stderr) == (output, "")


def test_write_cycle_refuses_everything_until_it_ends_and_the_page_stays_in_the_image(unit):
    result = unit("i2ctransfer -y 1 w3@0x50 0 0 0x55 && i2ctransfer -y 1 w3@0x50 0x02 0 0x66; echo status=$?; "
                  "i2cdetect -y 1", {"write_cycle_ms": 10000})
    assert result.stdout.startswith("status=1\n") and detected(result.stdout) == []
    assert "Error: Sending messages failed: No such device or address" in result.stderr
    assert (unit.dir / "chip.bin").read_bytes()[0:0x201:0x200] == bytes([0x55, pattern(0x200)])
    result = unit("i2ctransfer -y 1 w34@0x50 0x01 0x10 0x10+ && sleep 0.5 && i2ctransfer -y 1 w2@0x50 0x01 0 r32",
                  {"write_cycle_ms": 5})
    page = bytes(range(0x20, 0x30)) + bytes(range(0x10, 0x20))
    assert result.stdout.split() == ["0x%02x" % b for b in page], result.stderr
    assert (unit.dir / "chip.bin").read_bytes()[0xFF:0x121] == bytes([pattern(0xFF)]) + page + bytes([pattern(0x120)])


def test_tracing_shows_opens_and_transfers(unit):
    stderr = unit("i2cget -y 1 0x50", env={"UNITSIM_DEBUG": "1"}).stderr
    assert re.search(r"unitsim-i2c\[\d+\]: open /dev/i2c-1 -> \d+", stderr), stderr
    assert re.search(r"unitsim-i2c\[\d+\]: 1\.0 i2c-1 R 0x50 len=1 ack ", stderr), stderr


def source(path):     # a unit whose /root/zel_sysapp gets a copy of path
    return {"zel_sysapp": [{"path": "a", "source": path}]}


@pytest.mark.parametrize("args, unit, status, error", [
    ("--help", {}, 0, ""), ("--unit", {}, 2, "--unit needs a value"),
    ("--unit UNIT", {}, 2, "no command given"), ("--frob --unit UNIT -- touch ran", {}, 2, "unknown option '--frob'"),
    ("--unit UNIT -- touch ran", {"i2c": {"buses": {"1": [{"model": "24c64", "address": 80}]}}}, 2,
     '/unit.json:7: i2c.buses."1"[0].model: unsupported model'),
    ("--unit UNIT -- touch ran", {"\x1b[2J\u009b\x7f": 1}, 2, 'unit.json:1: unknown key "\\x1b[2J\\xc2\\x9b\\x7f" (known'),
    ("--unit UNIT -- touch ran", source("/dev/zero"), 1, "unit.json:16: zel_sysapp[0].source: /dev/zero is not a regular"),
    ("--unit UNIT -- touch ran", source("fifo"), 1, "/fifo is not a regular file"),
    ("--unit UNIT -- touch ran", source("big"), 1, "/big is larger than 16 MiB"),
    ("--unit UNIT -- ./missing", {}, 1, "cannot run ./missing"), ("--unit UNIT -- sh -c 'touch ran; exit 7'", {}, 7, "")])
def test_runner_checks_arguments_and_the_whole_description_before_it_starts(tmp_path, args, unit, status, error):
    """Usage errors and faulty descriptions are one line and status 2, what the description names that cannot
    be read status 1, and nothing runs; the command's own status passes through. Quoted text is escaped."""
    section = {"buses": {"1": [{"model": "24c32", "address": 80}]}}
    (tmp_path / "unit.json").write_text(json.dumps(dict({"eth0": None, "i2c": section}, **unit), indent=1))
    os.mkfifo(str(tmp_path / "fifo"))
    with open(str(tmp_path / "big"), "wb") as big:
        big.truncate((16 << 20) + 1)
    result = subprocess.run([svc.UNITSIM_RUN] + shlex.split(args.replace("UNIT", str(tmp_path / "unit.json"))),
                            cwd=str(tmp_path), capture_output=True, text=True, timeout=30)
    assert (result.returncode, (tmp_path / "ran").exists()) == (status, status == 7), result.stderr
    assert result.stdout.startswith("Usage: unitsim-run") == (status == 0)
    assert result.stderr.startswith("unitsim-run: Error: ") if error else result.stderr == ""
    assert result.stderr.count("\n") == bool(error) and error in result.stderr
    assert re.fullmatch(r"[\x20-\x7e\n]*", result.stderr)
    assert ("see unitsim-run --help" in result.stderr) == (status == 2 and "unit.json" not in error)
