"""The manual pages against the programs' own --help: every option (or
environment variable) a program's help prints (the top level's and each
command's) is in its manual page, and every one the manual page describes in
an item of its own is printed by some --help of the program."""
import os
import re
import subprocess

import pytest

import service as svc

PROMTOOL_HELPS = [[], ["image"], ["image", "create"], ["image", "show"], ["image", "batch"], ["ledger"], ["chip"],
                  ["doctor"], ["watch"], ["set-name"], ["stop"], ["status"]]
# The command that runs each program (the service under the emulator in a
# cross build; the tools are the host's), its manual page, its commands.
PROGRAMS = {
    "eeprom-manager": (svc.service_command(), "debian/eeprom-manager.8", [[]]),
    "promtool": ([svc.PROMTOOL], "debian/promtool.1", PROMTOOL_HELPS),
    "unitsim-run": ([svc.UNITSIM_RUN], "debian/unitsim-run.1", [[]]),
}
# An option in a help's lists and usage lines: "--name", or "-x" standing alone;
# or an environment variable the program reads or sets.
OPTION = re.compile(r"(?<![\w-])(--[a-z][a-z-]*|-[a-zA-Z]|[A-Z][A-Z0-9]*_[A-Z0-9_]+)(?![\w-])")


def help_options(program, commands):
    found = set()
    for command in commands:
        result = subprocess.run(program + command + ["--help"], capture_output=True,
                                encoding="utf-8", timeout=30)
        assert result.returncode == 0, (command, result)
        text = result.stdout.split("\nExamples:")[0]     # examples run other programs too
        found |= set(OPTION.findall(text))
    return found


def manual(path):
    with open(os.path.join(svc.SOURCE, path)) as f:
        return f.read().replace("\\-", "-").replace("\\fR", "").replace("\\fP", "").replace("\\fB", "")


def manual_items(text):
    """The options named in the tags of the page's .TP items."""
    lines = text.splitlines()
    return {option for i, line in enumerate(lines[:-1]) if line.startswith(".TP")
            for option in OPTION.findall(lines[i + 1]) if lines[i + 1].startswith(".B")}


@pytest.mark.parametrize("name", PROGRAMS)
def test_manual_pages_and_help_name_the_same_options(name):
    program, page, commands = PROGRAMS[name]
    helped, text = help_options(program, commands), manual(page)
    assert not {o for o in helped if not re.search(r"(?<![\w-])" + re.escape(o) + r"(?![\w-])", text)}, \
        "printed by --help, not in " + page
    assert manual_items(text) <= helped, "described in %s, printed by no --help: %s" % (
        page, sorted(manual_items(text) - helped))


@pytest.mark.parametrize("name", PROGRAMS)
def test_every_help_that_answers_dash_h_says_so(name):
    program, _, commands = PROGRAMS[name]
    for command in commands:
        short, long = (subprocess.run(program + command + [flag], capture_output=True,
                                      encoding="utf-8", timeout=30) for flag in ("-h", "--help"))
        assert (short.returncode, short.stdout) == (0, long.stdout), (command, short)
        assert "-h" in OPTION.findall(long.stdout), (command, "answers -h but its help does not say so")


def usage_forms(text):
    """The forms a help's usage lines give (continuation lines joined), each
    as (command words, options required, options in brackets)."""
    forms, lines = [], []
    for line in text.splitlines():
        if re.match(r"(Usage: +| {7})promtool ", line):
            lines.append(line.split("promtool ", 1)[1])
        elif lines and line.startswith(" " * 20) and line.strip():
            lines[-1] += " " + line.strip()
    for line in lines:
        words = line.split()
        command = " ".join(w for w in words[:2] if re.fullmatch(r"[a-z-]+", w))
        optional = set(re.findall(r"\[(--?[a-z-]+)", line))
        forms.append((command, set(OPTION.findall(line)) - optional, optional))
    return forms


def test_promtools_overview_gives_each_command_as_its_own_help_does():
    """Every form the overview (promtool --help) shows is one of the
    command's own: the same options required, the ones in brackets among
    its optional ones (the overview may leave the client options out)."""
    overview = subprocess.run([svc.PROMTOOL, "--help"], capture_output=True, encoding="utf-8",
                              timeout=30).stdout
    # A line "  FORM   description": the form ends at the first wide gap.
    forms = [re.split(r"\s{2,}", line.strip())[0] for line in overview.split("\nExamples:")[0].splitlines()
             if re.match(r"  [a-z]", line)]
    shown = [(" ".join(w for w in form.split()[:2] if re.fullmatch(r"[a-z-]+", w)),
              set(OPTION.findall(form)) - set(re.findall(r"\[(--?[a-z-]+)", form)),
              set(re.findall(r"\[(--?[a-z-]+)", form))) for form in forms]
    own = [form for command in PROMTOOL_HELPS[1:] for form in usage_forms(subprocess.run(
        [svc.PROMTOOL] + command + ["--help"], capture_output=True, encoding="utf-8",
        timeout=30).stdout)]
    for command, required, optional in shown:
        assert any(c.startswith(command) and r == required and optional <= o for c, r, o in own), (
            command, required, optional)
