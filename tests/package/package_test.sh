#!/usr/bin/env bash
# The Debian packages on this machine: lintian finds nothing, also in packages built under
# umask 002 from group-writable control files; liblumodez1 has versioned shlibs and one
# ldconfig mechanism (the trigger); each package installs and purges alone; installed
# together, dezsign signs (test mode and a real key made with the installed spki1-tool),
# passes the command line cases of tests/tools/cli_options_test.sh,
# a signature exported by dezsign verifies with openssl, the manual page and completion
# answer, consumers build with pkg-config (clean flags) and find_package, Python imports
# the installed module; the wheel installs offline into a plain venv and checks a real
# signature there; dpkg -P purges everything again (also when a step fails).
# Needs root. Prints "N passed, M failed".
#   package_test.sh PACKAGE_BUILD_DIR SOURCE_DIR [WHEEL_DIR]
# PYTHON names the interpreter (default /usr/bin/python3, Debian's: the one
# python3-lumodez serves and that has the venv module).
set -u
if [ $# -lt 2 ] || [ $# -gt 3 ] || [ ! -d "$1" ] || [ ! -d "$2" ]; then
  echo "usage: package_test.sh PACKAGE_BUILD_DIR SOURCE_DIR [WHEEL_DIR]" >&2
  exit 2
fi
build=$(realpath "$1")
src=$(realpath "$2")
wheels=$(realpath "${3:-$src/dist}")
python=${PYTHON:-/usr/bin/python3}
# Removal order: dependants first.
packages=(liblumodez-dev python3-lumodez lumodez-tools lumodez-spki1-dev lumodez-spki1 liblumodez1)
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
deb_of() { ls "$build/$1"_*.deb 2>/dev/null | head -n 1; }
# Purged, not only removed: a removed package whose postrm remains is still listed (rc).
remove_packages() { dpkg -P "${packages[@]}" lumodez lumodez-dev >/dev/null 2>&1 || true; }
trap 'remove_packages; rm -rf "$work"' EXIT
if [ "$(id -u)" -ne 0 ]; then
  echo "FAILED: installing packages needs root" >&2
  echo "0 passed, 1 failed"
  exit 1
fi
debs=()
for p in "${packages[@]}"; do
  deb=$(deb_of "$p")
  [ -n "$deb" ] || { echo "FAILED: no package $p in $build" >&2; echo "0 passed, 1 failed"; exit 1; }
  debs+=("$deb")
done

check "lintian finds nothing" lintian --fail-on error,warning "${debs[@]}"
# A tree checked out under umask 002 has group-writable files: the packages made from
# such control files, by cpack under that umask, are as clean.
umask002_packages() {
  mkdir -p "$work/ctl" "$work/deb002" &&
    cp "$src/packaging/triggers" "$src/packaging/prerm" "$work/ctl/" &&
    chmod 664 "$work/ctl/triggers" && chmod 775 "$work/ctl/prerm" &&
    (umask 002 && cd "$build" && cpack -G DEB -B "$work/deb002" \
      -D CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA="$work/ctl/triggers" \
      -D CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA="$work/ctl/prerm" >/dev/null) &&
    lintian --fail-on error,warning "$work"/deb002/*.deb
}
check "lintian finds nothing in packages built under umask 002" umask002_packages
control_file() { dpkg-deb --ctrl-tarfile "$1" | tar -xO "./$2" 2>/dev/null; }
lib_control() {
  local deb
  deb=$(deb_of liblumodez1)
  control_file "$deb" shlibs | grep -qx "liblumodez 1 liblumodez1 (>= $(dpkg-deb -f "$deb" Version))" &&
    control_file "$deb" triggers | grep -qx "activate-noawait ldconfig" &&
    ! control_file "$deb" postinst | grep -q . && ! control_file "$deb" postrm | grep -q .
}
check "liblumodez1: versioned shlibs, the ldconfig trigger and no ldconfig script" lib_control

# The module on the build tree, with the reference provider of that tree.
check "Python module tests on the build tree" env -C "$work" \
  LUMODEZ_LIBRARY="$build/tools/liblumodez.so.1" LUMODEZ_PROVIDER="$build/tools/libspki1.so" \
  SPKI1_TOOL="$build/tools/spki1-tool" PYTHONPATH="$src/python" PYTHONDONTWRITEBYTECODE=1 \
  "$python" -m unittest discover -s "$src/python/tests"

# Each package alone, with only the packages of ours it depends on: installed, then purged
# without a trace.
ours_needed() {  # the package and, recursively, the packages of ours it depends on
  local p=$1 d
  echo "$p"
  for d in $(dpkg-deb -f "$(deb_of "$p")" Depends | tr ',' '\n' | sed -E 's/^ *([^ ]+).*/\1/'); do
    case " ${packages[*]} " in *" $d "*) ours_needed "$d" ;; esac
  done
}
installed() { dpkg-query -W -f='${Status}\n' "$1" 2>/dev/null | grep -q "install ok installed"; }
alone() {
  local p=$1 needed files q
  needed=$(ours_needed "$p" | sort -u)
  dpkg -i $(for q in $needed; do deb_of "$q"; done) >/dev/null || return 1
  for q in "${packages[@]}"; do
    if echo "$needed" | grep -qx "$q"; then installed "$q" || { echo "$q not installed"; return 1; }
    elif installed "$q"; then echo "$q installed though not needed"; return 1; fi
  done
  files=$(dpkg -L $needed | sort -u)
  dpkg -P $needed >/dev/null || return 1
  for f in $files; do
    if [ -f "$f" ] || [ -L "$f" ]; then echo "left: $f"; return 1; fi
  done
}
remove_packages
for p in "${packages[@]}"; do
  check "$p installs and purges alone" alone "$p"
done
# dezsign without the reference provider says which package has it.
provider_named() {
  local err
  dpkg -i "$(deb_of lumodez-tools)" >/dev/null || return 1
  err=$(/usr/bin/dezsign root -p bank --silent "$src/samples/payment.xml" 2>&1 >/dev/null)
  dpkg -P lumodez-tools >/dev/null
  echo "$err"
  [[ $err == *"comes with the package lumodez-spki1"* ]]
}
check "dezsign without lumodez-spki1 names the package" provider_named

check "dpkg -i installs all packages" dpkg -i "${debs[@]}"

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
exported_verifies() {
  /usr/bin/dezsign root -p bank --silent "$sample" -o "$work/signed.xml" &&
    /usr/bin/dezsign export-signature "$work/signed.xml" --cms "$work/sig.p7s" --data "$work/signed.bin" &&
    openssl cms -verify -engine gost -binary -inform DER -in "$work/sig.p7s" -content "$work/signed.bin" \
      -CAfile "$SPKI1_HOME/bank/cert.pem" -out /dev/null
}
check "installed dezsign signs in test mode" signed_test
check "installed dezsign: the command line cases (help, GNU forms, -q, --parents, export)" \
  bash "$src/tests/tools/cli_options_test.sh" /usr/bin/dezsign "$src"
check "installed dezsign signs and verifies with a key from spki1-tool" signed_real
check "a signature exported by dezsign verifies with openssl" exported_verifies
check "the provider is a plug-in in the library's folder" bash -c \
  'test -f /usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/lumodez/libspki1.so && ! ldconfig -p | grep -q libspki1'
check "the manual pages are installed" bash -c \
  "man -P cat dezsign | grep -q -- export-signature && man -P cat spki1-tool | grep -q -- --save-pin"
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
    [ -f /usr/share/doc/lumodez-tools/examples/spool/outgoing.conf ] || return 1
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
  local flags
  flags=$(pkg-config --cflags --libs lumodez) || return 1
  echo "flags: $flags"
  [[ $flags != *..* ]] || return 1
  cc "$work/consumer.c" -o "$work/pc" $flags && "$work/pc"
}
cmake_consumer() {
  cmake -S "$work/cmake" -B "$work/cmake/build" >/dev/null && cmake --build "$work/cmake/build" >/dev/null &&
    "$work/cmake/build/consumer"
}
check "a consumer builds with pkg-config (clean flags)" pkgconfig_consumer
check "a consumer builds with find_package" cmake_consumer
# As a script would: the installed module, found without help (byte code written as root).
check "the installed Python module signs and checks" env -C / -u PYTHONPATH -u LUMODEZ_LIBRARY "$python" -c "
import lumodez
assert lumodez.__file__.startswith('/usr/lib/python3/dist-packages/'), lumodez.__file__
with lumodez.Profile('bank', keyload=lumodez.Keyload.SILENT) as p:
    signed = p.sign('<a/>', lumodez.Action.ROOT)
assert lumodez.check_signature_xml(signed, 'bank').verified
"
# The wheel in a plain venv (no system site packages), offline: it loads the installed
# liblumodez.so.1 and checks a real signature.
venv_wheel() {
  local wheel
  wheel=$(ls "$wheels"/lumodez-*.whl 2>/dev/null | head -n 1)
  [ -n "$wheel" ] || { echo "no wheel in $wheels (make wheel)"; return 1; }
  "$python" -m venv "$work/venv" &&
    "$work/venv/bin/pip" install --no-index --quiet "$wheel" &&
    env -C / -u PYTHONPATH -u LUMODEZ_LIBRARY "$work/venv/bin/python" -c "
import sys, lumodez
assert lumodez.__file__.startswith('$work/venv/'), lumodez.__file__
assert lumodez.__version__ == lumodez.version()
report = lumodez.check_signature_file('$work/signed.xml', 'bank')
print(report)
assert report.verified
try:
    lumodez.check_signature_xml(open('$work/signed.xml', 'rb').read().replace(b'1250000', b'1250001'), 'bank')
    sys.exit('a changed document passed')
except lumodez.InvalidSignature as e:
    print('refused:', e.reason)
"
}
check "the wheel installs offline into a plain venv and checks a real signature" venv_wheel

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
