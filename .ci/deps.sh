#!/usr/bin/env bash
# Installs what the build needs on Debian 12, only when something is missing.
# Usage: .ci/deps.sh core|windows|all
set -euo pipefail
what=${1:-all}

core_pkgs=(build-essential cmake pkg-config git unzip python3 clang-format
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  clang libclang-rt-14-dev
  libexpat1-dev libxml2-utils
  libssl-dev openssl libengine-gost-openssl
  lintian dpkg-dev man-db)
win_pkgs=(g++-mingw-w64-i686 mingw-w64-tools libwine-dev wine wine32:i386 wine64 locales)

missing=()
want=()
case "$what" in
  core) want=("${core_pkgs[@]}") ;;
  windows) want=("${win_pkgs[@]}") ;;
  all) want=("${core_pkgs[@]}" "${win_pkgs[@]}") ;;
  *) echo "usage: $0 core|windows|all" >&2; exit 2 ;;
esac

for p in "${want[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

need_i386=no
if [ "$what" != core ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  need_i386=yes
fi

if [ ${#missing[@]} -gt 0 ] || [ $need_i386 = yes ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  [ $need_i386 = yes ] && $SUDO dpkg --add-architecture i386
  echo "Installing: ${missing[*]}"
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

if [ "$what" != core ] && ! locale -a 2>/dev/null | grep -qi '^ru_RU.utf8$'; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO sed -i 's/^# *ru_RU.UTF-8/ru_RU.UTF-8/' /etc/locale.gen
  grep -q '^ru_RU.UTF-8' /etc/locale.gen || echo 'ru_RU.UTF-8 UTF-8' | $SUDO tee -a /etc/locale.gen >/dev/null
  $SUDO locale-gen >/dev/null
fi
exit 0
