"""The README's command blocks as a newcomer types them. Every command line
of its sh blocks is run here or listed with the file that runs it, checked,
so a block that changes must be looked at again; the ones on the simulated
example unit run here, as written, in a copy of examples/."""
import glob
import itertools
import os
import re
import select
import shutil
import signal
import subprocess
import time

import pytest

import service as svc

README = os.path.join(svc.SOURCE, "README.md")

# Command lines (comments removed) run elsewhere: the file that runs them, or
# takes their arguments, and texts of that file that show it does (none: the
# line itself).
ELSEWHERE = {
    "scripts/demo": ("scripts/test",),
    "scripts/test": (".ci/run",),
    "cd build && ctest -L unit": ("scripts/test", "ctest --output-on-failure", "-L unit"),
    "cd build && ctest -L e2e": ("tests/CMakeLists.txt", "LABELS e2e"),
    "cd build && ctest -R PromTest --output-on-failure": ("tests/unit/prom.cmake", "eeprom_unit_test(PromTest"),
    "scripts/fuzz": ("scripts/test",),
    "scripts/fuzz 3600 set_prom": ("scripts/fuzz", "[SECONDS_PER_TARGET] [TARGET...]", "set_prom"),
    "FUZZ_SECONDS=120 scripts/test": ("scripts/test", "FUZZ_SECONDS"),
    "scripts/bootstrap": ("scripts/test",),
    'cmake -S . -B build && cmake --build build -j"$(nproc)"':
        ("scripts/build", 'cmake -S . -B "$dir"', 'cmake --build "$dir" -j "$(nproc)"'),
    # The install_stage test: another build tree and prefix, the same command.
    "cmake --install build --prefix /opt/eeprom": ("tests/CMakeLists.txt", "--install ${CMAKE_BINARY_DIR} --prefix"),
    "scripts/bootstrap --arch armhf": ("scripts/test",),
    "scripts/build --arch armhf build-armhf": ("scripts/test",),
    "cmake --install build-armhf --prefix P": ("tests/CMakeLists.txt", "--install ${CMAKE_BINARY_DIR} --prefix"),
    "scripts/test --arch armhf": (".ci/run",),
    "cmake --install build --prefix H": ("scripts/test", "cmake --install build --prefix build-armhf/host"),
    "cmake --install build-armhf --prefix H --component simlib": ("tests/CMakeLists.txt", "--component simlib"),
    # The black-box tests of the armhf build.
    "QEMU_LD_PREFIX=$(scripts/sysroot armhf) H/bin/unitsim-run --unit examples/unit.json -- qemu-arm-static "
    "P/bin/eeprom-manager": ("tests/CMakeLists.txt", "EEPROM_EMULATOR=qemu-arm-static", "QEMU_LD_PREFIX="),
    "apt install ./dist/eeprom-manager_2.8.38_armhf.deb ./dist/eeprom-manager-tools_2.8.38_armhf.deb":
        ("tests/install/run", "apt-get install -y -q /tmp/*.deb"),
    # On a unit with systemd: the system checks, and the unit file they check.
    "systemctl status eeprom-manager": ("debian/tests/boot",),
    "journalctl -u eeprom-manager -f": ("debian/eeprom-manager.service", "SyslogIdentifier=eeprom-manager"),
    "systemctl disable --now eeprom-manager": ("debian/eeprom-manager.service", "WantedBy=multi-user.target"),
    "unitsim-run --unit examples/unit.json -- COMMAND [ARGS...]": ("sim/UnitsimRun.cpp", "COMMAND [ARGS...]"),
    "bench/run": ("bench/run", "--quick"),
    "scripts/package --arch armhf": ("scripts/test",),
    "scripts/unit-vm run -- systemctl is-active eeprom-manager": ("scripts/unit-checks", "run -- systemctl is-active"),
    "scripts/test --system": (".ci/run",),
    # scripts/unit-checks runs debian/tests through autopkgtest's ssh testbed.
    "autopkgtest dist/eeprom-manager_*_armhf.deb dist/eeprom-manager-tools_*_armhf.deb . -- ssh -l root -H UNIT "
    "--reboot --capability isolation-machine": ("scripts/unit-checks", "autopkgtest -B", "-- ssh -s "),
    "sudo debian/tests/boot": ("debian/tests/control", "Tests: boot"),
    # The power-cut checks run their script on the emulated unit.
    "scripts/unit-vm run -- promtool doctor": ("board/power-cut.sh", "promtool doctor"),
    "scripts/unit-vm run --script checks.sh": ("scripts/unit-checks", "run --script"),
    "scripts/unit-vm shell": ("scripts/unit-vm", "Usage: scripts/unit-vm [OPTIONS] shell"),
    "scripts/unit-vm --chip my-chip.bin --mac 02:00:00:00:00:07 shell": ("scripts/unit-checks", "--chip", "--mac"),
}
# promtool's lines outside the example unit are its synopsis: each form is
# run by one of these.
PROMTOOL_TESTS = glob.glob(os.path.join(svc.SOURCE, "tests/e2e/test_promtool_*.py")) + [
    os.path.join(svc.SOURCE, "tests/e2e/test_doctor.py")]


def command_blocks():
    """The command lines of each sh block, without comments and blank lines."""
    with open(README) as f:
        blocks = re.findall(r"```sh\n(.*?)```", f.read(), re.S)
    return [[line for line in (re.sub(r"\s+#.*$|^#.*$", "", raw).strip() for raw in block.splitlines()) if line]
            for block in blocks]


def on_example_unit(block):
    return block[0].startswith(("export PATH=", "unitsim-run --unit examples/unit.json -- bash"))


def readme_lines():     # the command lines not on the example unit
    return [line for block in command_blocks() if not on_example_unit(block) for line in block]


def read(path):
    with open(os.path.join(svc.SOURCE, path)) as f:
        return f.read()


def test_every_command_of_the_readme_is_run_by_a_test_or_listed():
    unknown = [line for line in readme_lines() if line not in ELSEWHERE and not line.startswith("promtool ")]
    assert unknown == [], "README commands that nothing runs: %r" % unknown
    assert sum(on_example_unit(block) for block in command_blocks()) == 2
    shown = [line for block in command_blocks() for line in block]
    assert [line for line in ELSEWHERE if line not in shown] == [], "listed, but no longer in the README"


def test_each_listed_command_is_where_the_list_says():
    wrong = [(line, where[0]) for line, where in ELSEWHERE.items()
             if not os.path.exists(os.path.join(svc.SOURCE, where[0]))
             or not all(text in read(where[0]) for text in where[1:] or [line])]
    assert wrong == [], "not found in the file said to run them: %r" % wrong


def test_each_promtool_form_of_the_readme_is_run_by_a_promtool_test():
    """A test file holds the form's subcommand and each of its options."""
    sources = [read(path) for path in PROMTOOL_TESTS]
    missing = []
    for line in (line for line in readme_lines() if line.startswith("promtool ")):
        words = list(itertools.takewhile(re.compile(r"[a-z][a-z-]*$").match, line.split()[1:]))
        options = re.findall(r"(?:^|\s)\[?(--?[a-z][\w-]*)", line)
        if not any(re.search(r"\W+".join(words), source) and all(o in source for o in options) for source in sources):
            missing.append(line)
    assert missing == [], "promtool forms that no test runs: %r" % missing


def example_copy(tmp_path):
    """A copy of examples/ and a bin/ that runs the service (under the
    emulator for a cross build) ahead of the installed tools."""
    shutil.copytree(os.path.join(svc.SOURCE, "examples"), tmp_path / "examples")
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    (bin_dir / "eeprom-manager").write_text('#!/bin/sh\nexec %s "$@"\n' % " ".join(svc.service_command()))
    (bin_dir / "eeprom-manager").chmod(0o755)
    return dict(os.environ, PATH="%s:%s:%s" % (bin_dir, svc.HOST_BIN, os.environ["PATH"]))


def example_lines():     # the lines of the block run on the example unit, one by one
    blocks = [block for block in command_blocks() if block[0].startswith("export PATH=")]
    return [line for block in blocks for line in block[1:] if line not in ELSEWHERE]


@pytest.mark.parametrize("line", example_lines())
def test_running_programs_on_the_example_unit(tmp_path, line):
    env = example_copy(tmp_path)
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
