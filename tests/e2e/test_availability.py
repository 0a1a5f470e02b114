"""What the service still promises while its own safety measures are in
place: a lock it cannot take costs a warning, never its start (a failed bind
is reported and the service runs on), and the subscription limit lets any
plausible subscriber in, a forwarding proxy's long subscriptions included."""
import pytest
import zmq

import service as svc

STOP = b'[{"HwMgrFPGA": null}]'
LOCK = b"/run/shm/zmq/eeprom-manager.lock"
NO_CAPABILITIES = "setpriv --inh-caps=-all --ambient-caps=-all --bounding-set=-all --"


@pytest.mark.parametrize("prepare, cause, unbound", [
    # Something at the lock's path that cannot be replaced.
    ("mkdir $L", b" is a directory, which cannot be removed: Is a directory", b""),
    # The packaged unit's root without capabilities, in a directory it may not
    # write in: its binds fail as they did before there was a lock.
    ("chmod 0555 /run/shm/zmq && set -- " + NO_CAPABILITIES + ' "$@"', b" cannot be created: Permission denied",
     b"EEPROM ERR: Could not bind one or more sockets in JsonPromPublishCreate.\n"
     b"ZMQU Error: Unable to connet or bind socket ipc:///run/shm/zmq/PromCmd\n"),
], ids=["directory-at-the-lock", "read-only-directory-no-capabilities"])
def test_a_lock_that_cannot_be_taken_costs_one_warning_and_the_service_runs_on(run_service, unit_dir, prepare,
                                                                            cause, unbound):
    svc.provision(unit_dir)
    script = "exec 2>&1; L=/run/shm/zmq/eeprom-manager.lock; " + prepare + ' && exec "$@"'
    service = run_service(svc.unit_description(), unit_dir, ["sh", "-c", script, "sh"] + svc.service_command())
    # The peers the service connects to, bound by the unit's root.
    monitor = service.health_monitor()
    control = service.system_control()
    for _ in range(2):
        assert svc.receive(monitor, 3) == [b"HbMon", b"Eeprom Manager"]
    if not unbound:
        assert svc.next_identity(service.identity_subscriber()) == svc.identity("Unit A")
    control.send_multipart([b"ServiceStop", STOP])
    assert service.wait(10) == 0
    assert service.output == (b"Warning: no single-instance lock (" + LOCK + cause + b"); running without it.\n"
                              + svc.BANNER + unbound)


def test_long_subscriptions_are_served_like_short_ones(run_service, unit_dir):
    """A subscriber whose other subscriptions are long (a proxy forwarding its
    clients') still gets PromInfo, up to the limit of 4 KiB a subscription."""
    svc.provision(unit_dir)
    service = run_service(svc.unit_description(), unit_dir)
    sub = service.context.socket(zmq.SUB)
    service.sockets.append(sub)
    for topic in (b"x" * 300, b"PromInfo" + b"y" * (4096 - 8), b"Prom"):
        sub.setsockopt(zmq.SUBSCRIBE, topic)
    sub.connect(service.endpoint("PromStat"))
    assert svc.next_identity(sub) == svc.identity("Unit A")
    # Each message once, however many of the subscriptions match it.
    assert svc.next_identity(sub) == svc.identity("Unit A")
    assert svc.receive(sub, 0.5) is None
    assert service.stop() == 0
