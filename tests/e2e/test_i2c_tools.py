"""The simulated I2C bus seen by Debian's i2c-tools, unmodified programs
that know nothing of the simulation, run on a simulated unit. Where the
tools and the simulator disagree, the simulator is wrong."""
import json
import os
import re
import shutil
import subprocess

import pytest

PREFIX = os.environ.get("EEPROM_PREFIX", os.path.join(os.path.dirname(__file__), "../../build/stage"))
UNITSIM_RUN = os.path.join(PREFIX, "bin", "unitsim-run")
CHIP_BYTES = 4096

pytestmark = pytest.mark.skipif(shutil.which("i2ctransfer") is None, reason="i2c-tools not installed")


def pattern(addr):
    """Image content the tests start from: no two neighbours alike."""
    return (addr * 7 + (addr >> 8) + 3) & 0xFF


def image():
    return bytes(pattern(a) for a in range(CHIP_BYTES))


@pytest.fixture
def unit(tmp_path):
    """Writes a unit (bus 1: a 24c32 at 0x50 with chip.bin; bus 2 empty)
    with the chip entry's keys updated by chip, and returns a runner of
    shell scripts on it."""

    def make(chip=None, i2c=None):
        with open(tmp_path / "chip.bin", "wb") as f:
            f.write(image())
        entry = {"model": "24c32", "address": "0x50", "image": "chip.bin"}
        entry.update(chip or {})
        section = i2c or {"log": "transfers.log", "buses": {"1": [entry], "2": []}}
        with open(tmp_path / "unit.json", "w") as f:
            json.dump({"eth0": None, "i2c": section}, f)

        def run(script, env=None):
            return subprocess.run([UNITSIM_RUN, "--unit", str(tmp_path / "unit.json"), "--", "sh", "-c", script],
                                  cwd=str(tmp_path), stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60,
                                  env=dict(os.environ, **(env or {})), universal_newlines=True)

        run.dir = tmp_path
        return run

    return make


def hex_bytes(text):
    return [int(word, 16) for word in text.split()]


def detected(output):
    """Addresses i2cdetect shows, as {address: cell}, for every cell that
    is not "--"."""
    cells = {}
    for line in output.splitlines()[1:]:
        row, _, rest = line.partition(":")
        for column in range(16):
            cell = rest[1 + 3 * column:3 + 3 * column]
            if cell.strip() and cell != "--":
                cells[int(row, 16) + column] = cell
    return cells


def test_i2cdetect_finds_the_chip_and_nothing_else(unit):
    run = unit()
    result = run("i2cdetect -y 1 && echo === && i2cdetect -y 2 && echo === && i2cdetect -y 0")
    bus1, bus2, bus0 = result.stdout.split("===\n")
    assert detected(bus1) == {0x50: "50"}
    assert detected(bus2) == {}
    # A bus missing from the description is like a missing device node.
    assert bus0 == ""
    assert "Could not open file `/dev/i2c-0' or `/dev/i2c/0': No such file or directory" in result.stderr
    assert result.returncode != 0


def test_i2cdetect_shows_a_claimed_address_as_uu_and_a_silent_chip_as_absent(unit):
    assert detected(unit({"faults": {"slave_busy": True}})("i2cdetect -y 1").stdout) == {0x50: "UU"}
    assert detected(unit({"faults": {"no_ack": True}})("i2cdetect -y 1").stdout) == {}


@pytest.mark.parametrize("addr", [0x0000, 0x0123, 0x07E0, 0x0FF8])
def test_random_read_with_i2ctransfer_returns_the_image(unit, addr):
    result = unit()("i2ctransfer -y 1 w2@0x50 0x%02x 0x%02x r16" % (addr >> 8, addr & 0xFF))
    assert result.returncode == 0, result.stderr
    assert hex_bytes(result.stdout) == [pattern((addr + i) % CHIP_BYTES) for i in range(16)]


def test_page_write_is_read_back_after_the_write_cycle_and_kept(unit):
    run = unit({"write_cycle_ms": 5})
    result = run("i2ctransfer -y 1 w34@0x50 0x01 0x00 0x10+ && sleep 0.05 && "
                 "i2ctransfer -y 1 w2@0x50 0x00 0xff r34")
    assert result.returncode == 0, result.stderr
    assert hex_bytes(result.stdout) == [pattern(0xFF)] + list(range(0x10, 0x30)) + [pattern(0x120)]
    with open(run.dir / "chip.bin", "rb") as f:
        content = f.read()
    assert content[0x100:0x120] == bytes(range(0x10, 0x30))
    assert content[:0x100] == image()[:0x100] and content[0x120:] == image()[0x120:]


def test_chip_answers_nothing_during_the_write_cycle(unit):
    run = unit({"write_cycle_ms": 10000})
    result = run("i2ctransfer -y 1 w3@0x50 0x00 0x00 0x55 && "
                 "i2ctransfer -y 1 w2@0x50 0x00 0x00 r1; echo status=$?; i2cdetect -y 1")
    lines = result.stdout.splitlines()
    assert lines[0] == "status=1"
    assert "Error: Sending messages failed: No such device or address" in result.stderr
    assert detected("\n".join(lines[1:])) == {}


def test_current_address_read_continues_across_programs(unit):
    run = unit()
    result = run("i2ctransfer -y 1 w2@0x50 0x02 0x00 && i2cget -y 1 0x50 && i2cget -y 1 0x50")
    assert result.returncode == 0, result.stderr
    assert hex_bytes(result.stdout) == [pattern(0x200), pattern(0x201)]
    # One transfer numbering for the whole session.
    with open(run.dir / "transfers.log") as f:
        log = f.read().splitlines()
    assert log == ["1.0 i2c-1 W 0x50 len=2 ack 02 00",
                   "2.0 i2c-1 R 0x50 len=1 ack %02x" % pattern(0x200),
                   "3.0 i2c-1 R 0x50 len=1 ack %02x" % pattern(0x201)]


def test_i2cdump_in_consecutive_mode_shows_the_image(unit):
    # Mode c writes one byte (taken as the high address byte) and then reads
    # byte after byte: from address 0 once the counter's low byte is 0.
    result = unit()("i2ctransfer -y 1 w2@0x50 0x00 0x00 && i2cdump -y 1 0x50 c")
    assert result.returncode == 0, result.stderr
    rows = [line for line in result.stdout.splitlines() if re.match(r"^[0-9a-f]0: ", line)]
    assert len(rows) == 16
    dumped = [int(cell, 16) for row in rows for cell in row[4:51].split()]
    assert dumped == list(image()[:256])


def test_i2cset_block_write_programs_bytes(unit):
    run = unit({"write_cycle_ms": 0})
    # An I2C block write of 00 | 10 41 42: word address 0x0010, data 41 42.
    result = run("i2cset -y 1 0x50 0x00 0x10 0x41 0x42 i && i2ctransfer -y 1 w2@0x50 0x00 0x10 r2")
    assert result.returncode == 0, result.stderr
    assert hex_bytes(result.stdout) == [0x41, 0x42]


def test_descriptor_inherited_through_exec_is_still_the_bus(unit):
    script = ("exec 3<>/dev/i2c-1; python3 -c '"
              "import fcntl, os; fcntl.ioctl(3, 0x0703, 0x50); os.write(3, bytes([0x03, 0x00])); "
              "print(os.read(3, 4).hex())'")
    result = unit()(script)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == bytes(pattern(0x300 + i) for i in range(4)).hex()


def test_tracing_and_a_malformed_description(unit):
    result = unit()("i2cget -y 1 0x50", env={"UNITSIM_DEBUG": "1"})
    assert result.returncode == 0
    assert re.search(r"unitsim-i2c\[\d+\]: open /dev/i2c-1 -> \d+", result.stderr), result.stderr
    assert re.search(r"unitsim-i2c\[\d+\]: 1\.0 i2c-1 R 0x50 len=1 ack ", result.stderr), result.stderr

    result = unit(i2c={"buses": {"1": [{"model": "24c32", "address": 0x90}]}})("i2cdetect -y 1")
    assert result.returncode != 0
    assert "unitsim-i2c: Error: " in result.stderr and "address: 144 is outside 0..127" in result.stderr
    assert "Input/output error" in result.stderr


def test_programs_without_a_bus_are_untouched(unit):
    run = unit()
    result = run("printf 'line\\n' > out.txt && cat out.txt && ls /dev/null && echo $((6 * 7))")
    assert result.stdout == "line\n/dev/null\n42\n"
    assert result.stderr == ""
