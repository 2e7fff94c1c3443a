#!/usr/bin/env bash
# The Debian packages on this machine: lintian finds no error; the Python module's tests
# pass on the build tree; installed with dpkg -i, dezsign signs (test mode and a real key
# made with the installed spki1-tool), the manual page and completion answer, consumers
# build with pkg-config and find_package, Python imports the installed module; dpkg -r
# purges them again (also when a step fails) and nothing of them is left.
# Needs root. Prints "N passed, M failed".
#   package_test.sh PACKAGE_BUILD_DIR SOURCE_DIR
set -u
if [ $# -ne 2 ] || [ ! -d "$1" ] || [ ! -d "$2" ]; then
  echo "usage: package_test.sh PACKAGE_BUILD_DIR SOURCE_DIR" >&2
  exit 2
fi
build=$(realpath "$1")
src=$(realpath "$2")
packages=(lumodez-dev lumodez-spki1 lumodez)  # removal order: dependants first
debs=("$build"/lumodez_*.deb "$build"/lumodez-dev_*.deb "$build"/lumodez-spki1_*.deb)
work=$(mktemp -d)
passed=0
failed=0
check() {  # check NAME COMMAND...
  local name=$1
  shift
  if "$@" >"$work/last.out" 2>&1; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: $name" >&2
    sed 's/^/    /' "$work/last.out" | head -40 >&2
  fi
}
# Purged, not only removed: a removed package whose postrm remains is still listed (rc).
remove_packages() { dpkg -P "${packages[@]}" >/dev/null 2>&1 || true; }
trap 'remove_packages; rm -rf "$work"' EXIT
if [ "$(id -u)" -ne 0 ]; then
  echo "FAILED: installing packages needs root" >&2
  echo "0 passed, 1 failed"
  exit 1
fi
for deb in "${debs[@]}"; do
  [ -f "$deb" ] || { echo "FAILED: no package $deb" >&2; echo "0 passed, 1 failed"; exit 1; }
done

check "lintian finds no error" lintian --fail-on error "${debs[@]}"

# The module on the build tree, with the reference provider of that tree.
check "Python module tests on the build tree" env -C "$work" \
  LUMODEZ_LIBRARY="$build/tools/liblumodez.so.1" LUMODEZ_PROVIDER="$build/tools/libspki1.so" \
  SPKI1_TOOL="$build/tools/spki1-tool" PYTHONPATH="$src/python" PYTHONDONTWRITEBYTECODE=1 \
  python3 -m unittest discover -s "$src/python/tests"

# A run left over from an earlier test is replaced, not tripped over.
remove_packages
check "dpkg -i installs the three packages" dpkg -i "${debs[@]}"

export SPKI1_HOME="$work/spki1-home"
sample="$src/samples/payment.xml"
signed_test() { /usr/bin/dezsign root -t "$sample" | grep -q '<dsig:SigValue'; }
signed_real() {
  /usr/bin/spki1-tool create bank >/dev/null &&
    /usr/bin/dezsign envelope -p bank --silent "$sample" -o "$work/env.xml" &&
    /usr/bin/dezsign verify -p bank --silent "$work/env.xml" -o "$work/back.xml" &&
    /usr/bin/dezsign extract "$work/env.xml" -o "$work/extracted.xml" &&
    # Extract (signer alone) writes no XML declaration; verify does.
    cmp <(printf '%s' '<?xml version="1.0" encoding="UTF-8"?>'; cat "$work/extracted.xml") "$work/back.xml" &&
    ! /usr/bin/dezsign verify --provider /nonexistent/libvendor.so -p bank "$work/env.xml"
}
check "installed dezsign signs in test mode" signed_test
check "installed dezsign signs and verifies with a key from spki1-tool" signed_real
check "the manual pages are installed" bash -c \
  "man -P cat dezsign | grep -q -- --provider && man -P cat spki1-tool | grep -q -- --save-pin"
check "the manual pages' headers name the installed version" bash -c \
  'v=$(/usr/bin/dezsign --version) && v=${v#dezsign } && [ -n "$v" ] &&
   for page in dezsign spki1-tool; do
     zcat "/usr/share/man/man1/$page.1.gz" | head -n 1 | grep -qF "\"LumoDEZLib $v\"" || exit 1
   done'
completes() {  # completes SCRIPT EXPECTED WORD...
  local script=$1 expected=$2
  shift 2
  bash -c 'source "/usr/share/bash-completion/completions/$1"; expected=$2; shift 2
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _$(echo "$1" | tr - _)
    printf "%s\n" "${COMPREPLY[@]}" | grep -qx -- "$expected"' _ "$script" "$expected" "$@"
}
check "completion: dezsign actions" completes dezsign base64-envelope dezsign base
check "completion: dezsign options" completes dezsign --provider dezsign root --prov
check "completion: dezsign profile names from spki1-tool list" completes dezsign bank dezsign root -p ba
check "completion: spki1-tool algorithms" completes spki1-tool gost2012-512 spki1-tool create x --alg gost2012-5

# The spool service: its unit checks clean, its user exists, its example configurations are
# there. (systemd-analyze verify loads the unit as an instance of the template.)
spool_unit() {
  local unit=/usr/lib/systemd/system/dezsign-spool@.service
  [ -f "$unit" ] && getent passwd lumodez >/dev/null && [ -d /var/spool/lumodez ] &&
    [ -f /usr/share/doc/lumodez/examples/spool/outgoing.conf ] || return 1
  if command -v systemd-analyze >/dev/null; then
    cp "$unit" "$work/dezsign-spool@outgoing.service" &&
      systemd-analyze verify "$work/dezsign-spool@outgoing.service"
  fi
}
check "the spool service is installed and its unit verifies" spool_unit

cat > "$work/consumer.c" <<'C'
#include <lumodez.h>
#include <stdio.h>
#include <string.h>
int main(void) {
  char* out = NULL;
  if (lumodez_canonical_text("<a xmlns='urn:x'/>", 1, &out)) return 1;
  int ok = strcmp(out, "<n1:a xmlns:n1=\"urn:x\"></n1:a>") == 0;
  lumodez_free(out);
  puts(ok ? "consumer ok" : "consumer wrong result");
  return ok ? 0 : 2;
}
C
mkdir -p "$work/cmake"
cat > "$work/cmake/CMakeLists.txt" <<'CM'
cmake_minimum_required(VERSION 3.20)
project(consumer C)
find_package(LumoDEZ REQUIRED)
add_executable(consumer ../consumer.c)
target_link_libraries(consumer PRIVATE LumoDEZ::lumodez)
CM
pkgconfig_consumer() {
  cc "$work/consumer.c" -o "$work/pc" $(pkg-config --cflags --libs lumodez) && "$work/pc"
}
cmake_consumer() {
  cmake -S "$work/cmake" -B "$work/cmake/build" >/dev/null && cmake --build "$work/cmake/build" >/dev/null &&
    "$work/cmake/build/consumer"
}
check "a consumer builds with pkg-config" pkgconfig_consumer
check "a consumer builds with find_package" cmake_consumer
# As a script would: the installed module, found without help (byte code written as root).
check "the installed Python module signs" env -C / -u PYTHONPATH -u LUMODEZ_LIBRARY /usr/bin/python3 -c "
import lumodez
assert lumodez.__file__.startswith('/usr/lib/python3/dist-packages/'), lumodez.__file__
with lumodez.Profile('bank', keyload=lumodez.Keyload.SILENT) as p:
    assert '<dsig:SigValue' in p.sign('<a/>', lumodez.Action.ROOT)
"

# Purging leaves nothing: no file of the packages, no library in the loader's cache.
dpkg -L "${packages[@]}" 2>/dev/null | sort -u > "$work/files"
remove_packages
left_behind() {
  local status=0
  for p in "${packages[@]}"; do
    if dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -qv 'not-installed'; then
      echo "$p still known to dpkg"; status=1
    fi
  done
  while read -r f; do
    if [ -f "$f" ] || [ -L "$f" ]; then echo "left: $f"; status=1; fi
  done < "$work/files"
  [ -e /usr/lib/python3/dist-packages/lumodez ] && { echo "left: the Python module folder"; status=1; }
  ldconfig -p | grep -E 'liblumodez|libspki1' && status=1
  return $status
}
check "dpkg -P leaves nothing behind" left_behind
echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
