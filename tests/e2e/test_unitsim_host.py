"""What a simulated unit does to the host it runs on: the files it names and
everything under /root stay the host's own, nothing is left behind, and a
chroot whose root is a plain directory serves as a host too. Each test runs
in a mount namespace of its own, so the host it sets up (a /root without
zel_sysapp, a /run without shm, a chroot) is a private copy."""
import json
import os
import subprocess

import pytest

import service as svc


def in_private_host(script, tmp_path, **env):
    """Runs the shell script as root in a private copy of this host's mounts
    (which a chroot whose root is no mount point cannot make)."""
    private = ["unshare", "-m", "--propagation", "private"]
    if subprocess.run(private + ["true"], capture_output=True).returncode != 0:
        pytest.skip("no private mount namespace here (a chroot whose root is no mount point, or not root)")
    env = dict(os.environ, UNITSIM_RUN=svc.UNITSIM_RUN, T=str(tmp_path), **env)
    result = subprocess.run(private + ["sh", "-euc", script], capture_output=True, text=True, timeout=60, env=env)
    assert result.returncode == 0, "status %d\n%s%s" % (result.returncode, result.stderr, result.stdout)
    return result.stdout


def test_files_under_a_covered_root_and_run_are_the_hosts_and_nothing_is_left_behind(tmp_path):
    unit = {"eth0": None, "zel_sysapp": [{"path": "prom_utility", "source": "tool.txt"}],
            "i2c": {"log": "../transfers.log", "buses": {"1": [
                {"model": "24c32", "address": "0x50", "image": "chip.bin", "write_cycle_ms": 0},
                {"model": "24c32", "address": "0x51", "image": "../fresh.bin", "write_cycle_ms": 0}]}}}
    (tmp_path / "unit.json").write_text(json.dumps(unit))
    (tmp_path / "tool.txt").write_text("seeded\n")
    (tmp_path / "chip.bin").write_bytes(bytes(4096))
    out = in_private_host(r'''
        mount -t tmpfs host-root /root && chmod 700 /root    # no /root/zel_sysapp here
        mount -t tmpfs host-run /run                         # and no /run/shm
        mkdir /root/repo && cp "$T"/unit.json "$T"/chip.bin "$T"/tool.txt /root/repo/
        "$UNITSIM_RUN" --unit /root/repo/unit.json -- sh -euc '
            i2ctransfer -y 1 w4@0x50 0x00 0x00 0xab 0xcd
            i2ctransfer -y 1 w3@0x51 0x00 0x10 0x5a
            i2ctransfer -y 1 w2@0x50 0x00 0x00 r2 > /root/repo/dump.txt
            cat /root/zel_sysapp/prom_utility
            echo private > /root/made-in-the-unit
            stat -c "%a" /root'
        od -An -tx1 -N2 /root/repo/chip.bin
        od -An -tx1 -j16 -N1 /root/fresh.bin
        cat /root/repo/dump.txt
        grep -c "i2c-1 W 0x5" /root/transfers.log
        ls -a /root; ls -a /run
    ''', tmp_path)
    assert out.split() == ["seeded", "700",         # inside: the source file, /root's own mode
                           "ab", "cd", "5a",        # the chips' images, one made on the host
                           "0xab", "0xcd",          # a file written under /root by a command
                           "3",                     # the transfer log
                           ".", "..", "fresh.bin", "repo", "transfers.log",   # nothing private
                           ".", ".."], out          # no /run/shm left on the host


def test_a_chroot_whose_root_is_a_plain_directory_runs_units_and_keeps_their_mounts(tmp_path):
    (tmp_path / "unit.json").write_text(json.dumps({"eth0": {"mac": "02:00:00:00:00:07"}}))
    out = in_private_host(r'''
        mount --make-rshared /          # as on a systemd host: mounts would spread
        R="$T/chroot"
        mkdir "$R"
        for d in /*; do
            [ -d "$d" ] && [ ! -L "$d" ] || continue
            mkdir "$R$d" && mount --rbind "$d" "$R$d"
        done
        for d in /*; do [ -L "$d" ] && ln -s "$(readlink "$d")" "$R$d"; done
        chroot "$R" "$UNITSIM_RUN" --unit "$T/unit.json" -- sh -c 'ip -o link show eth0; ls /run/shm'
        grep -c " unitsim " /proc/self/mountinfo || true
    ''', tmp_path)
    assert "link/ether 02:00:00:00:00:07 " in out, out
    assert out.split()[-2:] == ["zmq", "0"], out
