#!/usr/bin/env bash
# The binaries' RUNPATH, in the build tree and installed, has no empty entry: the loader
# reads an empty entry as the current directory, so whatever libspki1.so or libgcc_s.so.1
# lies where dezsign is run would be loaded into it.
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null

checked=0 bad=0
check() {
  local file=$1 path=
  checked=$((checked + 1))
  if [ ! -f "$file" ]; then
    echo "FAIL: a binary is missing (${file:-not installed})"
    bad=$((bad + 1))
    return
  fi
  path=$(readelf -d "$file" | sed -n 's/.*(\(RUNPATH\|RPATH\)).*\[\(.*\)\]$/\2/p')
  if [ -z "$path" ]; then
    echo "FAIL $file: no RUNPATH (the provider beside it would not be found)"
    bad=$((bad + 1))
  elif [[ ":$path:" == *::* ]]; then
    echo "FAIL $file: empty entry in RUNPATH '$path'"
    bad=$((bad + 1))
  fi
}
# (bin/ and lib/ only: the shell completion file has a command's name too)
installed() {
  find "$work/prefix" \( -path '*/bin/*' -o -path '*/lib/*' \) -name "$1" \( -type f -o -type l \) | head -1
}
for f in "$build/tools/dezsign" "$build/tools/liblumodez.so" \
         "$(installed dezsign)" "$(installed liblumodez.so)"; do
  check "$f"
done
# The provider and its tool need no RUNPATH; if they get one, it must be clean too.
for f in "$build/tools/libspki1.so" "$build/tools/spki1-tool" \
         "$(installed libspki1.so)" "$(installed spki1-tool)"; do
  [ -e "$f" ] || continue
  if readelf -d "$f" | grep -q '(RUNPATH)\|(RPATH)'; then check "$f"; fi
done
echo "$((checked - bad)) passed, $bad failed"
[ "$bad" -eq 0 ]
