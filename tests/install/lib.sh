# Throwaway Debian roots for the package tests (tests/install/run and
# tests/install/upgrade), sourced from the project's top directory.
arch=$(dpkg --print-architecture)
cache=${EEPROM_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/eeprom-manager}
roots=$(mktemp -d /tmp/eeprom-install-XXXXXX)
trap 'for r in "$roots"/*/; do umount -R "$r" 2>/dev/null || true; done; rm -rf "$roots"' EXIT
fail() { echo "Error: $*" >&2; exit 1; }

# A Debian 12 root with the Debian packages the given packages depend on
# (and systemd), made once with mmdebstrap and cached. Prints its folder.
base_root() {   # DEB...
  local deps base
  # Debian's packages only: ours come from dist/.
  deps=$( (echo systemd; for d in "$@"; do dpkg-deb -f "$d" Depends | tr ',' '\n'; done) \
         | sed 's/(.*//; s/|.*//; s/ //g' | grep -v '^eeprom-manager' | sort -u | paste -sd,)
  base=$cache/root-$arch-bookworm-$(echo "$deps" | sha256sum | cut -c1-12)
  if [ ! -f "$base/.complete" ]; then
    rm -rf "$base" && mkdir -p "$cache"
    echo "Preparing a Debian root with $deps in $base (cached)" >&2
    mmdebstrap --variant=apt --include="$deps" bookworm "$base" >&2
    touch "$base/.complete"
  fi
  echo "$base"
}

# A copy of base_root's root in a new folder, with /proc. Prints the folder.
new_root() {   # DEB...
  local base root
  base=$(base_root "$@")
  root=$(mktemp -d "$roots/root-XXXXXX")
  cp -a "$base/." "$root/"
  # A mount point of its own (unitsim-run makes the mounts below / private),
  # with /proc (the loader needs it for $ORIGIN).
  mount --bind "$root" "$root"
  mount --bind /proc "$root/proc"
  echo "$root"
}

# A simulated unit in ROOT: /unit/unit.json, its chip holding serial 654321
# and NAME for eth0's MAC address, made by the root's promtool.
simulated_unit() {   # ROOT NAME
  mkdir -p "$1/unit"
  chroot "$1" promtool image create --serial 654321 --mac 02:00:00:00:00:01 --name "$2" -o /unit/chip.bin
  cat > "$1/unit/unit.json" <<'JSON'
{ "eth0": { "mac": "02:00:00:00:00:01" },
  "i2c": { "buses": { "0": [], "1": [ { "model": "24c32", "address": "0x50", "image": "chip.bin" } ], "2": [] } } }
JSON
}
