# Checks of a power cut during a chip write or a rename, on the emulated
# unit (sourced after debian/tests/lib.sh). A run of scripts/unit-vm with
# --cut-after N lets the chip file take only the first N writes of that run;
# the next start of the unit (its service restarted on the chip's new
# content) sees what the cut left. Each check looks at it three ways:
# the identity the service publishes, promtool doctor's cause, and the host's
# decoding of the chip file (host_ask chip-show).

# What doctor says (--json), whatever its exit status; its cause, "null"
# when it finds none.
doctor_report() { promtool doctor --json --timeout 5 2>/dev/null || true; }
doctor_cause() {
  doctor_report | sed -n 's/^ *"cause": "\{0,1\}\([a-z_]*\)"\{0,1\},\{0,1\}$/\1/p'
}

# The identity published within SECONDS, or nothing.
published() {
  { promtool status --timeout "$1" 2>/dev/null || true; } | sed -n 's/^Identity: //p'
}

# Starts the service if a step stopped it (chip_write), and waits until it
# has published (or had the time to).
wait_published() {
  is_active || systemctl start eeprom-manager.service
  wait_for 60 is_active || fail "eeprom-manager is not active"
  wait_for 30 serves || true
}

# A whole record: SERIAL NAME published, doctor healthy, the host agrees.
expect_record() {   # WHAT SERIAL NAME
  local what=$1 published cause host
  wait_published
  published=$(published 10)
  [ "$published" = "$(identity_of "$2" "$3")" ] || fail "$what: published '$published', expected $2 '$3'"
  cause=$(doctor_cause)
  [ "$cause" = null ] || fail "$what: doctor names '$cause'"
  host=$(host_ask chip-show)
  [ "$host" = "$2/$3" ] || fail "$what: the host decodes the chip file as '$host'"
  ok "$what: the chip holds $2 '$3': published, doctor healthy, the host's decoding the same"
}

# What a chip write cut short leaves: no unit's record.
expect_interrupted() {   # WHAT
  local what=$1 published cause host
  wait_published
  published=$(published 10)
  [ "$published" = "$(identity_of INVLD "EEPROM Invalid")" ] || fail "$what: published '$published'"
  cause=$(doctor_cause)
  [ "$cause" = interrupted_write ] || fail "$what: doctor names '$cause', not interrupted_write"
  host=$(host_ask chip-show)
  [ "$host" = interrupted ] || fail "$what: the host decodes the chip file as '$host'"
  ok "$what: INVLD published, doctor names interrupted_write, the host sees an interrupted write"
}

# A rename torn inside the name's cipher block: this unit's record, whose
# name is not UTF-8, so nothing is published.
expect_torn_name() {   # WHAT SERIAL
  local what=$1 report published host
  wait_published
  published=$(published 4)
  [ -z "$published" ] || fail "$what: an identity is published: $published"
  report=$(doctor_report)
  [[ $report == *'"cause": "bad_record"'* && $report == *"is not UTF-8; a rename repairs it"* ]] \
    || fail "$what: doctor says $report"
  host=$(host_ask chip-show)
  [[ $host == "$2/"* ]] || fail "$what: the host decodes the chip file as '$host'"
  ok "$what: nothing published, doctor names bad_record (a rename repairs it), the host reads serial $2"
}

# promtool chip write IMAGE, the service stopped for it; the chip file
# keeps what the run's cut lets through.
chip_write() {   # IMAGE
  systemctl stop eeprom-manager.service
  promtool chip write --yes "$1" >/dev/null || fail "promtool chip write $1 failed"
  note "promtool chip write $1 done (as far as the unit can tell)"
}

# A rename through the service, which may be publishing nothing (a torn
# name): set-name waits for the new name to be published.
rename_unit() {   # NAME
  is_active || systemctl start eeprom-manager.service
  wait_for 60 is_active || fail "eeprom-manager does not start"
  promtool set-name --timeout 30 "$1" >/dev/null || fail "promtool set-name '$1' failed"
  note "renamed to '$1' (as far as the unit can tell)"
}
