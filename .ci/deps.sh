#!/usr/bin/env bash
# Installs what the build needs on Debian 12, only when something is missing.
# Usage: .ci/deps.sh core|windows-build|windows-run|windows|all
#   core           the Linux build, its tests and packages
#   windows-build  the cross compiler and the IDL tools: enough to build LumoDEZLib.dll
#   windows-run    32-bit Wine and the Russian locale, to run the server's tests
#   windows        both windows sets; all: every set
#
# A package mirror can be caught mid-sync (an index of one architecture or suite fails to
# download). `apt-get update` is therefore tried a few times and then taken as it is: the
# lists that did arrive are used, and only a package that really cannot be installed ends
# the run, with apt's own reason.
#
# Exit status: 0 everything asked for is installed; 1 a package could not be installed
# (apt's reason on stderr); 3 only for windows-run: 32-bit Wine cannot be installed on this
# machine (the reason on stderr and in build/wine-unavailable.txt), everything else is.
set -euo pipefail
what=${1:-all}
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

core_pkgs=(build-essential cmake pkg-config git unzip python3 clang-format
  python3-setuptools python3-wheel python3-venv python3-pip
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  clang libclang-rt-14-dev
  libexpat1-dev libxml2-utils
  libssl-dev openssl libengine-gost-openssl
  lintian dpkg-dev man-db)
# The type library imports stdole2.tlb: libwine (64-bit, pulled in by libwine-dev) ships it.
win_build_pkgs=(g++-mingw-w64-i686 mingw-w64-tools libwine-dev python3)
win_run_pkgs=(wine wine32:i386 wine64 locales)

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo

missing_of() {  # packages... -> the ones not installed, one per line
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
  done
}

updated=no
update_problem=""  # what a failed update could not fetch, for the reason of a failed install
update_lists() {  # once per run; a failed update is retried, then the lists are taken as they are
  [ $updated = yes ] && return 0
  updated=yes
  local try
  for try in 1 2 3; do
    if $SUDO apt-get update -q >/tmp/lumo-apt-update.log 2>&1; then return 0; fi
    echo "deps: apt-get update failed (try $try of 3)" >&2
    [ $try -lt 3 ] && sleep $((5 * try))
  done
  echo "deps: going on with the package lists that were fetched; apt-get update said:" >&2
  grep -E '^(E|W):' /tmp/lumo-apt-update.log | head -5 | sed 's/^/  /' >&2 || true
  update_problem=$(grep -m1 '^E: Failed to fetch' /tmp/lumo-apt-update.log | sed -E 's/^E: //; s/ +\[IP:.*//' || true)
}

apt_reason=""
install() {  # packages... ; sets apt_reason on failure
  local log=/tmp/lumo-apt-install.log
  update_lists
  echo "Installing: $*"
  if DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q -o DPkg::Lock::Timeout=120 --no-install-recommends "$@" \
      >"$log" 2>&1; then
    return 0
  fi
  # apt's first unmet dependency (the one that names what is missing) and its final word.
  apt_reason=$( { grep -m1 -E '^ [^ ].* : (Depends|PreDepends|Conflicts|Breaks)' "$log" |
                    sed -E 's/^ +//; s/ +/ /g'
                  grep -E '^E:' "$log" | tail -1; } | paste -sd ';' | sed 's/;/; /g' || true)
  [ -n "$apt_reason" ] || apt_reason=$(tail -1 "$log")
  [ -z "$update_problem" ] || apt_reason="$apt_reason (apt-get update: $update_problem)"
  return 1
}

require() {  # set-name packages...: installs what is missing, or ends the run
  local name=$1
  shift
  local -a missing
  mapfile -t missing < <(missing_of "$@")
  [ ${#missing[@]} -eq 0 ] && return 0
  if ! install "${missing[@]}"; then
    echo "deps: cannot install the $name packages (${missing[*]}): $apt_reason" >&2
    exit 1
  fi
}

ensure_i386() {
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
    updated=no
  fi
}

ensure_ru_locale() {
  locale -a 2>/dev/null | grep -qi '^ru_RU.utf8$' && return 0
  $SUDO sed -i 's/^# *ru_RU.UTF-8/ru_RU.UTF-8/' /etc/locale.gen
  grep -q '^ru_RU.UTF-8' /etc/locale.gen || echo 'ru_RU.UTF-8 UTF-8' | $SUDO tee -a /etc/locale.gen >/dev/null
  $SUDO locale-gen >/dev/null
}

windows_run() {
  ensure_i386
  local -a missing
  mapfile -t missing < <(missing_of "${win_run_pkgs[@]}")
  if [ ${#missing[@]} -gt 0 ] && ! install "${missing[@]}"; then
    mkdir -p "$root/build"
    echo "$apt_reason" >"$root/build/wine-unavailable.txt"
    echo "deps: wine32:i386 cannot be installed: $apt_reason" >&2
    exit 3
  fi
  rm -f "$root/build/wine-unavailable.txt"
  ensure_ru_locale
}

case "$what" in
  core) require core "${core_pkgs[@]}" ;;
  windows-build) require windows-build "${win_build_pkgs[@]}" ;;
  windows-run) windows_run ;;
  windows) require windows-build "${win_build_pkgs[@]}"; windows_run ;;
  all) require core "${core_pkgs[@]}"; require windows-build "${win_build_pkgs[@]}"; windows_run ;;
  *) echo "usage: $0 core|windows-build|windows-run|windows|all" >&2; exit 2 ;;
esac
exit 0
