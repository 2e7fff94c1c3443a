#!/usr/bin/env bash
# The Windows in-process server: cross-build with mingw-w64 and test under Wine.
#   bash automation/com/build.sh test    build the DLL and its tests, run them in a fresh prefix
#   bash automation/com/build.sh dist    build and copy dist/win32/LumoDEZLib.dll
#                                        (and dist/win64/ when a 64-bit mingw compiler is present)
#   bash automation/com/build.sh build   build only
# Called by `make test` / `make windows` (the Makefile installs the packages first).
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
mode=${1:-test}
build=$root/build/win32
jobs=${JOBS:-$(nproc)}
wine_timeout=${LUMO_WINE_TIMEOUT:-120}

die() { echo "build.sh: $*" >&2; exit 1; }

configure_and_build() {  # dir toolchain targets...
  local dir=$1 toolchain=$2
  shift 2
  cmake -S "$root" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DLUMO_BUILD_TESTS=OFF -DLUMO_BUILD_BENCH=OFF \
    -DLUMO_SANITIZE=OFF -DLUMO_FUZZ=OFF -DLUMO_COM_TESTS=ON >"$dir.configure.log" 2>&1 ||
    { cat "$dir.configure.log"; die "configure failed ($dir)"; }
  cmake --build "$dir" -j "$jobs" --target "$@" || die "build failed ($dir)"
}

mkdir -p "$root/build"
case "$mode" in
  build)
    configure_and_build "$build" mingw-i686.cmake LumoDEZLib com_tests
    exit 0 ;;
  dist)
    configure_and_build "$build" mingw-i686.cmake LumoDEZLib
    mkdir -p "$root/dist/win32"
    cp "$build/automation/com/LumoDEZLib.dll" "$root/dist/win32/"
    echo "dist/win32/LumoDEZLib.dll"
    if command -v x86_64-w64-mingw32-g++ >/dev/null 2>&1 || command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1; then
      if (configure_and_build "$root/build/win64" mingw-x86_64.cmake LumoDEZLib); then
        mkdir -p "$root/dist/win64"
        cp "$root/build/win64/automation/com/LumoDEZLib.dll" "$root/dist/win64/"
        echo "dist/win64/LumoDEZLib.dll (bonus 64-bit build, untested)"
      else
        echo "(64-bit build failed: skipped; the product is the 32-bit server)"
      fi
    else
      echo "(no 64-bit mingw compiler installed: 64-bit build skipped)"
    fi
    exit 0 ;;
  test) ;;
  *) die "usage: build.sh test|dist|build" ;;
esac

configure_and_build "$build" mingw-i686.cmake LumoDEZLib com_tests
dll=$build/automation/com/LumoDEZLib.dll
tests=$build/com_tests
srcdir=$root/tests/automation/com
[ -f "$dll" ] || die "no $dll"

# ---- A fresh, headless 32-bit Wine prefix -----------------------------------------
export WINEPREFIX
WINEPREFIX=$(mktemp -d /tmp/lumo-wine.XXXXXX)
export WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
work=$(mktemp -d /tmp/lumo-com.XXXXXX)
cleanup() {
  timeout 30 wineserver -k >/dev/null 2>&1
  timeout 30 wineserver -w >/dev/null 2>&1
  rm -rf "$WINEPREFIX" "$work"
}
trap cleanup EXIT

echo "== Wine prefix $WINEPREFIX"
LC_ALL=C timeout "$wine_timeout" wine wineboot --init >/dev/null 2>&1
timeout "$wine_timeout" wineserver -w
[ -d "$WINEPREFIX/drive_c/windows" ] || die "wineboot did not create the prefix"

lumo=$WINEPREFIX/drive_c/lumo
mkdir -p "$lumo"
cp "$dll" "$tests"/*.exe "$lumo/"
[ -f "$tests/LumoDEZLib_fault.dll" ] && cp "$tests/LumoDEZLib_fault.dll" "$lumo/"
[ -f "$tests/spki1.dll" ] && cp "$tests/spki1.dll" "$lumo/"
cp "$srcdir"/*.vbs "$lumo/"
cp "$root/samples/payment.xml" "$root/samples/payment-1251.xml" "$lumo/"
# The test provider for the path outside test mode: spki1.dll beside the server
# (copied to $lumo with the test programs when tests/provider/test_provider.c was built).
win_dll='C:\lumo\LumoDEZLib.dll'

passed=()
failed=()
result() {  # name status
  if [ "$2" -eq 0 ]; then passed+=("$1"); echo "   ok: $1"; else failed+=("$1"); echo "   FAILED: $1"; fi
}
# Runs a test program of ours under the Russian locale (ANSI 1251): it prints UTF-8.
run_ru() {
  (cd "$lumo" && LC_ALL=ru_RU.UTF-8 timeout "$wine_timeout" wine "$@" 2>&1) | tr -d '\r'
  return "${PIPESTATUS[0]}"
}
# The platform's console programs (cscript) print in the OEM code page (866 here).
run_ru_oem() {
  (cd "$lumo" && LC_ALL=ru_RU.UTF-8 timeout "$wine_timeout" wine "$@" 2>&1) |
    iconv -f CP866 -t UTF-8 -c | tr -d '\r'
  return "${PIPESTATUS[0]}"
}
run_c() {
  (cd "$lumo" && LC_ALL=C timeout "$wine_timeout" wine "$@" 2>&1) | tr -d '\r'
  return "${PIPESTATUS[0]}"
}
# A test program's own summary line must say "0 failed".
check_summary() {  # logfile status
  [ "$2" -eq 0 ] && grep -Eq '[0-9]+ passed, 0 failed' "$1"
}
regsvr() { run_c regsvr32 /s "$@" >/dev/null; }
# regsvr32 with Wine's registry trace, for the order of the rows.
regsvr_traced() {  # tracefile args...
  local trace=$1
  shift
  (cd "$lumo" && LC_ALL=C WINEDEBUG=trace+reg timeout "$wine_timeout" wine regsvr32 /s "$@" >"$trace" 2>&1)
}

echo "== Type library"
run_ru typelib_test.exe "$win_dll" >"$work/typelib.log"; st=$?
grep -E 'FAIL|passed|note' "$work/typelib.log"
check_summary "$work/typelib.log" $st; result "type library read back item by item" $?

echo "== Registration"
regsvr_traced "$work/regtrace.txt" "$win_dll"; result "regsvr32 registers" $?
python3 "$srcdir/reg_order.py" register "$work/regtrace.txt" >"$work/regorder.log"; st=$?
tail -1 "$work/regorder.log"; result "rows written in the listed order" $st
run_c registry_test.exe registered "$win_dll" >"$work/reg1.log"; st=$?
grep -E 'FAIL|passed' "$work/reg1.log"
check_summary "$work/reg1.log" $st; result "registry rows exactly as listed" $?
run_c registry_test.exe dump >"$work/dump1.txt"
regsvr "$win_dll"; result "regsvr32 registers a second time" $?
run_c registry_test.exe dump >"$work/dump2.txt"
diff -u "$work/dump1.txt" "$work/dump2.txt" >/dev/null; result "registering twice leaves the same rows" $?

echo "== C++ client (early binding, dispatch, error info, lifetimes)"
run_ru client_test.exe "$win_dll" >"$work/client.log"; st=$?
grep -E 'FAIL|passed|note' "$work/client.log"
check_summary "$work/client.log" $st; result "C++ client" $?

echo "== VBScript through cscript"
run_ru_oem cscript //nologo 'C:\lumo\com_test.vbs' >"$work/vbs.log"; st=$?
grep -E 'FAIL|passed' "$work/vbs.log"
check_summary "$work/vbs.log" $st; result "VBScript client" $?

echo "== Outside test mode: the test provider as spki1.dll"
if [ -f "$lumo/spki1.dll" ]; then
  run_ru client_test.exe provider "$win_dll" >"$work/provider.log"; st=$?
  grep -E 'FAIL|passed|note' "$work/provider.log"
  check_summary "$work/provider.log" $st; result "signing through the provider" $?
  LUMO_TEST_PROVIDER_SCRIPT="init=80090016" run_ru client_test.exe provider-failure "$win_dll" \
    >"$work/provider-failure.log"; st=$?
  grep -E 'FAIL|passed|note' "$work/provider-failure.log"
  check_summary "$work/provider-failure.log" $st; result "a provider error reaches the client" $?
else
  echo "   (no Windows build of the test provider: skipped)"
fi

echo "== Same bytes as dezsign on Linux (test mode)"
dezsign=""
for d in "${LUMO_DEZSIGN:-}" "$root/build/debug/tools/dezsign" "$root/build/release/tools/dezsign"; do
  [ -n "$d" ] && [ -x "$d" ] && "$d" --help 2>/dev/null | grep -qw root && { dezsign=$d; break; }
done
if [ -n "$dezsign" ]; then
  same=0
  compare() {  # doc action code  (input C:\lumo\doc, test mode, SignFile on both sides)
    local doc=$1 action=$2 code=$3 dll_ok=0 linux_ok=0
    run_ru client_test.exe signfile "$win_dll" "C:\\lumo\\$doc" "C:\\lumo\\$doc.$action.dll.xml" "$code" \
      >"$work/cmp-$doc-$action.log" || dll_ok=1
    "$dezsign" "$action" -t "$lumo/$doc" -o "$work/$doc.$action.linux.xml" \
      >>"$work/cmp-$doc-$action.log" 2>&1 || linux_ok=1
    if [ $dll_ok -ne 0 ] || [ $linux_ok -ne 0 ]; then
      echo "   FAILED to sign: $doc $action (DLL $dll_ok, dezsign $linux_ok)"; same=1
    elif cmp -s "$lumo/$doc.$action.dll.xml" "$work/$doc.$action.linux.xml"; then
      echo "   same bytes: $doc $action ($(stat -c %s "$work/$doc.$action.linux.xml") bytes)"
    else
      echo "   DIFFERENT: $doc $action"; same=1
    fi
  }
  for doc in payment.xml payment-1251.xml; do
    compare "$doc" childs 1
    compare "$doc" root 2
    compare "$doc" envelope 3
    # The envelope (made by the DLL) read back by both sides.
    if [ -f "$lumo/$doc.envelope.dll.xml" ]; then
      cp "$lumo/$doc.envelope.dll.xml" "$lumo/$doc.env.xml"
      compare "$doc.env.xml" verify 4
      compare "$doc.env.xml" extract 5
    fi
  done
  result "DLL under Wine and dezsign on Linux sign byte-identically" $same
else
  echo "   (no Linux dezsign build with its actions found under build/: comparison skipped)"
fi

echo "== Error paths of the frame (LumoDEZLib_fault.dll, a test build with fault injection)"
if [ -f "$lumo/LumoDEZLib_fault.dll" ]; then
  for fault in clsid kind intf create; do
    (cd "$lumo" && LUMO_COM_FAULT=$fault LC_ALL=ru_RU.UTF-8 WINEDEBUG=-all timeout "$wine_timeout" \
      wine fault_test.exe $fault 'C:\lumo\LumoDEZLib_fault.dll' >"$work/fault-$fault.log" 2>"$work/fault-$fault.trace"); st=$?
    grep -E 'FAIL|passed|note' "$work/fault-$fault.log"
    check_summary "$work/fault-$fault.log" $st; result "fault $fault" $?
  done
else
  echo "   (no fault-injection build: skipped)"
fi

echo "== Unregistration"
regsvr_traced "$work/unregtrace.txt" /u "$win_dll"; result "regsvr32 /u" $?
python3 "$srcdir/reg_order.py" unregister "$work/unregtrace.txt" >"$work/unregorder.log"; st=$?
tail -1 "$work/unregorder.log"; result "rows deleted in the listed order" $st
run_c registry_test.exe unregistered >"$work/unreg1.log"; st=$?
grep -E 'FAIL|passed' "$work/unreg1.log"
check_summary "$work/unreg1.log" $st; result "unregistering removes every row" $?
regsvr /u "$win_dll"; result "unregistering twice succeeds" $?
run_c registry_test.exe unregistered >"$work/unreg2.log"; st=$?
check_summary "$work/unreg2.log" $st; result "still nothing after the second /u" $?

echo "== A module under a path with a space"
spaced="$WINEPREFIX/drive_c/Program Files/Lumo DEZ"
mkdir -p "$spaced"
cp "$dll" "$spaced/"
win_spaced='C:\Program Files\Lumo DEZ\LumoDEZLib.dll'
regsvr "$win_spaced"; result "regsvr32 registers from a path with a space" $?
run_c registry_test.exe registered "$win_spaced" >"$work/reg3.log"; st=$?
grep -E 'FAIL|passed|short' "$work/reg3.log"
check_summary "$work/reg3.log" $st; result "registered under the short path" $?
regsvr /u "$win_spaced"; result "regsvr32 /u from a path with a space" $?

echo
echo "Windows server under Wine:"
echo "wine: ${#passed[@]} passed, ${#failed[@]} failed"
for f in "${failed[@]}"; do echo "  failed: $f"; done
if [ ${#failed[@]} -ne 0 ]; then
  echo "logs:"; for f in "$work"/*.log; do echo "--- $f"; head -200 "$f"; done
  exit 1
fi
exit 0
