"""The factory line: promtool image batch issues identities from a CSV file or
from ranges, each once, into the ledger (an SQLite file, or a database of its
own on the tests' PostgreSQL cluster), with an image per unit and a
manifest; chip write's result marks a unit written; the ledger shows and
exports what it holds."""
import contextlib
import csv
import glob
import hashlib
import io
import json
import os
import pty
import re
import sqlite3
import subprocess
import time

import pytest

import service as svc

MAC = svc.DEFAULT_MAC
RANGES = ["--serials", "100000-199999", "--macs", "02:00:00:00:00:00-02:00:00:0f:ff:ff"]


def promtool(*args, cwd=None, **how):
    how.setdefault("capture_output", True)
    return subprocess.run([svc.PROMTOOL] + [str(a) for a in args], cwd=cwd and str(cwd), encoding="utf-8",
                          timeout=120, **how)


def psql(sql):
    subprocess.run(["psql", "-q", "-v", "ON_ERROR_STOP=1", os.environ["EEPROM_TEST_POSTGRES"], "-c", sql],
                   check=True, capture_output=True)


def make_ledger(request, kind, tmp_path):
    """A new ledger: the path of an SQLite file, or a new database's
    connection string."""
    location = str(tmp_path / "ledger.db")
    if kind == "postgres":
        name = ("e2e_%d_%s" % (os.getpid(), re.sub(r"\W", "_", request.node.name)))[:60].lower()
        psql("CREATE DATABASE " + name)
        request.addfinalizer(lambda: psql("DROP DATABASE " + name))
        location = os.environ["EEPROM_TEST_POSTGRES"] + " dbname=" + name
    assert promtool("ledger", "init", "--ledger", location).returncode == 0
    return location


@pytest.fixture(params=["sqlite", "postgres"])
def ledger(request, tmp_path):
    return make_ledger(request, request.param, tmp_path)


@pytest.fixture
def sqlite_ledger(request, tmp_path):
    return make_ledger(request, "sqlite", tmp_path)


def write_csv(path, lines):
    path.write_bytes(b"\n".join(line if isinstance(line, bytes) else line.encode() for line in
                                [b"serial,mac,name"] + lines) + b"\n")
    return path


def manifest(directory):
    return [json.loads(line) for line in (directory / "manifest.jsonl").read_text().splitlines()]


def exported(location):
    result = promtool("ledger", "export", "--ledger", location)
    assert result.returncode == 0, result
    return list(csv.DictReader(io.StringIO(result.stdout)))


def test_a_batch_from_ranges_issues_the_lowest_free_identities(tmp_path, sqlite_ledger):
    write_csv(tmp_path / "taken.csv", ["100001,02:00:00:00:00:02,Taken"])
    assert promtool("image", "batch", "--csv", "taken.csv", "--ledger", sqlite_ledger, "-o", "taken",
                    cwd=tmp_path).returncode == 0
    result = promtool("image", "batch", "--serials", "100000-100009", "--macs", "02:00:00:00:00:01-02:00:00:00:00:09",
                      "--count", "3", "--name", "Unit {serial}", "--ledger", sqlite_ledger, "--json", "-o", "new",
                      cwd=tmp_path)
    assert result.returncode == 0, result
    assert json.loads(result.stdout) == {"issued": 3, "directory": "new", "manifest": "new/manifest.jsonl",
                                         "ledger": "SQLite file " + sqlite_ledger}
    units = manifest(tmp_path / "new")
    assert [(u["serial"], u["mac"], u["unit_name"], u["file"]) for u in units] == [
        ("100000", "02:00:00:00:00:01", "Unit 100000", "100000.bin"),
        ("100002", "02:00:00:00:00:03", "Unit 100002", "100002.bin"),
        ("100003", "02:00:00:00:00:04", "Unit 100003", "100003.bin")]
    for unit in units:
        image = tmp_path / "new" / unit["file"]
        assert hashlib.sha256(image.read_bytes()).hexdigest() == unit["sha256"]
        shown = json.loads(promtool("image", "show", image, "--mac", unit["mac"], "--json").stdout)
        assert (shown["serial"], shown["unit_name"], shown["valid"]) == (unit["serial"], unit["unit_name"], True)
    rows = exported(sqlite_ledger)
    assert [(r["serial"], r["mac"], r["unit_name"], r["image_sha256"]) for r in rows if r["serial"] != "100001"] == [
        (u["serial"], u["mac"], u["unit_name"], u["sha256"]) for u in units]
    assert {(r["tool_version"], r["written_at"]) for r in rows} == {(promtool("--version").stdout.split()[1], "")}
    assert sorted(os.listdir(str(tmp_path))) == ["ledger.db", "new", "taken", "taken.csv"]


# The CSV file: two good lines, then the line under test (line 4); the ledger
# holds 999999 with 02:00:00:00:00:99 already.
@pytest.mark.parametrize("line, says", [
    ("12345,02:00:00:00:00:12,D", "serial number '12345' is not six decimal digits"),
    ("100002,02:00:00:00:00,D", "MAC address '02:00:00:00:00' is not a MAC address like 02:00:00:00:00:01"),
    ("100002,03:00:00:00:00:12,D", "MAC address 03:00:00:00:00:12 is the zero, broadcast or a multicast address"),
    ("100000,02:00:00:00:00:12,D", "serial number 100000 is on line 2 too"),
    ("100002,02:00:00:00:00:11,D", "MAC address 02:00:00:00:00:11 is on line 3 too"),
    ("999999,02:00:00:00:00:12,D", "serial number 999999 was issued already (with 02:00:00:00:00:99 on "),
    ("100002,02:00:00:00:00:99,D", "MAC address 02:00:00:00:00:99 was issued already (to 999999 on "),
    ("100002,02:00:00:00:00:12,0123456789abcdef", "unit name '0123456789abcdef' is 16 bytes long"),
    (b"100002,02:00:00:00:00:12,\xff", "unit name '\\xff' is not valid UTF-8"),
    ('100002,02:00:00:00:00:12,"D', "a quoted field does not end on its line"),
])
def test_a_batch_with_one_bad_line_issues_nothing_and_names_the_line(tmp_path, sqlite_ledger, line, says):
    write_csv(tmp_path / "held.csv", ["999999,02:00:00:00:00:99,Held"])
    assert promtool("image", "batch", "--csv", "held.csv", "--ledger", sqlite_ledger, "-o", "held",
                    cwd=tmp_path).returncode == 0
    before = exported(sqlite_ledger)
    write_csv(tmp_path / "units.csv", ["100000,02:00:00:00:00:10,A", '100001 , 02:00:00:00:00:11 ,"B, ""C"""', line])
    result = promtool("image", "batch", "--csv", "units.csv", "--ledger", sqlite_ledger, "-o", "out", cwd=tmp_path)
    assert result.returncode == 1 and result.stdout == "", result
    assert result.stderr.startswith("Error: units.csv:4: " + says), result.stderr
    assert result.stderr.endswith("\nError: units.csv: 1 bad line; nothing issued\n"), result.stderr
    assert exported(sqlite_ledger) == before
    assert sorted(os.listdir(str(tmp_path))) == ["held", "held.csv", "ledger.db", "units.csv"]
    # Without the bad line, the rest is issued as it stands.
    write_csv(tmp_path / "units.csv", ["100000,02:00:00:00:00:10,A", '100001 , 02:00:00:00:00:11 ,"B, ""C"""'])
    assert promtool("image", "batch", "--csv", "units.csv", "--ledger", sqlite_ledger, "-o", "out",
                    cwd=tmp_path).returncode == 0
    assert [u["unit_name"] for u in manifest(tmp_path / "out")] == ["A", 'B, "C"']


@contextlib.contextmanager
def another_station_issuing(location):
    """Holds the ledger as a station in the middle of a batch does."""
    if not location.startswith("host="):
        held = sqlite3.connect(location, isolation_level=None)
        held.execute("BEGIN IMMEDIATE")
        yield
        held.execute("COMMIT")
        return
    held = subprocess.Popen(["psql", "-q", location], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            encoding="utf-8")
    held.stdin.write("BEGIN; LOCK TABLE promtool_units IN EXCLUSIVE MODE;\n\\echo held\n")
    held.stdin.flush()
    assert held.stdout.readline() == "held\n"
    yield
    held.communicate("COMMIT;\n", timeout=60)


def test_two_stations_issuing_at_once_get_distinct_identities(tmp_path, ledger):
    """Each from the same ranges, and each with the same unit in its CSV
    file, starting while a third one issues."""
    write_csv(tmp_path / "same.csv", ["500000,02:00:00:10:00:00,Same"])
    commands = [RANGES + ["--count", "500", "-o", "station-%d" % n] for n in (1, 2)]
    commands += [["--csv", "same.csv", "-o", "same-%d" % n] for n in (1, 2)]
    with another_station_issuing(ledger):
        stations = [subprocess.Popen([svc.PROMTOOL, "image", "batch", "--ledger", ledger] + command,
                                     cwd=str(tmp_path), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                    for command in commands]
        time.sleep(1)   # they read the ledger now, unless they wait for it
    results = [(station.wait(120), station.communicate()[1]) for station in stations]
    assert [status for status, _ in results[:2]] == [0, 0], results
    assert sorted(status for status, _ in results[2:]) == [0, 1], results
    assert b"was issued already" in max(results[2:])[1]
    units = manifest(tmp_path / "station-1") + manifest(tmp_path / "station-2")
    assert len({u["serial"] for u in units}) == len({u["mac"] for u in units}) == 1000
    rows = exported(ledger)
    assert len(rows) == len({r["serial"] for r in rows}) == len({r["mac"] for r in rows}) == 1001


def test_a_batch_cut_short_leaves_none_of_its_records(tmp_path, ledger):
    """Killed once it writes its images (3,000 of them take far longer than
    a poll): its units are recorded, not yet committed."""
    station = subprocess.Popen([svc.PROMTOOL, "image", "batch", "--ledger", ledger] + RANGES +
                               ["--count", "3000", "-o", "cut"], cwd=str(tmp_path), stdout=subprocess.DEVNULL)
    deadline = time.monotonic() + 60
    while not glob.glob(str(tmp_path / ".cut.*" / "*.bin")) and time.monotonic() < deadline:
        time.sleep(0.01)
    station.kill()
    station.wait()
    assert exported(ledger) == [] and not (tmp_path / "cut").exists()
    again = promtool("image", "batch", "--ledger", ledger, *RANGES, "--count", "1", "-o", "again", cwd=tmp_path)
    assert again.returncode == 0 and manifest(tmp_path / "again")[0]["serial"] == "100000"


def test_progress_is_a_count_on_a_terminal_and_nothing_on_a_pipe(tmp_path, sqlite_ledger):
    batch = ["image", "batch", "--ledger", sqlite_ledger] + RANGES + ["--count", "3"]
    terminal, station = pty.openpty()
    try:
        on_terminal = promtool(*batch, "-o", "terminal", cwd=tmp_path, capture_output=False, stdout=subprocess.PIPE,
                               stderr=station)
        shown = os.read(terminal, 4096)
    finally:
        os.close(terminal)
        os.close(station)
    assert on_terminal.returncode == 0 and b"\rWriting images: 3 of 3" in shown, shown
    piped = promtool(*batch, "-o", "pipe", cwd=tmp_path)
    assert (piped.returncode, piped.stderr) == (0, "")


def test_chip_write_marks_only_the_issued_image_written(tmp_path, ledger):
    """On a unit whose eth0 has MAC: its result, as JSON, marks it written
    (mark-written), or chip write does (--ledger)."""
    svc.provision(tmp_path)
    svc.provision(tmp_path, serial="100000", name="Forged", image="forged.bin")
    assert promtool("image", "batch", "--serials", "100000-100000", "--macs", "%s-%s" % (MAC, MAC), "--count", "1",
                    "--ledger", ledger, "-o", "batch", cwd=tmp_path).returncode == 0
    on_unit = [svc.UNITSIM_RUN, "--unit", svc.write_unit(tmp_path, svc.unit_description()), "--", svc.PROMTOOL]
    chip = tmp_path / "chip.bin"

    def write(*args):
        return subprocess.run(on_unit + ["chip", "write", "--yes", "--json"] + list(args), cwd=str(tmp_path),
                              capture_output=True, encoding="utf-8", stdin=subprocess.DEVNULL, timeout=60)

    def mark(result):
        (tmp_path / "result.json").write_text(result)
        return promtool("ledger", "mark-written", "result.json", "--ledger", ledger, "--json", cwd=tmp_path)

    def written_at():
        return json.loads(promtool("ledger", "show", "--mac", MAC, "--json", "--ledger", ledger).stdout)["written_at"]

    before = chip.read_bytes()
    forged = write("--ledger", ledger, "forged.bin")
    assert (forged.returncode, forged.stdout, chip.read_bytes()) == (1, "", before), forged
    assert "the image of 100000 is not the one issued to it" in forged.stderr
    assert mark(write("forged.bin").stdout).returncode == 1 and written_at() is None

    result = write("batch/100000.bin")
    image = (tmp_path / "batch" / "100000.bin").read_bytes()
    assert result.returncode == 0 and chip.read_bytes() == image, result
    assert json.loads(result.stdout) == {"file": "batch/100000.bin", "serial": "100000", "mac": MAC, "unit_name": "",
                                         "chip_sha256": hashlib.sha256(image).hexdigest(), "outcome": "written"}
    declined = result.stdout.replace('"written"', '"declined"')
    assert mark(declined).returncode == 1 and written_at() is None
    marked = mark(result.stdout)
    assert (marked.returncode, json.loads(marked.stdout)) == (0, {"marked": ["100000"]}), marked
    first = written_at()
    again = write("--ledger", ledger, "batch/100000.bin")
    assert again.returncode == 0 and json.loads(again.stdout)["outcome"] == "unchanged", again
    assert first is not None and written_at() >= first
    shown = promtool("ledger", "show", "--serial", "100000", "--ledger", ledger)
    assert re.search(r"(?m)^Written: +\S+ by \S+$", shown.stdout), shown
