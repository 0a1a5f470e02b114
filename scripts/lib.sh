# What the project's shell scripts share, sourced first thing:
#   . "$(dirname "$0")/lib.sh"              (a script in scripts/)
#   . "$(dirname "$0")/../scripts/lib.sh"   (one in bench/ or board/)
# It keeps their conventions: --help prints the script's opening comment
# (what it does and its usage) and nothing else; a usage error is one
# "Error:" line and status 2, before anything is done; a failure while it
# runs is an "Error:" line and status 1, and a command that fails
# unexpectedly names itself. It sets bash's strict mode and knows the
# repository's root (repo), the package version and where promtool is.
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# The script as its errors name it: scripts/test, bench/run, ...
script_name=$(basename "$(dirname "$0")")/$(basename "$0")
trap 'echo "Error: $script_name: \"$BASH_COMMAND\" failed" >&2; exit 1' ERR

# The script's opening comment (the lines after "#!" up to the first one
# that is not a comment), without the comment marks.
usage() { sed -n '2,${/^#/!q;s/^# \{0,1\}//;p}' "$0"; }
usage_error() { echo "Error: $*" >&2; exit 2; }
fail() { echo "Error: $*" >&2; exit 1; }
# OPTION ARGC [WHAT]: a usage error unless OPTION has a value after it
# (call it with "$1" $#).
needs_value() { [ "$2" -ge 2 ] || usage_error "$1 needs a value${3:+ ($3)}"; }

# The folder where the sysroot and the emulated unit's images are cached.
cache_dir() { echo "${EEPROM_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/eeprom-manager}"; }
# The Debian mirror the host's apt uses; Debian's own otherwise.
debian_mirror() {
  local mirror
  mirror=$(sed -n 's/^URIs: *\([^ ]*debian\)\/* *$/\1/p; s/^deb \+\(http[^ ]*debian\)\/* .*/\1/p' \
             /etc/apt/sources.list.d/*.sources /etc/apt/sources.list 2>/dev/null | head -n 1 || true)
  echo "${mirror:-http://deb.debian.org/debian}"
}

# The packages' version, from debian/changelog.
package_version() { sed -n '1s/^[^(]*(\([^)]*\)).*/\1/p' "$repo/debian/changelog"; }

# A native promtool's absolute path: PROMTOOL, else the host tools of an
# armhf build (build-armhf/host/bin), else build/bin, else the PATH; empty
# when there is none.
find_promtool() {
  local p
  for p in "${PROMTOOL:-}" "$repo/build-armhf/host/bin/promtool" "$repo/build/bin/promtool" \
           "$(command -v promtool || true)"; do
    if [ -n "$p" ] && [ -x "$p" ]; then realpath "$p"; return 0; fi
  done
}

# PACKAGE...: installs with apt-get those of the Debian packages that are
# not installed for this machine's architecture (or for all: an armhf copy
# does not count); as root, or through sudo. Says what it installs, and
# apt-get's progress, on standard error.
install_missing() {
  local native p missing=() sudo=()
  native=$(dpkg --print-architecture)
  for p in "$@"; do
    dpkg-query -W -f='${Status} ${Architecture}\n' "$p" 2>/dev/null \
      | grep -qE "^install ok installed ($native|all)\$" || missing+=("$p")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || fail "missing packages: ${missing[*]}; run this as root (apt-get install ${missing[*]})"
    sudo=(sudo)
  fi
  echo "Installing: ${missing[*]}" >&2
  { "${sudo[@]}" apt-get update -q &&
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends \
      -o DPkg::Lock::Timeout=600 "${missing[@]/%/:$native}"
  } >&2 || fail "apt-get could not install ${missing[*]}"
}
