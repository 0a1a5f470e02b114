"""The command-line conventions of the project's scripts: --help and -h print
the usage on standard output and do nothing else; an unknown argument is one
Error line and status 2, before anything is done (the demo or the benchmark
started by mistake would outlast the time-out)."""
import os
import subprocess

import pytest

import service as svc

SCRIPTS = ["scripts/" + name for name in ("bootstrap", "build", "demo", "fuzz", "package", "sysroot", "test", "unit-checks", "unit-vm")]


@pytest.mark.parametrize("script", SCRIPTS + ["bench/run", "bench/bench.py"])
@pytest.mark.parametrize("arg, status", [("--help", 0), ("-h", 0), ("--frob", 2)])
def test_scripts_answer_help_and_refuse_unknown_arguments_without_doing_anything(tmp_path, script, arg, status):
    command = ["/usr/bin/python3"] * script.endswith(".py") + [os.path.join(svc.SOURCE, script), arg]
    result = subprocess.run(command, cwd=str(tmp_path), capture_output=True, text=True, timeout=10)
    assert result.returncode == status, result
    assert ("Usage: " in result.stdout, result.stderr.count("\n")) == ((True, 0) if status == 0 else (False, 1))
    assert result.stderr.startswith("Error: ") == (status == 2) and os.listdir(str(tmp_path)) == []
