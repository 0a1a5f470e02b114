"""promtool's conventions on the image commands, which need no unit: usage
errors, run-time failures, the checks of what enters through --serial, --mac,
--name and --from, and output that cannot be written."""
import re
import subprocess

import pytest

import service as svc

MAC = svc.DEFAULT_MAC
CREATE = ["image", "create", "--serial", "123456", "--mac", MAC, "--force", "-o", "out.bin"]


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
])
def test_statuses_and_messages(tmp_path, args, status, stderr):
    svc.provision(tmp_path)
    (tmp_path / "noise.bin").write_bytes(bytes(range(256)) * 16)
    result = subprocess.run([svc.PROMTOOL] + args, cwd=str(tmp_path), capture_output=True, timeout=30)
    assert result.returncode == status and re.fullmatch(stderr + r"\n?", result.stderr.decode()), result
    # Whatever the record holds, the terminal gets printable text only.
    assert re.fullmatch(rb"[\x20-\x7e\n]*", result.stdout), result.stdout


def test_a_failed_write_to_standard_output_is_an_error(tmp_path):
    path = svc.provision(tmp_path)
    with open("/dev/full", "w") as full:
        result = subprocess.run([svc.PROMTOOL, "image", "show", path, "--mac", MAC], stdout=full,
                                stderr=subprocess.PIPE, encoding="utf-8", timeout=30)
    assert (result.returncode, result.stderr) == (1, "Error: cannot write standard output: No space left on device\n")
