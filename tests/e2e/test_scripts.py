"""The command-line conventions of the project's scripts: --help and -h print
the usage on standard output and do nothing else; an unknown argument is one
Error line and status 2, before anything is done (the demo or the benchmark
started by mistake would outlast the time-out). The emulated unit's console
driver refuses a wrong command line with its error status before it starts
QEMU."""
import os
import re
import subprocess

import pytest

import service as svc

SCRIPTS = ["scripts/" + name for name in ("bootstrap", "build", "demo", "fuzz", "package", "sysroot", "test", "unit-checks", "unit-vm")]


def opening_comment(script):
    """The script's comment after its "#!" line, without the comment marks."""
    with open(os.path.join(svc.SOURCE, script)) as f:
        lines = f.read().splitlines()[1:]
    text = []
    for line in lines:
        if not line.startswith("#"):
            break
        text.append(re.sub(r"^# ?", "", line) + "\n")
    return "".join(text)


@pytest.mark.parametrize("script", SCRIPTS + ["bench/run", "bench/bench.py"])
@pytest.mark.parametrize("arg, status", [("--help", 0), ("-h", 0), ("--frob", 2)])
def test_scripts_answer_help_and_refuse_unknown_arguments_without_doing_anything(tmp_path, script, arg, status):
    command = ["/usr/bin/python3"] * script.endswith(".py") + [os.path.join(svc.SOURCE, script), arg]
    result = subprocess.run(command, cwd=str(tmp_path), capture_output=True, text=True, timeout=10)
    assert result.returncode == status, result
    assert ("Usage: " in result.stdout, result.stderr.count("\n")) == ((True, 0) if status == 0 else (False, 1))
    assert result.stderr.startswith("Error: ") == (status == 2) and os.listdir(str(tmp_path)) == []
    if status == 0 and not script.endswith(".py"):
        # Exactly the opening comment: what the script does and its usage,
        # no line of its code.
        assert result.stdout == opening_comment(script)
        assert re.search(r"^Usage: %s( |$)" % re.escape(script), result.stdout, re.M), result.stdout


@pytest.mark.parametrize("args", [
    [],                                               # no mode
    ["bogus", "--"],                                  # an unknown mode
    ["--frob", "first-boot", "--"],                   # an unknown option
    ["--boot-timeout", "soon", "first-boot", "--"],   # a value that is not one
    ["session", "missing.sh", "--"],                  # a script that is not there
    ["save", "state", "--"],                          # save without --qmp
    ["first-boot", "--log"],                          # no -- before QEMU
])
def test_console_refuses_a_wrong_command_line_before_qemu_starts(tmp_path, args):
    console = os.path.join(svc.SOURCE, "board/console.py")
    # The stand-in for QEMU leaves a file when it is started.
    result = subprocess.run(["/usr/bin/python3", console] + args + ["touch", "started"], cwd=str(tmp_path),
                            capture_output=True, text=True, timeout=10)
    assert (result.returncode, result.stdout, os.listdir(str(tmp_path))) == (125, "", []), result
    assert result.stderr.startswith("Error: console.py: ") and result.stderr.count("\n") == 1, result.stderr


@pytest.mark.parametrize("said, status", [("unit-vm: [312.17 s] first boot: done", 0),
                                          ("unit-vm: [95.40 s] first boot: failed; the last lines of the log:", 1)])
def test_console_first_boot_ends_as_the_guest_said(tmp_path, said, status):
    console = os.path.join(svc.SOURCE, "board/console.py")
    result = subprocess.run(["/usr/bin/python3", console, "first-boot", "--", "echo", said], cwd=str(tmp_path),
                            capture_output=True, text=True, timeout=10)
    assert (result.returncode, result.stderr) == (status, said + "\n"), result
