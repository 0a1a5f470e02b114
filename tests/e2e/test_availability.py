"""What the service still promises while its own safety measures are in
place: a directory it may not write in costs it its endpoints there (each
failed bind reported), never its start or its lock on the chip, and the
subscription limit lets any plausible subscriber in, a forwarding proxy's
long subscriptions included."""
import zmq

import service as svc

STOP = b'[{"HwMgrFPGA": null}]'
NO_CAPABILITIES = "setpriv --inh-caps=-all --ambient-caps=-all --bounding-set=-all --"


def test_a_directory_it_may_not_write_in_costs_the_binds_there_never_the_start_or_the_lock(run_service, unit_dir):
    svc.provision(unit_dir)
    # The packaged unit's root without capabilities, in a read-only endpoint
    # directory.
    script = "exec 2>&1; chmod 0555 /run/shm/zmq && exec " + NO_CAPABILITIES + ' "$@"'
    service = run_service(svc.unit_description(), unit_dir, ["sh", "-c", script, "sh"] + svc.service_command())
    # The peers the service connects to, bound by the unit's root.
    monitor = service.health_monitor()
    control = service.system_control()
    for _ in range(2):
        assert svc.receive(monitor, 3) == [b"HbMon", b"Eeprom Manager"]
    second = svc.in_unit(service.pid, svc.service_command())
    assert second.returncode == 1 and b"already running on this unit (pid %d)" % service.pid in second.stderr
    control.send_multipart([b"ServiceStop", STOP])
    assert service.wait(10) == 0
    assert service.output == (svc.BANNER + b"EEPROM ERR: Could not bind one or more sockets in JsonPromPublishCreate.\n"
                              b"ZMQU Error: Unable to connet or bind socket ipc:///run/shm/zmq/PromCmd\n")


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
