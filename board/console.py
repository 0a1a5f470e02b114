#!/usr/bin/python3
"""Drives the emulated unit's serial console (QEMU's -serial stdio).

console.py [--log FILE] [--boot-timeout S] first-boot -- QEMU...
    waits for QEMU to end, shows the guest's "unit-vm:" lines; status 0
    when the guest printed "unit-vm: ... first boot: done".
console.py [--log FILE] [--boot-timeout S] [--quiet] [--chip FILE --mac MAC
           [--promtool PATH]] session SCRIPT -- QEMU...
    waits for root's shell on the console and for systemd to finish starting
    (multi-user), runs SCRIPT with bash as root, copies its standard output
    and error to ours, ends QEMU and exits with SCRIPT's status.
    SCRIPT finds the console in UNIT_VM_CONSOLE: a line "@@unitvm-ask:Q"
    written there is answered on it with one base64 line, about the chip
    file: chip-sha256 (its SHA-256) or chip-show ("SERIAL/NAME" as promtool
    decodes it for MAC, "interrupted" for what a chip write cut short
    leaves, "invalid", or "unknown" without promtool).
console.py [--log FILE] [--boot-timeout S] serve KEY -- QEMU...
    waits as session does, lets the public key in the file KEY log in as
    root over ssh, says "unit-vm: ready" on standard error, then keeps
    the console going (into the log) until QEMU ends; the unit may reboot
    meanwhile: each boot that ends with systemd done starting is said as
    "unit-vm: booted again (N), systemd STATE after S s". For autopkgtest
    (board/autopkgtest-setup).
console.py [--log FILE] [--boot-timeout S] save STATE --qmp SOCKET -- QEMU...
    waits as session does (the shell left without echo or prompt), then
    saves the machine's state into the file STATE through QEMU's monitor
    at SOCKET (a migration to a file, the machine stopped) and ends QEMU:
    QEMU started with -incoming "exec:cat STATE" goes on from there, its
    disks as they were at the save.
--resumed: session and serve take the machine from a saved state (QEMU
    with -incoming): they wait for its shell instead of a boot.
--prepare COMMAND: session and serve run COMMAND on the console first (a
    failure is an error).
Everything the console prints goes to the log file.  An error is a line
"Error: ..." and status 125: a wrong command line (an unknown option or
mode, a missing value or file), before QEMU starts; a unit that does not
start or answer in time.
"""
import base64
import hashlib
import json
import os
import re
import select
import shlex
import socket
import subprocess
import sys
import time

MARK = "@@unitvm"          # sent split as "@@unit""vm", so an echo never matches


class Console:
    def __init__(self, argv, log):
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT)
        self.buf = b""
        self.log = log
        self.start = time.monotonic()
        self.eof = False

    def elapsed(self):
        return time.monotonic() - self.start

    def read_some(self, timeout):
        ready, _, _ = select.select([self.proc.stdout], [], [], timeout)
        if not ready:
            return b""
        data = os.read(self.proc.stdout.fileno(), 65536)
        if not data:
            self.eof = True
        self.log.write(data)
        self.log.flush()
        self.buf += data
        return data

    def expect(self, pattern, timeout):
        """Waits for a regex over the buffer; returns its match and drops what precedes its end."""
        deadline = time.monotonic() + timeout
        regex = re.compile(pattern)
        while True:
            match = regex.search(self.buf)
            if match:
                self.buf = self.buf[match.end():]
                return match
            if self.eof:
                raise RuntimeError("QEMU ended (see the console log)")
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError(pattern.decode(errors="replace") if isinstance(pattern, bytes) else pattern)
            self.read_some(min(left, 1.0))

    def send(self, line):
        self.proc.stdin.write(line.encode() + b"\n")
        self.proc.stdin.flush()

    def marker(self, name, timeout, value=rb"([^\r\n]*)"):
        return self.expect(MARK.encode() + b"-" + name.encode() + b":" + value + rb"\r?\n", timeout)

    def say(self, name, command):
        """A shell line that prints a marker (with the output of COMMAND after the colon)."""
        return "printf '%s%s\\n' '@@unit' \"vm-" + name + ":" + command + "\""

    def finish(self, timeout=90):
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def progress(message):
    print("unit-vm: " + message, file=sys.stderr, flush=True)


def first_boot(con, timeout):
    done = False
    deadline = time.monotonic() + timeout
    line = b""
    while not con.eof:
        if time.monotonic() > deadline:
            con.proc.kill()
            raise TimeoutError("the first boot took longer than %d s" % timeout)
        data = con.read_some(1.0)
        line += data
        *lines, line = line.split(b"\n")
        for text in lines:
            text = text.decode(errors="replace").strip()
            if "unit-vm:" in text:
                print(text[text.index("unit-vm:"):], file=sys.stderr, flush=True)
                done = done or "first boot: done" in text
            elif done is False and ("Kernel panic" in text or "rescue" in text):
                print(text, file=sys.stderr, flush=True)
    con.finish()
    return 0 if done else 1


def answer(question, chip):
    """The host's answer about the chip file (see the module's help)."""
    if chip["file"] is None:
        return "no chip"
    if question == "chip-sha256":
        with open(chip["file"], "rb") as f:
            return hashlib.sha256(f.read()).hexdigest()
    if question == "chip-show":
        if not chip["promtool"]:
            return "unknown"
        shown = subprocess.run([chip["promtool"], "image", "show", chip["file"], "--mac", chip["mac"], "--json"],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        record = json.loads(shown.stdout or b"{}")
        return ("%s/%s" % (record["serial"], record["unit_name"]) if record.get("valid")
                else "interrupted" if record.get("interrupted_write") else "invalid")
    return "unknown question"


def log_in(con, timeout, quiet):
    """Waits for root's shell on the console and for systemd to finish
    starting; leaves the shell without echo or prompt."""
    deadline = time.monotonic() + timeout
    while True:
        prompt = con.expect(rb"root@[^\s:]*:[^\r\n]*# |unit-vm: initramfs: ([^\r\n]*)"
                            rb"|Kernel panic - not syncing: ([^\r\n]*)", max(deadline - time.monotonic(), 0))
        if prompt.group(1) is not None:
            raise RuntimeError("the unit did not boot: " + prompt.group(1).decode(errors="replace"))
        if prompt.group(2) is None:
            break
        # A board booted with panic=N restarts; the boot goes on.
        progress("the kernel panicked (%s) after %.0f s; the board restarts"
                 % (prompt.group(2).decode(errors="replace").strip(), con.elapsed()))
    login = con.elapsed()
    # No echo, no kernel messages, no prompt: only what the commands print.
    con.send("stty -echo; dmesg -n 1; PS1=''; PS2=''; " + con.say("ready", ""))
    con.marker("ready", 60)
    con.send("systemctl is-system-running --wait > /tmp/unit-vm.state; "
             + con.say("state", "$(cat /tmp/unit-vm.state)"))
    state = con.marker("state", timeout).group(1).decode(errors="replace").strip()
    up = con.elapsed()
    if not quiet:
        progress("root console after %.0f s, systemd %s after %.0f s" % (login, state, up))
    if state != "running":
        con.send(con.say("failed", "$(systemctl --failed --plain --no-legend | cut -d' ' -f1 | paste -sd' ')"))
        failed = con.marker("failed", 60).group(1).decode(errors="replace")
        progress("the unit is %s; failed units: %s" % (state, failed))
    return state


def resume(con, timeout, quiet):
    """Waits for the shell of a machine taken from a saved state (left by
    save without echo or prompt)."""
    con.send("")
    con.send(con.say("ready", ""))
    con.marker("ready", timeout)
    if not quiet:
        progress("resumed from the saved state: root console after %.0f s" % con.elapsed())


def prepare(con, command):
    con.send("(%s) > /tmp/unit-vm.prep 2>&1; " % command + con.say("prepared", "$?"))
    status = con.marker("prepared", 600, rb"(\d+)").group(1).decode()
    if status != "0":
        raise RuntimeError("'%s' failed with status %s" % (command, status))


def start(con, timeout, quiet, resumed, command):
    """The unit's root console, from a boot or from a saved state."""
    if resumed:
        resume(con, timeout, quiet)
    else:
        log_in(con, timeout, quiet)
    if command:
        prepare(con, command)


class Monitor:
    """QEMU's monitor (QMP) on a Unix socket."""

    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX)
        self.sock.connect(path)
        self.file = self.sock.makefile("rw")
        self.file.readline()            # the greeting
        self.execute("qmp_capabilities")

    def execute(self, command, **arguments):
        self.file.write(json.dumps({"execute": command, "arguments": arguments}) + "\n")
        self.file.flush()
        while True:
            reply = json.loads(self.file.readline() or "null")
            if reply is None:
                raise RuntimeError("QEMU's monitor closed on " + command)
            if "error" in reply:
                raise RuntimeError("QEMU's monitor: %s: %s" % (command, reply["error"].get("desc")))
            if "return" in reply:
                return reply["return"]


def save(con, state, qmp, timeout):
    """Boots, logs in, and saves the machine's state into the file STATE;
    only a unit that systemd started in full is saved."""
    if log_in(con, timeout, False) != "running":
        raise RuntimeError("the unit did not start in full: not saved")
    started = time.monotonic()
    con.send("sync; " + con.say("synced", ""))
    con.marker("synced", 300)
    monitor = Monitor(qmp)
    # Stopped for the save; QEMU started from it runs at once (QEMU started
    # with -global migration.store-global-state=off keeps no run state).
    monitor.execute("stop")
    # The machine is stopped: the migration has no pace to keep.
    monitor.execute("migrate-set-parameters", **{"max-bandwidth": 1 << 40})
    monitor.execute("migrate", uri="exec:cat > " + shlex.quote(state))
    while True:
        status = monitor.execute("query-migrate").get("status")
        if status == "completed":
            break
        if status in ("failed", "cancelled"):
            raise RuntimeError("the machine's state was not saved (migration %s)" % status)
        time.sleep(0.2)
    monitor.execute("quit")
    con.finish()
    progress("state saved in %.0f s (%d MB)" % (time.monotonic() - started, os.path.getsize(state) >> 20))
    return 0


def serve(con, key, timeout, resumed=False, command=None):
    start(con, timeout, False, resumed, command)
    with open(key) as f:
        public = f.read().strip()
    con.send("mkdir -p -m 700 /root/.ssh && echo '%s' > /root/.ssh/authorized_keys && "
             "chmod 600 /root/.ssh/authorized_keys; " % public
             + con.say("sshd", "$(systemctl is-active ssh.service)"))
    sshd = con.marker("sshd", 120).group(1).decode(errors="replace").strip()
    if sshd != "active":
        raise RuntimeError("the unit's sshd is %s" % sshd)
    progress("ready")
    # A reboot inside a test: the next boot's console, and systemd done
    # starting, said on standard error (board/autopkgtest-setup waits for it
    # instead of probing a unit that is still shutting down or booting).
    boots = 0
    while not con.eof:
        try:
            state = log_in(con, 10 ** 6, True)
        except RuntimeError as error:
            if not con.eof:
                progress("the unit did not boot again: %s" % error)
                while not con.eof:
                    con.read_some(1.0)
                    con.buf = b""
            break
        boots += 1
        progress("booted again (%d), systemd %s after %.0f s" % (boots, state, con.elapsed()))
    con.finish()
    return 0


def session(con, script, timeout, quiet, chip, resumed=False, command=None):
    start(con, timeout, quiet, resumed, command)
    # The script travels base64-encoded in short lines (the tty takes lines of
    # at most 4095 bytes).
    with open(script, "rb") as f:
        encoded = base64.b64encode(f.read()).decode()
    con.send(": > /tmp/unit-vm.b64")
    for i in range(0, len(encoded), 512):
        con.send("echo " + encoded[i:i + 512] + " >> /tmp/unit-vm.b64")
    con.send("base64 -d /tmp/unit-vm.b64 > /tmp/unit-vm.sh; export UNIT_VM_CONSOLE=$(tty);"
             " (cd /root && bash /tmp/unit-vm.sh)"
             " < /dev/null > /tmp/unit-vm.out 2> /tmp/unit-vm.err; rc=$?; "
             + con.say("out", "") + "; base64 -w 0 /tmp/unit-vm.out; echo; "
             + con.say("err", "") + "; base64 -w 0 /tmp/unit-vm.err; echo; "
             + con.say("rc", "$rc"))
    # The script's questions about the chip file, until its output comes.
    while True:
        said = con.expect(MARK.encode() + rb"-(?:ask:([\w-]+)|out:)\r?\n", 10 ** 6)
        if said.group(1) is None:
            break
        reply = answer(said.group(1).decode(), chip)
        con.send(base64.b64encode(reply.encode()).decode())
    out = con.expect(rb"([A-Za-z0-9+/=]*)\r?\n", 600).group(1)
    con.marker("err", 600, b"")
    err = con.expect(rb"([A-Za-z0-9+/=]*)\r?\n", 600).group(1)
    rc = int(con.marker("rc", 600, rb"(\d+)").group(1))
    sys.stdout.buffer.write(base64.b64decode(out))
    sys.stdout.flush()
    sys.stderr.buffer.write(base64.b64decode(err))
    sys.stderr.flush()
    # The chip's file has every write already and the root's changes are
    # dropped: QEMU ends once the unit has written back its caches.
    con.send("sync; " + con.say("synced", ""))
    con.marker("synced", 300)
    con.proc.terminate()
    con.finish()
    return rc


MODES = ("first-boot", "session", "serve", "save")


class UsageError(Exception):
    """A wrong command line: reported before QEMU starts."""


def parse(args):
    """The options, the mode, its file and QEMU's command line."""
    options = {"log": os.devnull, "timeout": 900, "quiet": False, "resumed": False, "command": None,
               "qmp": None, "chip": {"file": None, "mac": None, "promtool": None}}

    def value(option):
        if not args or args[0] == "--":
            raise UsageError(option + " needs a value")
        return args.pop(0)

    while args and args[0].startswith("--") and args[0] != "--":
        option = args.pop(0)
        if option == "--log":
            options["log"] = value(option)
        elif option == "--boot-timeout":
            try:
                options["timeout"] = float(value(option))
            except ValueError:
                raise UsageError("--boot-timeout takes a number of seconds") from None
        elif option in ("--quiet", "--resumed"):
            options[option[2:]] = True
        elif option in ("--prepare", "--qmp"):
            options["command" if option == "--prepare" else "qmp"] = value(option)
        elif option in ("--chip", "--mac", "--promtool"):
            options["chip"]["file" if option == "--chip" else option[2:]] = value(option)
        else:
            raise UsageError("unknown option " + option)
    if not args or args[0] not in MODES:
        raise UsageError("%s (the modes: %s)" % ("unknown mode " + args[0] if args else "no mode given",
                                                 ", ".join(MODES)))
    mode = args.pop(0)
    path = value(mode) if mode != "first-boot" else None
    if mode == "save" and args[:1] == ["--qmp"]:
        args.pop(0)
        options["qmp"] = value("--qmp")
    if mode == "save" and not options["qmp"]:
        raise UsageError("save needs --qmp SOCKET")
    if mode in ("session", "serve") and not os.access(path, os.R_OK):
        raise UsageError("cannot read " + path)
    if args[:1] != ["--"] or len(args) < 2:
        raise UsageError("-- QEMU... expected")
    return mode, path, args[1:], options


def main(args):
    try:
        mode, path, qemu, o = parse(list(args))
    except UsageError as e:
        print("Error: console.py: %s" % e, file=sys.stderr)
        return 125
    with open(o["log"], "ab") as log:
        con = Console(qemu, log)
        try:
            if mode == "first-boot":
                return first_boot(con, o["timeout"])
            if mode == "serve":
                return serve(con, path, o["timeout"], o["resumed"], o["command"])
            if mode == "save":
                return save(con, path, o["qmp"], o["timeout"])
            return session(con, path, o["timeout"], o["quiet"], o["chip"], o["resumed"], o["command"])
        except (TimeoutError, RuntimeError) as e:
            print("Error: the unit's console: %s (log: %s)" % (
                "timed out waiting for " + str(e) if isinstance(e, TimeoutError) else e, o["log"]),
                file=sys.stderr)
            if con.proc.poll() is None:
                con.proc.kill()
            con.proc.wait()
            return 125


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
