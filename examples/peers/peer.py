#!/usr/bin/python3
"""An example peer of the EEPROM manager, in Python with pyzmq: it reads the
unit's identity, watches the service's heartbeat, renames the unit and
confirms the rename, and stops the service. doc/wire-protocol.md describes
every message used here.

Run it on the unit (or a simulated one) while the service runs:
    peer.py NEW-NAME
NEW-NAME should be at most 15 bytes: the service stores no more.

On a unit, HbBeats belongs to the health monitor and SysCntl to the system
controller; this peer binds both itself, taking their places, to show both
ends of those channels. Exit status 0 when every step was seen to work."""
import json
import sys
import time

import zmq

ENDPOINTS = "ipc:///run/shm/zmq/"
SERVICE_NAME = b"Eeprom Manager"             # what its heartbeat carries
STOP_REQUEST = [b"ServiceStop", b'[{"HwMgrFPGA": null}]']
TIMEOUT = 10.0                               # seconds for each step


def receive(sock, timeout):
    """The frames of the next message, or None after timeout seconds."""
    return sock.recv_multipart() if sock.poll(int(timeout * 1000)) else None


def wait_for(sock, wanted, timeout=TIMEOUT):
    """The first message for which wanted(frames) is true; None if none
    comes within timeout seconds."""
    deadline = time.monotonic() + timeout
    while True:
        frames = receive(sock, max(0.0, deadline - time.monotonic()))
        if frames is None or wanted(frames):
            return frames


def unit_name(frames):      # the name a PromInfo message carries
    return json.loads(frames[1])["Unit Name"]


def fail(step):
    print("peer: no " + step, file=sys.stderr)
    sys.exit(1)


def main(new_name):
    context = zmq.Context()
    # The service connects to HbBeats and SysCntl, so a peer binds them. It
    # binds PromStat and PromCmd, so a peer connects to those. Either side
    # may start first: libzmq connects once both are there.
    heartbeats = context.socket(zmq.SUB)
    heartbeats.subscribe(b"HbMon")
    heartbeats.bind(ENDPOINTS + "HbBeats")
    # An XPUB rather than a PUB: it hands us each subscription as a message,
    # so we learn when the service listens. A PUB drops what it sends before
    # that, without a word.
    control = context.socket(zmq.XPUB)
    control.bind(ENDPOINTS + "SysCntl")
    identity = context.socket(zmq.SUB)
    identity.subscribe(b"PromInfo")
    identity.connect(ENDPOINTS + "PromStat")
    commands = context.socket(zmq.PUSH)
    commands.connect(ENDPOINTS + "PromCmd")

    # 1. The identity, published every second.
    frames = receive(identity, TIMEOUT) or fail("identity")
    print("identity:", frames[1].decode())
    if json.loads(frames[1])["Serial Number"] == "INVLD":
        fail("valid record: the service would ignore a rename")

    # 2. The heartbeat, every second, with the service's name; other
    # services of the unit send theirs to the same endpoint.
    wait_for(heartbeats, lambda f: f[1:] == [SERVICE_NAME]) or fail("heartbeat")
    print("heartbeat:", SERVICE_NAME.decode())

    # 3. The rename. No reply comes: the service writes the chip (about
    # 0.7 s) and publishes the new name at its next tick. Identities sent
    # before the write is done still carry the old name, so wait for the
    # new one rather than taking the next message.
    body = json.dumps({"Unit Name": new_name}).encode()
    commands.send_multipart([b"Set Prom", body])
    wait_for(identity, lambda f: unit_name(f) == new_name) or fail("identity with the new name")
    print("renamed:", new_name)

    # 4. The stop request, once the service's subscription is here: the
    # XPUB passes it on as one frame, byte 1 and then the topic.
    wait_for(control, lambda f: f == [b"\x01ServiceStop"]) or fail("subscription to ServiceStop")
    control.send_multipart(STOP_REQUEST)
    # No reply here either: the service has stopped when its heartbeat
    # stops. One sent just before it stopped may still come; after 3 s
    # (three periods) without one, it has gone.
    deadline = time.monotonic() + TIMEOUT
    while wait_for(heartbeats, lambda f: f[1:] == [SERVICE_NAME], 3.0):
        if time.monotonic() > deadline:
            fail("end of the heartbeat: the service runs on")
    print("stopped")
    context.destroy(linger=0)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("Usage: peer.py NEW-NAME")
    main(sys.argv[1])
