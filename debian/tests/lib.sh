# Shared by the unit's system checks. They run as root on a unit (real, or
# the emulated one of scripts/unit-vm) with eeprom-manager and
# eeprom-manager-tools installed, and print one "ok:" line per check.
# Optional environment:
#   UNIT_SERIAL, UNIT_NAME  the identity the unit was provisioned with
#   UNIT_I2C_DRIVER         the kernel driver bus 1 must be driven by
#   UNIT_VM_CONSOLE         the emulated unit's console: the host answers
#                           questions about the chip file there
set -euo pipefail
export LC_ALL=C.UTF-8

ok() { echo "ok: $*"; }
fail() { echo "FAIL: $*"; exit 1; }
note() { echo "  $*"; }

# Runs COMMAND every 0.2 s until it succeeds or SECONDS have passed.
wait_for() {
  local end=$((SECONDS + $1)); shift
  until "$@" >/dev/null 2>&1; do
    [ $SECONDS -lt $end ] || return 1
    sleep 0.2
  done
}

prop() { systemctl show -P "$1" eeprom-manager.service; }
# The chip's lock: the running service's POSIX write lock on the device of
# the chip's bus (a line of /proc/locks: its pid and the device's inode).
holds_chip_lock() {
  local inode
  inode=$(stat -L -c '%i' /dev/i2c-1) || return 1
  grep -Eq "POSIX +ADVISORY +WRITE +$(main_pid) [0-9a-f]+:[0-9a-f]+:$inode " /proc/locks
}
# When systemd first started the service in this boot, in seconds since the
# kernel started (from the journal: a later restart, such as the one a
# package installation makes, does not count).
boot_start() {
  journalctl -b -u eeprom-manager.service -o short-monotonic --no-pager 2>/dev/null \
    | sed -n 's/^\[ *\([0-9.]*\)\] .* Started eeprom-manager\.service.*/\1/p' | head -n 1
}
main_pid() { prop MainPID; }
is_active() { [ "$(prop ActiveState)" = active ]; }
serves() { promtool status --timeout 3 >/dev/null 2>&1; }

# The published identity, as {"Serial Number": ..., "Unit Name": ...}.
identity() {
  promtool status --timeout "${1:-5}" 2>/dev/null | sed -n 's/^Identity: //p'
}
identity_of() {   # SERIAL NAME
  printf '{"Serial Number": "%s", "Unit Name": "%s"}' "$1" "$2"
}

# A field of promtool's decoding of the chip ("Serial number", "Unit name").
chip_field() {
  promtool chip show | sed -n "s/^$1: *//p"
}

eth0_mac() { cat /sys/class/net/eth0/address; }

# Asks the emulator's host about the chip file behind the unit's chip
# (board/console.py answers): chip-sha256, its SHA-256; chip-show,
# "SERIAL/NAME" as the host's promtool decodes it, "interrupted" for what a
# chip write cut short leaves, "invalid", or "unknown" without a promtool;
# either is "no chip" on a unit without one.
# Fails on a real unit.
host_ask() {
  [ -n "${UNIT_VM_CONSOLE:-}" ] || return 1
  local answer
  printf '%s%s\n' '@@unit' "vm-ask:$1" > "$UNIT_VM_CONSOLE"
  IFS= read -r answer < "$UNIT_VM_CONSOLE"
  printf '%s' "${answer%$'\r'}" | base64 -d
}

# Starts the service if a check left it stopped, and waits until it serves.
ensure_serving() {
  is_active || systemctl start eeprom-manager.service
  wait_for 30 serves || fail "eeprom-manager does not serve after a start"
}
