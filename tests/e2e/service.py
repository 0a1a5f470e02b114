"""Runs the installed EEPROM manager on a simulated unit for black-box tests.

A test describes a unit (a dict written as the unit description), starts the
installed `eeprom-manager` under `unitsim-run`, and talks to it with pyzmq.
The test process stays outside the unit's namespaces: it reaches the unit's
private /run/shm/zmq through /proc/<pid>/root, which resolves paths in the
service's mount namespace.
"""
import json
import os
import signal
import subprocess
import threading
import time

import zmq

PREFIX = os.environ.get("EEPROM_PREFIX", os.path.join(os.path.dirname(__file__), "../../build/stage"))
SOURCE = os.environ.get("EEPROM_SOURCE", os.path.join(os.path.dirname(__file__), "../.."))
BIN = os.path.join(PREFIX, "bin")
UNITSIM_RUN = os.path.join(BIN, "unitsim-run")
SERVICE = os.path.join(BIN, "eeprom-manager")
PROMTOOL = os.path.join(BIN, "promtool")

BANNER = b"\n\n EEPROM:   Manager Version v2.8-38.\n\n"
DEFAULT_MAC = "02:00:00:00:00:01"


def unit_description(mac=DEFAULT_MAC, sysapp=None, chip=None, log=None, ipv4=None):
    """A whole unit: eth0 with mac (None: no eth0), buses 0 to 2, the
    identity chip at 0x50 on bus 1 (chip: extra keys for its entry, such as
    "image" or "faults"), and the leftover files of /root/zel_sysapp."""
    description = {"eth0": None if mac is None else {"mac": mac}}
    if mac is not None and ipv4 is not None:
        description["eth0"]["ipv4"] = ipv4
    if sysapp:
        description["zel_sysapp"] = sysapp
    entry = {"model": "24c32", "address": "0x50", "image": "chip.bin"}
    entry.update(chip or {})
    description["i2c"] = {"buses": {"0": [], "1": [entry], "2": []}}
    if log:
        description["i2c"]["log"] = log
    return description


def provision(unit_dir, serial="123456", mac=DEFAULT_MAC, name="Unit A", image="chip.bin"):
    """Makes the unit's chip image with promtool, as a factory would."""
    path = os.path.join(str(unit_dir), image)
    subprocess.run([PROMTOOL, "image", "create", "--serial", serial, "--mac", mac,
                    "--name", name, "--force", "-o", path], check=True)
    return path


def show_image(path, mac=DEFAULT_MAC):
    """`promtool image show` of a chip image, as a dict of its fields."""
    out = subprocess.run([PROMTOOL, "image", "show", path, "--mac", mac], check=True,
                         stdout=subprocess.PIPE).stdout.decode("utf-8", "replace")
    fields = {}
    for line in out.splitlines():
        if line.startswith("Valid"):
            fields["Valid"] = line.rpartition(": ")[2]
            continue
        key, _, value = line.partition(":")
        fields[key.strip()] = value.lstrip(" ")
    return fields


def read_log(unit_dir, name="transfers.log"):
    """The simulated bus's transfer log, a line per message."""
    path = os.path.join(str(unit_dir), name)
    if not os.path.exists(path):
        return []
    with open(path) as f:
        return f.read().splitlines()


def page_writes(log):
    """The page-write messages of a transfer log."""
    return [line for line in log if " W 0x50 len=34 ack" in line]


def write_unit(directory, description):
    """Writes a unit description into directory and returns its path."""
    path = os.path.join(str(directory), "unit.json")
    with open(path, "w") as f:
        json.dump(description, f, indent=2)
    return path


def resolve_in(root, path):
    """Resolves path as a process whose root is `root` would, following
    symbolic links (absolute ones relative to that root)."""
    parts = [p for p in path.split("/") if p]
    resolved = ""
    hops = 0
    while parts:
        part = parts.pop(0)
        candidate = resolved + "/" + part
        full = root + candidate
        if os.path.islink(full):
            hops += 1
            assert hops < 40, "symbolic link loop at " + candidate
            target = os.readlink(full)
            if target.startswith("/"):
                resolved = ""
            parts = [p for p in target.split("/") if p] + parts
        else:
            resolved = candidate
    return root + resolved


class Service:
    """The service running on a simulated unit, with its standard output
    collected line by line."""

    def __init__(self, unit_path, command=None):
        self.unit_path = unit_path
        argv = [UNITSIM_RUN, "--unit", unit_path, "--"] + (command or [SERVICE])
        self.started = time.monotonic()
        self.process = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        stdin=subprocess.DEVNULL)
        self.pid = self.process.pid
        self._out = bytearray()
        self._lines = []          # (monotonic time, bytes) per line
        self._lock = threading.Condition()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        self.context = zmq.Context.instance()
        self.sockets = []

    def _read(self):
        while True:
            chunk = self.process.stdout.readline()
            if not chunk:
                break
            with self._lock:
                self._out += chunk
                self._lines.append((time.monotonic(), chunk))
                self._lock.notify_all()
        with self._lock:
            self._lock.notify_all()

    @property
    def output(self):
        with self._lock:
            return bytes(self._out)

    def lines(self):
        with self._lock:
            return list(self._lines)

    def wait_for_output(self, text, timeout=10.0):
        """Waits until standard output contains text (bytes); returns the
        time the line holding it arrived."""
        deadline = time.monotonic() + timeout
        with self._lock:
            while True:
                if text in self._out:
                    seen = b""
                    for stamp, line in self._lines:
                        seen += line
                        if text in seen:
                            return stamp
                remaining = deadline - time.monotonic()
                if remaining <= 0 or (self.process.poll() is not None and not self._reader.is_alive()):
                    raise AssertionError("no %r in output %r" % (text, bytes(self._out)))
                self._lock.wait(min(remaining, 0.1))

    def wait_ready(self, timeout=10.0):
        """Waits for the banner: by then the unit's namespaces are set up."""
        return self.wait_for_output(BANNER, timeout)

    def path(self, path):
        """A path inside the unit, as seen from the test process."""
        return resolve_in("/proc/%d/root" % self.pid, path)

    def endpoint(self, name):
        """The ipc endpoint /run/shm/zmq/<name> of the unit."""
        return "ipc://" + self.path("/run/shm/zmq") + "/" + name

    def socket(self, kind, name, bind=False, subscribe=b""):
        sock = self.context.socket(kind)
        sock.setsockopt(zmq.LINGER, 0)
        if kind == zmq.SUB:
            sock.setsockopt(zmq.SUBSCRIBE, subscribe)
        if bind:
            sock.bind(self.endpoint(name))
        else:
            sock.connect(self.endpoint(name))
        self.sockets.append(sock)
        return sock

    def health_monitor(self):
        """A subscriber bound where the heartbeats go."""
        return self.socket(zmq.SUB, "HbBeats", bind=True)

    def identity_subscriber(self):
        return self.socket(zmq.SUB, "PromStat")

    def send_command(self, *frames):
        """Pushes one message (frames as bytes) to the command socket."""
        sock = getattr(self, "_command", None)
        if sock is None:
            sock = self._command = self.socket(zmq.PUSH, "PromCmd")
        sock.send_multipart(list(frames), copy=True)

    def set_name(self, name):
        self.send_command(b"Set Prom", json.dumps({"Unit Name": name}).encode())

    def system_control(self, timeout=5.0):
        """An XPUB bound where the service's stop subscription connects;
        returns once the service has subscribed, so nothing sent is lost."""
        sock = self.socket(zmq.XPUB, "SysCntl", bind=True)
        message = receive(sock, timeout)
        assert message == [b"\x01ServiceStop"], message
        return sock

    def alive_after(self, seconds):
        """True when the process is still running after `seconds`."""
        try:
            self.process.wait(seconds)
            return False
        except subprocess.TimeoutExpired:
            return True

    def stop(self, sig=signal.SIGTERM, timeout=15.0):
        """Signals the service and returns its exit status."""
        if self.process.poll() is None:
            self.process.send_signal(sig)
        return self.wait(timeout)

    def wait(self, timeout=15.0):
        try:
            status = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            raise AssertionError("service did not exit within %s s" % timeout)
        self._reader.join(5)
        return status

    def close(self):
        for sock in self.sockets:
            sock.close(0)
        self.sockets = []
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.process.stdout.close()
        self.process.stderr.close()


def identity(name, serial="123456"):
    """The exact identity text for a valid record."""
    return ('{"Serial Number": "%s", "Unit Name": "%s"}' % (serial, name)).encode()


INVALID_IDENTITY = b'{"Serial Number": "INVLD", "Unit Name": "EEPROM Invalid"}'


def next_identity(sub, timeout=3.0):
    """The text of the next PromInfo message (frames checked)."""
    frames = receive(sub, timeout)
    assert frames is not None, "no PromInfo within %s s" % timeout
    assert len(frames) == 2 and frames[0] == b"PromInfo", frames
    return frames[1]


def wait_identity(sub, text, timeout=10.0):
    """Waits for a PromInfo message carrying exactly text."""
    deadline = time.monotonic() + timeout
    seen = []
    while time.monotonic() < deadline:
        frames = receive(sub, max(0.1, deadline - time.monotonic()))
        if frames is None:
            break
        seen.append(frames[1])
        if frames[1] == text:
            return
    raise AssertionError("no PromInfo %r; saw %r" % (text, seen))


def receive(sock, timeout=3.0):
    """One whole message as a list of frames, or None after timeout s."""
    if sock.poll(int(timeout * 1000)):
        return sock.recv_multipart()
    return None
