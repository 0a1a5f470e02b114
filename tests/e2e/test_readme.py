"""The README's command blocks as a newcomer types them. Every command line
of its sh blocks is listed here with what runs it, so a block that changes
must be looked at again; the ones on the simulated example unit run here,
as written, in a copy of examples/."""
import os
import re
import select
import shutil
import signal
import subprocess
import time

import service as svc

README = os.path.join(svc.SOURCE, "README.md")
HERE = "run by this test"

# Command lines (comments removed) and what runs them, besides this test.
ELSEWHERE = {
    "scripts/demo": "scripts/test, after the tests",
    "scripts/test": "CI (.ci/run)",
    "cd build && ctest -L unit": "scripts/test (ctest)",
    "cd build && ctest -L e2e": "scripts/test (ctest)",
    "cd build && ctest -R PromTest --output-on-failure": "scripts/test (ctest)",
    "scripts/fuzz": "scripts/test",
    "scripts/fuzz 3600 set_prom": "scripts/fuzz's arguments: test_scripts.py",
    "FUZZ_SECONDS=120 scripts/test": "scripts/test reads FUZZ_SECONDS",
    "scripts/bootstrap": "scripts/test",
    'cmake -S . -B build && cmake --build build -j"$(nproc)"': "scripts/build, as scripts/test runs it",
    "cmake --install build --prefix /opt/eeprom": "the install_stage test (another prefix)",
    "scripts/bootstrap --arch armhf": "scripts/test --arch armhf",
    "scripts/build --arch armhf build-armhf": "scripts/test --arch armhf",
    "cmake --install build-armhf --prefix P": "scripts/test --arch armhf (the stage)",
    "scripts/test --arch armhf": "CI (.ci/run)",
    "cmake --install build --prefix H": "scripts/test --arch armhf (build-armhf/host)",
    "cmake --install build-armhf --prefix H --component simlib": "scripts/test --arch armhf (simlib)",
    "QEMU_LD_PREFIX=$(scripts/sysroot armhf) H/bin/unitsim-run --unit examples/unit.json -- qemu-arm-static "
    "P/bin/eeprom-manager": "the black-box tests under scripts/test --arch armhf",
    "apt install ./dist/eeprom-manager_2.8.38_armhf.deb ./dist/eeprom-manager-tools_2.8.38_armhf.deb":
        "tests/install/run (the same apt install of this machine's packages)",
    "systemctl status eeprom-manager": "a unit with systemd (not on this machine)",
    "journalctl -u eeprom-manager -f": "a unit with systemd (not on this machine)",
    "systemctl disable --now eeprom-manager": "a unit with systemd (not on this machine)",
    "unitsim-run --unit examples/unit.json -- COMMAND [ARGS...]": "a synopsis",
    "bench/run": "on demand (bench/)",
    "scripts/package --arch armhf": "scripts/test --arch armhf",
    "scripts/unit-vm run -- systemctl is-active eeprom-manager": "scripts/unit-checks (scripts/test --system)",
    "scripts/test --system": "CI (.ci/run)",
    "autopkgtest dist/eeprom-manager_*_armhf.deb dist/eeprom-manager-tools_*_armhf.deb . -- ssh -l root -H UNIT "
    "--reboot --capability isolation-machine":
        "a real unit (the same checks run by scripts/test --system)",
    "sudo debian/tests/boot": "a real unit (scripts/unit-checks runs each check the same way)",
    "scripts/unit-vm run -- promtool doctor": "the emulated unit, on demand (not yet in CI)",
    "scripts/unit-vm run --script checks.sh": "the emulated unit, on demand (not yet in CI)",
    "scripts/unit-vm shell": "the emulated unit, interactive",
    "scripts/unit-vm --chip my-chip.bin --mac 02:00:00:00:00:07 shell": "the emulated unit, interactive",
}


def command_blocks():
    """The command lines of each sh block, without comments and blank lines."""
    with open(README) as f:
        blocks = re.findall(r"```sh\n(.*?)```", f.read(), re.S)
    return [[line for line in (re.sub(r"\s+#.*$|^#.*$", "", raw).strip() for raw in block.splitlines()) if line]
            for block in blocks]


def on_example_unit(block):
    return block[0].startswith(("export PATH=", "unitsim-run --unit examples/unit.json -- bash"))


def test_every_command_of_the_readme_is_run_somewhere():
    # promtool's lines outside the example unit are its synopsis, whose every
    # form test_promtool_*.py and test_doctor.py run.
    unknown = [line for block in command_blocks() if not on_example_unit(block) for line in block
               if line not in ELSEWHERE and not line.startswith("promtool ")]
    assert unknown == [], "README commands that nothing runs: %r" % unknown
    assert sum(on_example_unit(block) for block in command_blocks()) == 2


def example_copy(tmp_path):
    """A copy of examples/ and a bin/ that runs the service (under the
    emulator for a cross build) ahead of the installed tools."""
    shutil.copytree(os.path.join(svc.SOURCE, "examples"), tmp_path / "examples")
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    (bin_dir / "eeprom-manager").write_text('#!/bin/sh\nexec %s "$@"\n' % " ".join(svc.service_command()))
    (bin_dir / "eeprom-manager").chmod(0o755)
    return dict(os.environ, PATH="%s:%s:%s" % (bin_dir, svc.HOST_BIN, os.environ["PATH"]))


def test_running_programs_on_the_example_unit(tmp_path):
    env = example_copy(tmp_path)
    block = next(block for block in command_blocks() if block[0].startswith("export PATH="))
    for line in block[1:]:
        if line in ELSEWHERE:
            continue
        # The service runs until it is stopped: SIGINT after a while stops it in order.
        limit = ["timeout", "--preserve-status", "-s", "INT", "3"] if line.endswith("-- eeprom-manager") else []
        result = subprocess.run(limit + ["bash", "-c", line], cwd=str(tmp_path), env=env, stdin=subprocess.DEVNULL,
                                capture_output=True, timeout=60)
        assert result.returncode == 0, (line, result)
        if limit:
            assert result.stdout.startswith(svc.BANNER), result


def test_the_interactive_way_renames_the_example_unit_and_its_chip_image_keeps_it(tmp_path):
    env = example_copy(tmp_path)
    block = next(block for block in command_blocks() if block[0] == "unitsim-run --unit examples/unit.json -- bash")
    assert "promtool watch" in block
    image = tmp_path / "examples" / "unit-chip.bin"
    before = image.read_bytes()
    # The lines after the first are typed into the unit's shell.
    shell = subprocess.Popen(["bash", "-c", block[0]], cwd=str(tmp_path), env=env, stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True)
    try:
        shell.stdin.write(("\n".join(block[1:]) + "\n").encode())
        shell.stdin.close()
        # Watched: a time-stamped PromInfo line with the new name (set-name
        # prints the name too, before watch runs).
        deadline, seen = time.monotonic() + 30, b""
        watched = re.compile(rb"^\S+ \S+ PromInfo .*\"Unit Name\": \"Bench 7\"", re.M)
        while not watched.search(seen) and time.monotonic() < deadline:
            if select.select([shell.stdout], [], [], 1)[0]:
                seen += os.read(shell.stdout.fileno(), 4096)
        assert watched.search(seen), seen
        assert image.read_bytes() != before        # the rename reached the host's file
        os.killpg(shell.pid, signal.SIGINT)        # Ctrl-C ends watch; the shell, the rest
        assert shell.wait(10) == 130
    finally:
        try:
            os.killpg(shell.pid, signal.SIGKILL)     # the service the shell started
        except ProcessLookupError:
            pass
        shell.wait()
    show = subprocess.run(["promtool", "image", "show", str(image), "--mac", svc.DEFAULT_MAC], env=env,
                          capture_output=True, text=True, timeout=30)
    assert "Bench 7" in show.stdout, show
