#!/usr/bin/env bash
# dezsign ended by SIGTERM or SIGHUP in the middle of a batch: exit 128 + signal and no
# temporary file left in the output folder.
set -u
dezsign=$1
src=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir in
{ printf '<big>'; for i in $(seq 1 20000); do printf '<i n="%d">text</i>' "$i"; done; printf '</big>'; } > in/big0.xml
for i in $(seq 1 200); do cp in/big0.xml "in/big$i.xml"; done
passed=0
failed=0
for signal in TERM HUP; do
  out="out-$signal"
  "$dezsign" root -t -p key -j 2 in/*.xml --out-dir "$out" --parents 2>/dev/null &
  pid=$!
  # Strike while a result is being written (its temporary file exists), or give up waiting.
  for _ in $(seq 1 2000); do
    [ -n "$(find "$out" -name '.*.lumo*.tmp' 2>/dev/null)" ] && break
  done
  kill -s "$signal" "$pid"
  wait "$pid"
  rc=$?
  number=$(kill -l "$signal")
  left=$(find "$out" -name '*.tmp' | wc -l)
  if [ "$rc" -eq $((128 + number)) ] && [ "$left" -eq 0 ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: SIG$signal: exit $rc, $left temporary files left" >&2
  fi
done
echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
