"""Runs the installed EEPROM manager under `unitsim-run` on a unit made from a
description (a dict), and talks to it with pyzmq from outside the unit,
through /proc/<pid>/root."""
import json
import os
import signal
import subprocess
import tempfile
import time

import zmq

SOURCE = os.environ.get("EEPROM_SOURCE", os.path.join(os.path.dirname(__file__), "../.."))
BIN = os.path.join(os.environ.get("EEPROM_PREFIX", os.path.join(SOURCE, "build/stage")), "bin")
# A cross-built service runs under an emulator (EEPROM_EMULATOR) on a unit
# made by the host's own tools (EEPROM_HOST_PREFIX).
HOST_BIN = os.path.join(os.environ["EEPROM_HOST_PREFIX"], "bin") if "EEPROM_HOST_PREFIX" in os.environ else BIN
EMULATOR = os.environ.get("EEPROM_EMULATOR", "").split()
UNITSIM_RUN, PROMTOOL = (os.path.join(HOST_BIN, name) for name in ("unitsim-run", "promtool"))
SERVICE = os.path.join(BIN, "eeprom-manager")
# The example peer in C (examples/peers/), built but not installed.
EXAMPLE_PEER = os.environ.get("EEPROM_EXAMPLE_PEER", os.path.join(SOURCE, "build/bin/example-peer"))


def service_command(path=SERVICE):
    """The command that runs the service binary at path."""
    return EMULATOR + [str(path)]

BANNER = b"\n\n EEPROM:   Manager Version v2.8-38.\n\n"
DEFAULT_MAC = "02:00:00:00:00:01"
INVALID_IDENTITY = b'{"Serial Number": "INVLD", "Unit Name": "EEPROM Invalid"}'


def unit_description(mac=DEFAULT_MAC, sysapp=None, chip=None, log=None, ipv4=None):
    """A unit: eth0 with mac (None: none), buses 0 to 2, the identity chip at 0x50
    on bus 1 (chip: extra keys of its entry), the files of /root/zel_sysapp."""
    eth0 = None if mac is None else dict({"mac": mac}, **({"ipv4": ipv4} if ipv4 else {}))
    entry = dict({"model": "24c32", "address": "0x50", "image": "chip.bin"}, **(chip or {}))
    i2c = dict({"buses": {"0": [], "1": [entry], "2": []}}, **({"log": log} if log else {}))
    return dict({"eth0": eth0, "i2c": i2c}, **({"zel_sysapp": sysapp} if sysapp else {}))


def provision(unit_dir, serial="123456", mac=DEFAULT_MAC, name="Unit A", image="chip.bin"):
    """Makes the unit's chip image with promtool, as the factory does."""
    path = os.path.join(str(unit_dir), image)
    subprocess.run([PROMTOOL, "image", "create", "--serial", serial, "--mac", mac, "--name", name,
                    "--force", "-o", path], check=True, stdout=subprocess.DEVNULL)
    return path


def show_image(path, mac=DEFAULT_MAC):
    """`promtool image show` as a dict of its fields ("Valid for <mac>" as "Valid")."""
    out = subprocess.run([PROMTOOL, "image", "show", path, "--mac", mac], check=True, stdout=subprocess.PIPE,
                         encoding="utf-8").stdout
    pairs = (line.rsplit(": ", 1) if line.startswith("Valid") else line.split(":", 1) for line in out.splitlines())
    return {key.split(" for ")[0]: value.lstrip(" ") for key, value in pairs}


def read_log(unit_dir, name="transfers.log"):     # the bus's transfer log, a line per message
    path = os.path.join(str(unit_dir), name)
    return open(path).read().splitlines() if os.path.exists(path) else []


def page_writes(log):
    return [line for line in log if " W 0x50 len=34 ack" in line]


def write_unit(directory, description):     # returns the path of directory/unit.json
    path = os.path.join(str(directory), "unit.json")
    with open(path, "w") as f:
        json.dump(description, f)
    return path


def in_unit(pid, argv, background=False, stdin=None):
    """Runs argv as another process of the unit that process pid runs on (its
    namespaces and environment, so the simulated buses too); in the
    background with stdin (subprocess.PIPE for one to write to)."""
    # A process in the middle of an exec shows no environment for a moment:
    # read it again until it holds the unit's.
    deadline = time.monotonic() + 10
    while True:
        with open("/proc/%d/environ" % pid, "rb") as f:
            env = dict(item.split(b"=", 1) for item in f.read().split(b"\0") if b"=" in item)
        if b"UNITSIM_UNIT" in env or time.monotonic() > deadline:
            break
        time.sleep(0.01)
    # -r: the unit's root directory too, which differs from / in a chroot.
    command = ["nsenter", "-t", str(pid), "-m", "-n", "-r", "--"] + argv
    if background:
        return subprocess.Popen(command, env=env, stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    return subprocess.run(command, env=env, capture_output=True, timeout=30)


def resolve_in(root, path):
    """Resolves path as a process whose root is `root` would: absolute
    symbolic links (such as /run/shm) start again from that root."""
    parts, resolved = path.strip("/").split("/"), ""
    while parts:
        link = root + resolved + "/" + parts.pop(0)
        if os.path.islink(link):
            target = os.readlink(link)
            resolved = "" if target.startswith("/") else resolved
            parts[:0] = target.strip("/").split("/")
        else:
            resolved = link[len(root):]
    return root + resolved


class Service:
    """The service on a simulated unit; its standard output goes to a file."""

    def __init__(self, unit_path, command=None):
        self._out = tempfile.TemporaryFile()
        self.process = subprocess.Popen([UNITSIM_RUN, "--unit", unit_path, "--"] + (command or service_command()),
                                        stdout=self._out, stdin=subprocess.DEVNULL)
        self.pid = self.process.pid
        self.context = zmq.Context.instance()
        self.sockets = []
        self._command = None

    @property
    def output(self):
        return os.pread(self._out.fileno(), 1 << 24, 0)

    def wait_for_output(self, text, timeout=10.0):
        """Waits until standard output holds text (bytes); returns the time."""
        deadline = time.monotonic() + timeout
        while text not in self.output:
            assert time.monotonic() < deadline, "no %r in output %r" % (text, self.output)
            time.sleep(0.01)
        return time.monotonic()

    def wait_ready(self, timeout=10.0):   # the banner: the unit is set up by then
        return self.wait_for_output(BANNER, timeout)

    def path(self, path):     # a path inside the unit, as the test process sees it
        return resolve_in("/proc/%d/root" % self.pid, path)

    def endpoint(self, name):
        return "ipc://" + self.path("/run/shm/zmq") + "/" + name

    def socket(self, kind, name, bind=False, subscribe=b""):
        sock = self.context.socket(kind)
        sock.setsockopt(zmq.LINGER, 0)
        if kind == zmq.SUB:
            sock.setsockopt(zmq.SUBSCRIBE, subscribe)
        (sock.bind if bind else sock.connect)(self.endpoint(name))
        self.sockets.append(sock)
        return sock

    def health_monitor(self):     # bound where the heartbeats go
        return self.socket(zmq.SUB, "HbBeats", bind=True)

    def identity_subscriber(self):
        return self.socket(zmq.SUB, "PromStat")

    def send_command(self, *frames):
        self._command = self._command or self.socket(zmq.PUSH, "PromCmd")
        self._command.send_multipart(list(frames))

    def set_name(self, name):
        self.send_command(b"Set Prom", json.dumps({"Unit Name": name}).encode())

    def system_control(self, timeout=5.0):
        """An XPUB bound where the service's stop subscription connects;
        returns once the service has subscribed, so nothing sent is lost."""
        sock = self.socket(zmq.XPUB, "SysCntl", bind=True)
        assert receive(sock, timeout) == [b"\x01ServiceStop"]
        return sock

    def alive_after(self, seconds):
        try:
            return self.process.wait(seconds) is None
        except subprocess.TimeoutExpired:
            return True

    def stop(self, sig=signal.SIGTERM, timeout=15.0):     # returns the exit status
        if self.process.poll() is None:
            self.process.send_signal(sig)
        return self.wait(timeout)

    def wait(self, timeout=15.0):
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            raise AssertionError("service did not exit within %s s" % timeout)

    def close(self):
        for sock in self.sockets:
            sock.close(0)
        self.process.kill()
        self.process.wait()
        self._out.close()


def identity(name, serial="123456"):   # the exact text for a valid record
    return json.dumps({"Serial Number": serial, "Unit Name": name}, ensure_ascii=False).encode()


def receive(sock, timeout=3.0):     # a message's frames, or None after timeout s
    return sock.recv_multipart() if sock.poll(int(timeout * 1000)) else None


def next_identity(sub, timeout=3.0):
    """The text of the next PromInfo message, its frames checked."""
    frames = receive(sub, timeout)
    assert frames is not None and len(frames) == 2 and frames[0] == b"PromInfo", frames
    return frames[1]


def wait_identity(sub, text, timeout=10.0):
    """Waits for a PromInfo message carrying exactly text."""
    deadline, seen = time.monotonic() + timeout, []
    while time.monotonic() < deadline and text not in seen:
        frames = receive(sub, max(0.1, deadline - time.monotonic()))
        seen.append(frames and frames[1])
    assert text in seen, "no PromInfo %r; saw %r" % (text, seen)
