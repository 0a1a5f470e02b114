"""The command blocks of README.md and doc/*.md as a reader types them. Every
command line of their sh blocks is run here or listed, under the page that
shows it, with the file that runs it, checked; so a block that changes must
be looked at again. The ones on the simulated example unit run here, as
written, in a copy of examples/."""
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

# The pages, as paths relative to the source tree.
PAGES = ["README.md"] + sorted(os.path.relpath(path, svc.SOURCE)
                               for path in glob.glob(os.path.join(svc.SOURCE, "doc", "*.md")))

# Per page, its command lines (comments removed) that are run elsewhere: the
# file that runs them, or takes their arguments, and texts of that file that
# show it does (none: the line itself).
ELSEWHERE = {
    "README.md": {
        "scripts/demo": ("scripts/test",),
        "scripts/test": (".ci/run",),
    },
    "doc/building.md": {
        "scripts/bootstrap": ("scripts/test",),
        'cmake -S . -B build && cmake --build build -j"$(nproc)"':
            ("scripts/build", 'cmake -S . -B "$dir"', 'cmake --build "$dir" -j "$(nproc)"'),
        # The install_stage test: another build tree and prefix, the same command.
        "cmake --install build --prefix /opt/eeprom":
            ("tests/CMakeLists.txt", "--install ${CMAKE_BINARY_DIR} --prefix"),
        "scripts/bootstrap --arch armhf": ("scripts/test",),
        "scripts/build --arch armhf build-armhf": ("scripts/test",),
        "cmake --install build-armhf --prefix P": ("tests/CMakeLists.txt", "--install ${CMAKE_BINARY_DIR} --prefix"),
        "scripts/test --arch armhf": (".ci/run",),
        "cmake --install build --prefix H": ("scripts/test", "cmake --install build --prefix build-armhf/host"),
        "cmake --install build-armhf --prefix H --component simlib": ("tests/CMakeLists.txt", "--component simlib"),
        # The black-box tests of the armhf build.
        "QEMU_LD_PREFIX=$(scripts/sysroot armhf) H/bin/unitsim-run --unit examples/unit.json -- qemu-arm-static "
        "P/bin/eeprom-manager": ("tests/CMakeLists.txt", "EEPROM_EMULATOR=qemu-arm-static", "QEMU_LD_PREFIX="),
    },
    "doc/factory-and-field.md": {
        # The factory PC of the installation test: the tools alone, no service.
        "apt install ./eeprom-manager-crypto_*.deb ./eeprom-manager-tools_*.deb":
            ("tests/install/run", "dist/eeprom-manager-crypto_", "dist/eeprom-manager-tools_", 'install_in "$factory"',
             "dpkg -s eeprom-manager"),
        "systemctl stop eeprom-manager && promtool chip write chip.bin && systemctl start eeprom-manager":
            ("debian/tests/tools", "systemctl stop eeprom-manager.service", "promtool chip write",
             "systemctl start eeprom-manager.service"),
        "ls -l /sys/bus/i2c/devices/1-0050/driver":
            ("debian/tests/bound-chip", "/sys/bus/i2c/devices/1-0050", "/driver"),
        # doctor's diagnosis names them, made from the chip's bus and address.
        "echo 1-0050 > /sys/bus/i2c/drivers/at24/unbind":
            ("tools/PromDoctor.cpp", '"echo " + std::string(Device) + " > /sys/bus/i2c/drivers/" + Driver + "/unbind"'),
        "echo 0x50 > /sys/bus/i2c/devices/i2c-1/delete_device":
            ("tools/PromDoctor.cpp", '"echo 0x%02x > /sys/bus/i2c/devices/i2c-%u/delete_device"'),
        "systemctl restart eeprom-manager": ("debian/tests/sandbox", "systemctl restart eeprom-manager.service"),
    },
    "doc/integrating.md": {
        "apt install ./eeprom-manager_*_armhf.deb ./eeprom-manager-crypto_*_armhf.deb ./eeprom-manager-tools_*_armhf.deb":
            ("tests/install/run", "apt-get install -y -q /tmp/*.deb"),
        # On a unit with systemd: the system checks, and the unit file they check.
        "systemctl status eeprom-manager": ("debian/tests/boot",),
        "journalctl -u eeprom-manager -f": ("debian/eeprom-manager.service", "SyslogIdentifier=eeprom-manager"),
        "systemctl disable --now eeprom-manager": ("debian/eeprom-manager.service", "WantedBy=multi-user.target"),
    },
    "doc/testing.md": {
        "cd build && ctest -L unit": ("scripts/test", "ctest --output-on-failure", "-L unit"),
        "cd build && ctest -L e2e": ("tests/CMakeLists.txt", "LABELS e2e"),
        "cd build && ctest -R PromTest --output-on-failure": ("tests/unit/prom.cmake", "eeprom_unit_test(PromTest"),
        "scripts/package && tests/install/run": ("scripts/test",),
        "scripts/fuzz": ("scripts/test",),
        "scripts/fuzz 3600 set_prom": ("scripts/fuzz", "[SECONDS_PER_TARGET] [TARGET...]", "set_prom"),
        "FUZZ_SECONDS=120 scripts/test": ("scripts/test", "FUZZ_SECONDS"),
        "bench/run": ("bench/run", "--quick"),
        "bench/run --batch": ("bench/run", "--batch", "bench/batch.py"),
        "unitsim-run --unit examples/unit.json -- COMMAND [ARGS...]": ("sim/UnitsimRun.cpp", "COMMAND [ARGS...]"),
        "scripts/package --arch armhf": ("scripts/test",),
        "scripts/unit-vm run -- systemctl is-active eeprom-manager":
            ("scripts/unit-checks", "run -- systemctl is-active"),
        # The power-cut checks run their script on the emulated unit.
        "scripts/unit-vm run -- promtool doctor": ("board/power-cut.sh", "promtool doctor"),
        "scripts/unit-vm run --script checks.sh": ("scripts/unit-checks", "run --script"),
        "scripts/unit-vm shell": ("scripts/unit-vm", "Usage: scripts/unit-vm [OPTIONS] shell"),
        "scripts/unit-vm --chip my-chip.bin --mac 02:00:00:00:00:07 shell": ("scripts/unit-checks", "--chip", "--mac"),
        "scripts/test --system": (".ci/run",),
        # scripts/unit-checks runs debian/tests through autopkgtest's ssh testbed.
        "autopkgtest dist/eeprom-manager_*_armhf.deb dist/eeprom-manager-crypto_*_armhf.deb "
        "dist/eeprom-manager-tools_*_armhf.deb . -- ssh -l root -H UNIT --reboot --capability isolation-machine":
            ("scripts/unit-checks", "autopkgtest -B", "-- ssh -s "),
        "sudo debian/tests/boot": ("debian/tests/control", "Tests: boot"),
    },
}
# promtool's lines outside the example unit are forms of its commands: each
# is run by one of these.
PROMTOOL_TESTS = glob.glob(os.path.join(svc.SOURCE, "tests/e2e/test_promtool_*.py")) + [
    os.path.join(svc.SOURCE, "tests/e2e/test_doctor.py")]


def read(path):
    with open(os.path.join(svc.SOURCE, path)) as f:
        return f.read()


def command_blocks(text):
    """The command lines of each sh block of a page's text, without comments
    and blank lines."""
    blocks = re.findall(r"```sh\n(.*?)```", text, re.S)
    return [[line for line in (re.sub(r"\s+#.*$|^#.*$", "", raw).strip() for raw in block.splitlines()) if line]
            for block in blocks]


def on_example_unit(block):
    return block[0].startswith(("export PATH=", "unitsim-run --unit examples/unit.json -- bash"))


def example_blocks():   # (page, block) of the blocks on the example unit
    return [(page, block) for page in PAGES for block in command_blocks(read(page)) if on_example_unit(block)]


def unlisted(page, text):
    """The command lines of text, shown on page, that nothing runs: neither
    on the example unit, nor listed for the page, nor a promtool form."""
    return [line for block in command_blocks(text) if not on_example_unit(block) for line in block
            if line not in ELSEWHERE.get(page, {}) and not line.startswith("promtool ")]


def test_every_command_of_the_pages_is_run_by_a_test_or_listed():
    assert set(ELSEWHERE) <= set(PAGES), "listed for pages that are gone"
    unknown = [(page, line) for page in PAGES for line in unlisted(page, read(page))]
    assert unknown == [], "commands that nothing runs: %r" % unknown
    gone = [(page, line) for page, lines in ELSEWHERE.items() for line in lines
            if line not in itertools.chain.from_iterable(command_blocks(read(page)))]
    assert gone == [], "listed, but no longer on that page: %r" % gone
    # The newcomer's shell on the example unit, the programs run on it, and
    # the example peers.
    assert [page for page, block in example_blocks()] == ["README.md", "doc/testing.md", "doc/wire-protocol.md"]
    assert [any(peer in line for line in example_lines()) for peer in ("peers/peer.py", "example-peer")] == [True] * 2


def test_a_command_line_neither_run_nor_listed_is_found():
    text = "```sh\nscripts/demo\nrm -rf build   # nowhere\n```\n```sh\nscripts/demo\n```\n"
    assert unlisted("README.md", text) == ["rm -rf build"]
    assert unlisted("doc/testing.md", text) == ["scripts/demo", "rm -rf build", "scripts/demo"]


def test_each_listed_command_is_where_the_list_says():
    wrong = [(line, where[0]) for lines in ELSEWHERE.values() for line, where in lines.items()
             if not os.path.exists(os.path.join(svc.SOURCE, where[0]))
             or not all(text in read(where[0]) for text in where[1:] or [line])]
    assert wrong == [], "not found in the file said to run them: %r" % wrong


def test_each_promtool_form_of_the_pages_is_run_by_a_promtool_test():
    """A test file holds the form's subcommand and each of its options."""
    sources = [read(path) for path in PROMTOOL_TESTS]
    missing = []
    forms = [line for page in PAGES for block in command_blocks(read(page)) if not on_example_unit(block)
             for line in block if line.startswith("promtool ")]
    for line in forms:
        words = list(itertools.takewhile(re.compile(r"[a-z][a-z-]*$").match, line.split()[1:]))
        options = re.findall(r"(?:^|\s)\[?(--?[a-z][\w-]*)", line)
        if not any(re.search(r"\W+".join(words), source) and all(o in source for o in options) for source in sources):
            missing.append(line)
    assert missing == [], "promtool forms that no test runs: %r" % missing


def anchors(page):
    """The link targets of a page's headings, as GitHub makes them."""
    text = re.sub(r"```.*?```", "", read(page), flags=re.S)
    return {re.sub(r"[^\w\- ]", "", heading.lower()).replace(" ", "-")
            for heading in re.findall(r"^#+ (.+)$", text, re.M)}


def test_each_link_between_the_pages_leads_to_a_file_and_heading():
    broken = []
    for page in PAGES:
        for link in re.findall(r"\]\(([^)\s]+)\)", read(page)):
            if ":" in link:
                continue    # another site
            path, _, anchor = link.partition("#")
            target = os.path.normpath(os.path.join(os.path.dirname(page), path)) if path else page
            if not os.path.exists(os.path.join(svc.SOURCE, target)) or anchor and anchor not in anchors(target):
                broken.append((page, link))
    assert broken == [], "links that lead nowhere: %r" % broken


def example_copy(tmp_path):
    """A copy of examples/ and a bin/ that runs the service and the example
    peer in C (under the emulator for a cross build) ahead of the installed
    tools."""
    shutil.copytree(os.path.join(svc.SOURCE, "examples"), tmp_path / "examples")
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    for name, path in (("eeprom-manager", svc.SERVICE), ("example-peer", svc.EXAMPLE_PEER)):
        (bin_dir / name).write_text('#!/bin/sh\nexec %s "$@"\n' % " ".join(svc.service_command(path)))
        (bin_dir / name).chmod(0o755)
    return dict(os.environ, PATH="%s:%s:%s" % (bin_dir, svc.HOST_BIN, os.environ["PATH"]))


def example_lines():     # the lines of the blocks run on the example unit, one by one
    return [line for page, block in example_blocks() if block[0].startswith("export PATH=")
            for line in block[1:] if line not in ELSEWHERE.get(page, {})]


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
    block = next(block for block in command_blocks(read("README.md"))
                 if block[0] == "unitsim-run --unit examples/unit.json -- bash")
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
