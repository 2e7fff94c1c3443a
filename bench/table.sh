#!/usr/bin/env bash
# The closing table of `make bench`: every action through every entry in test mode, each a
# process of its own on the bench packet, next to `xmllint --c14n` of the same packet
# timed in the same run; and the rows other benchmarks left in $BENCH_GOALS.
#
#   bench/table.sh [BENCH_BUILD]
#
#   BENCH_TABLE_RUNS   runs per row, the fastest counts (default 3)
#   BENCH_TABLE_MB     packet sizes in MB (default "10"; "10 100" adds the large packet)
#   BENCH_GOALS        file of extra rows "what|measured|goal|met" (bench/run.sh sets it)
#
# Time: CPU time (user + system) of the whole process over that of one xmllint --c14n of
# the packet (CPU time, as other work on a shared machine inflates wall time; the wall time
# is shown beside it). Memory: the process's peak resident set over the packet's size. Goals: signing actions <= 0.6x
# xmllint, verify and extract <= 0.4x; memory <= 4x the document on every row.
set -euo pipefail
build=$(realpath "${1:-build/bench}")
runs=${BENCH_TABLE_RUNS:-3}
sizes=${BENCH_TABLE_MB:-10}
dezsign=$build/tools/dezsign
capi=$build/bench/capi_run
gen=$build/bench/bench_packet_gen
timer=/usr/bin/time
if [ ! -x "$dezsign" ] || [ ! -x "$gen" ] || [ ! -x "$timer" ] || ! command -v xmllint >/dev/null; then
  echo "table: needs dezsign and bench_packet_gen in $build, /usr/bin/time and xmllint: skipped"
  exit 0
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rows=$work/rows

# measure OUT -- COMMAND...: "cpu_seconds wall_seconds peak_kB": the run with the least CPU
# time (user + system) of $runs runs, its wall time, and the largest peak seen; stdout of
# the command goes to OUT. Fails when the command fails.
measure() {
  local out=$1 cpu="" wall="" peak=0 e u s m r
  shift 2
  for r in $(seq 1 "$runs"); do
    "$timer" -f '%e %U %S %M' -o "$work/time.txt" "$@" > "$out" 2> "$work/err.txt" ||
      { echo "table: failed: $*" >&2; cat "$work/err.txt" >&2; return 1; }
    read -r e u s m < <(tail -n 1 "$work/time.txt")
    local c
    c=$(awk -v u="$u" -v s="$s" 'BEGIN { printf "%.2f", u + s }')
    if [ -z "$cpu" ] || awk -v a="$c" -v b="$cpu" 'BEGIN { exit !(a < b) }'; then cpu=$c wall=$e; fi
    [ "$m" -gt "$peak" ] && peak=$m
  done
  echo "$cpu $wall $peak"
}

# row ACTION ENTRY DOC_BYTES REF_CPU_SECONDS TIME_GOAL -- COMMAND...
row() {
  local action=$1 entry=$2 doc=$3 ref=$4 goal=$5 c w m
  shift 6
  if ! read -r c w m <<< "$(measure "$work/out" -- "$@")"; then
    printf '%-10s %-16s %s\n' "$action" "$entry" "FAILED (see above)" >> "$rows"
    return 0
  fi
  awk -v a="$action" -v e="$entry" -v d="$doc" -v ref="$ref" -v g="$goal" -v c="$c" -v w="$w" -v m="$m" 'BEGIN {
    ratio = c / (ref > 0 ? ref : 0.01); mem = m * 1024 / d
    met = (mem <= 4 && (g == "-" || ratio <= g)) ? "met" : "NOT met"
    printf "%-10s %-16s %6.2f %6.2f %6.2f %5s %8.0f %6.1f %4s  %s\n", a, e, c, w, ratio, g, m / 1024, mem, "4", met
  }' >> "$rows"
}

header() {
  printf '%-10s %-16s %6s %6s %6s %5s %8s %6s %4s  %s\n' action entry "CPU s" "wall s" "x c14n" goal \
    "peak MB" "x doc" goal ""
}

for mb in $sizes; do
  packet=$work/packet$mb.xml
  "$gen" "$packet" --bytes $((mb << 20))
  doc=$(stat -c %s "$packet")
  "$dezsign" envelope -t "$packet" -o "$work/envelope.xml"
  base64 -w 0 "$packet" > "$work/packet.b64"
  read -r ref refwall _ <<< "$(measure /dev/null -- xmllint --c14n "$packet")"
  {
    echo
    echo "== $mb MB packet ($doc bytes), test mode; xmllint --c14n of it: CPU $ref s, wall $refwall s;" \
      "least CPU of $runs runs"
    header
  } >> "$rows"
  for action in root childs envelope verify extract; do
    goal=0.6
    input=$packet
    case $action in
      verify | extract) goal=0.4 input=$work/envelope.xml ;;
    esac
    code=$(case $action in childs) echo 1 ;; root) echo 2 ;; envelope) echo 3 ;; verify) echo 4 ;; extract) echo 5 ;; esac)
    row "$action" "file -> file" "$doc" "$ref" "$goal" -- "$dezsign" "$action" -t "$input" -o "$work/r.xml"
    row "$action" "--text -> stdout" "$doc" "$ref" "$goal" -- "$dezsign" "$action" -t --text "$input"
    row "$action" "--profile-object" "$doc" "$ref" "$goal" -- \
      "$dezsign" "$action" -t --profile-object "$input" -o "$work/r.xml"
    if [ -x "$capi" ]; then
      row "$action" "C API file" "$doc" "$ref" "$goal" -- "$capi" file "$code" "$input" "$work/r.xml"
      row "$action" "C API text" "$doc" "$ref" "$goal" -- "$capi" xml "$code" "$input" "$work/r.xml"
    fi
  done
  row base64-env "text -> stdout" "$doc" "$ref" 0.6 -- "$dezsign" base64-envelope -t "$work/packet.b64"
  row canon "--numbered" "$doc" "$ref" - -- "$dezsign" canon --numbered "$packet"
  rm -f "$packet" "$work/envelope.xml" "$work/packet.b64" "$work/r.xml" "$work/out"
done

# A packet of many small documents, the common case of signing child by child.
small=$work/small.xml
awk 'BEGIN {
  print "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
  print "<Packet xmlns=\"urn:dez-ru:ed:v2.0\">"
  for (i = 1; i <= 100000; i++) printf "<ED101 No=\"%d\">%d</ED101>\n", i, i
  print "</Packet>"
}' > "$small"
doc=$(stat -c %s "$small")
read -r ref refwall _ <<< "$(measure /dev/null -- xmllint --c14n "$small")"
{
  echo
  echo "== 100,000 small children ($doc bytes); xmllint --c14n of it: CPU $ref s, wall $refwall s"
  header
} >> "$rows"
row childs "file -> file" "$doc" "$ref" 0.6 -- "$dezsign" childs -t "$small" -o "$work/r.xml"

echo
echo "== Summary (machine load average $(cut -d' ' -f1-3 /proc/loadavg))"
cat "$rows"
if [ -n "${BENCH_GOALS:-}" ] && [ -s "$BENCH_GOALS" ]; then
  echo
  echo "== Small messages with real signatures"
  printf '%-58s %10s %8s  %s\n' "" measured goal ""
  while IFS='|' read -r what value goal met; do
    printf '%-58s %10s %8s  %s\n' "$what" "$value" "$goal" "$met"
  done < "$BENCH_GOALS"
fi
