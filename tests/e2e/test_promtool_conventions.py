"""promtool's conventions on the image commands, which need no unit: usage
errors, run-time failures, the checks of what enters through --serial, --mac,
--name and --from, output that cannot be written, records the service cannot
publish, and text shown alike with or without locale files."""
import hashlib
import json
import re
import subprocess

import pytest

import service as svc

MAC = svc.DEFAULT_MAC
CREATE = ["image", "create", "--serial", "123456", "--mac", MAC, "--force", "-o", "out.bin"]
KEY, IV = "547138724e624c77334b735a65000000", "6852346d5763394a7856743250714c64"    # the record's cipher


def record_image(path, serial=b"123456", name=b"Unit A", mac=MAC):
    """A chip image of a record with any bytes in its fields, which image
    create refuses to make, encrypted with openssl."""
    plain = serial + bytes.fromhex(mac.replace(":", "")) + bytes(4036) + name.ljust(16, b"\0") + bytes(32)
    path.write_bytes(subprocess.run(["openssl", "enc", "-aes-128-cbc", "-nopad", "-K", KEY, "-iv", IV], input=plain,
                                    capture_output=True, check=True).stdout)


@pytest.mark.parametrize("args, status, stderr", [
    (["image", "create", "--serial", "123456", "--mac", MAC], 2, r"Error: .*-o IMAGE \(see promtool image --help\)"),
    (["image", "frob"], 2, r"Error: .*'frob'.* \(see promtool image --help\)"),
    (["frob"], 2, r"Error: .*'frob' \(see promtool --help\)"),
    (CREATE[:3] + ["12345"] + CREATE[4:], 2, r"Error: --serial '12345' .*"),
    (CREATE[:5] + ["02:00:00:00:00"] + CREATE[6:], 2, r"Error: --mac '02:00:00:00:00' .*"),
    (CREATE + ["--name", b"A\xff"], 2, r"Error: --name 'A\\xff' is not valid UTF-8 .*"),
    (["set-name", b"A\xff"], 2, r"Error: unit name 'A\\xff' is not valid UTF-8 .*"),
    (["image", "create", "--from", "noise.bin", "-o", "out.bin"], 1, r"Error: noise.bin: serial number .*--serial"),
    (CREATE[:5] + ["00:00:00:00:00:00"] + CREATE[6:], 0, r"Warning: .* the zero address.*"),
    (CREATE[:5] + ["ff:ff:ff:ff:ff:ff"] + CREATE[6:], 0, r"Warning: .* the broadcast address.*"),
    (CREATE[:5] + ["01:00:5e:00:00:01"] + CREATE[6:], 0, r"Warning: .* a multicast address.*"),
    (["image", "show", "chip.bin", "--mac", "02:00:00:00:00:02"], 1, ""),
    (["image", "show", "chip.bin", "--mac", MAC], 0, ""),
    (["image", "show", "noise.bin", "--mac", MAC], 1, ""),
    (["image", "create", "--help"], 0, ""),
    (["image", "batch", "--csv", "u.csv", "--count", "3", "-o", "x"], 2,
     r"Error: give either --csv FILE or --serials, --macs and --count \(see promtool image batch --help\)"),
    (["image", "batch", "--serials", "100000-100009", "--count", "3", "-o", "x"], 2, r"Error: --macs is missing .*"),
    (["image", "batch", "--serials", "100000-100009", "--macs", "03:00:00:00:00:00-03:00:00:00:00:09", "--count", "1",
      "-o", "x"], 2, r"Error: --macs '.*' holds the zero, broadcast or multicast addresses, .*"),
    (["image", "batch", "--csv", "u.csv", "-o", "x"], 2, r"Error: no ledger given: --ledger LEDGER, or PROMTOOL_LEDGER .*"),
    (["ledger", "show", "--serial", "123456", "--ledger", "absent.db"], 1,
     r"Error: no ledger at absent.db \(.*; promtool ledger init makes one\)"),
    (["ledger", "show", "--ledger", "absent.db"], 2, r"Error: give either --serial or --mac \(see promtool ledger --help\)"),
])
def test_statuses_and_messages(tmp_path, args, status, stderr):
    svc.provision(tmp_path)
    (tmp_path / "noise.bin").write_bytes(bytes(range(256)) * 16)
    result = subprocess.run([svc.PROMTOOL] + args, cwd=str(tmp_path), capture_output=True, timeout=30)
    assert result.returncode == status and re.fullmatch(stderr + r"\n?", result.stderr.decode()), result
    # Whatever the record holds, the terminal gets printable text only.
    assert re.fullmatch(rb"[\x20-\x7e\n]*", result.stdout), result.stdout


def test_version_and_what_image_create_made(tmp_path):
    version, service = (subprocess.run(command + ["--version"], capture_output=True, encoding="utf-8", timeout=30)
                        for command in ([svc.PROMTOOL], svc.service_command()))
    assert version.stdout == service.stdout.replace("eeprom-manager", "promtool") != ""
    created = subprocess.run([svc.PROMTOOL] + CREATE + ["--name", "Unit A", "--json"], cwd=str(tmp_path),
                             capture_output=True, encoding="utf-8", timeout=30)
    assert json.loads(created.stdout) == {"file": "out.bin", "serial": "123456", "mac": MAC, "unit_name": "Unit A",
                                          "sha256": hashlib.sha256((tmp_path / "out.bin").read_bytes()).hexdigest()}


def test_utf8_is_checked_as_the_service_checks_it(tmp_path):
    """Its identity is built with jansson, which takes standard UTF-8 only."""
    for name, status in [(b"\xc2\x80\xdf\xbf", 0), (b"\xe0\xa0\x80\xef\xbf\xbf", 0), (b"\xf0\x90\x80\x80", 0),
                         (b"\xf4\x8f\xbf\xbf", 0),     # the first and last of each length
                         (b"\x80", 2), (b"\xc0\xaf", 2), (b"\xe0\x9f\xbf", 2), (b"\xf0\x8f\xbf\xbf", 2),  # overlong
                         (b"\xed\xa0\x80", 2), (b"\xf4\x90\x80\x80", 2), (b"\xe2\x82", 2), (b"\xf9\x80\x80\x80", 2)]:
        result = subprocess.run([svc.PROMTOOL] + CREATE + ["--name", name], cwd=str(tmp_path), capture_output=True)
        assert result.returncode == status, (name, result)


def test_a_failed_write_to_standard_output_is_an_error(tmp_path):
    path = svc.provision(tmp_path)
    with open("/dev/full", "w") as full:
        result = subprocess.run([svc.PROMTOOL, "image", "show", path, "--mac", MAC], stdout=full,
                                stderr=subprocess.PIPE, encoding="utf-8", timeout=30)
    assert (result.returncode, result.stderr) == (1, "Error: cannot write standard output: No space left on device\n")


@pytest.mark.parametrize("serial, name, status, says", [
    (b"123456", b"A\xff", 1, "its unit name 'A\\xff' is not UTF-8; a rename repairs it (promtool set-name)"),
    (b"\xe912345", b"A", 1, "its serial number '\\xe912345' is not UTF-8; write a new chip image "
                            "(promtool image create, promtool chip write)"),
    (b"12a\x0056", b"A", 0, None),     # published as the service reads it: "12a"
])
def test_image_show_tells_when_the_service_publishes_nothing(tmp_path, serial, name, status, says):
    record_image(tmp_path / "chip.bin", serial, name)
    show = [svc.PROMTOOL, "image", "show", str(tmp_path / "chip.bin"), "--mac"]
    text, as_json, other_unit = (subprocess.run(show + extra, capture_output=True, encoding="utf-8", timeout=30)
                                 for extra in ([MAC], [MAC, "--json"], ["02:00:00:00:00:02"]))
    said = [line for line in text.stdout.splitlines() if line.startswith("Service:")]
    assert (text.returncode, as_json.returncode) == (status, status), text
    assert "Valid for %s: yes" % MAC in text.stdout.splitlines()      # --mac's address: no source named
    assert said == ([] if says is None else ["Service:       publishes nothing for this record: " + says])
    assert json.loads(as_json.stdout)["publishable"] is (says is None)
    # Another unit's record is published as invalid, whatever it holds.
    assert other_unit.returncode == 1 and "Service:" not in other_unit.stdout


# Space, ü and U+200B are printable; U+2028, U+0085, U+0378 (unassigned), BEL
# and a broken byte are not.
NAME = b"Z \xc3\xbc\xe2\x80\x8b\xe2\x80\xa8\xc2\x85\xcd\xb8\x07\xff"
SHOWN = "Z \u00fc\u200b\\xe2\\x80\\xa8\\xc2\\x85\\xcd\\xb8\\x07\\xff".encode()


def test_output_is_the_same_without_locale_files(tmp_path):
    """Unit images often ship no locale files: the escaping needs none."""
    record_image(tmp_path / "chip.bin", name=NAME)
    unit = svc.write_unit(tmp_path, svc.unit_description())
    # The unit's private mounts hide them, in a chroot too.
    on_unit = [svc.UNITSIM_RUN, "--unit", unit, "--"]
    hidden = on_unit + ["sh", "-c", 'mount -t tmpfs none /usr/lib/locale && exec "$@"', "sh"]
    for command in (["image", "show", "chip.bin", "--mac", MAC], ["chip", "show"], ["doctor", "--timeout", "1"]):
        normal, without = (subprocess.run(prefix + [svc.PROMTOOL] + command, cwd=str(tmp_path), capture_output=True,
                                          timeout=60) for prefix in (on_unit, hidden))
        assert (without.returncode, without.stdout) == (normal.returncode, normal.stdout) == (1, normal.stdout)
        assert SHOWN in normal.stdout, normal
