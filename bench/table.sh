#!/usr/bin/env bash
# The closing table of `make bench`: every action through every entry in test mode, each a
# process of its own on the bench packet, next to `xmllint --c14n` of the same packet
# timed in the same run; and the rows other benchmarks left in $BENCH_GOALS.
#
#   bench/table.sh [BENCH_BUILD]
#
#   BENCH_TABLE_RUNS   runs per row, the fastest counts (default 5)
#   BENCH_TABLE_MB     packet sizes in MB (default "10"; "10 100" adds the large packet)
#   BENCH_TABLE_LEAN_ONLY  1: only the rows of the check against signing (real key)
#   BENCH_GOALS        file of extra rows "what|measured|goal|met" (bench/run.sh sets it)
#
# Time: CPU time (user + system) of the whole process over that of xmllint --c14n of the
# packet, paired: xmllint runs just before each run of the row and the least of each is
# taken, so that a host that is slower for a while slows both sides of the ratio (CPU time,
# as other work on a shared machine inflates wall time; the wall time is shown beside it).
# Taken by proc_time to the microsecond (by /usr/bin/time, to the hundredth, where it is
# not built). Memory: the process's peak resident set over the
# packet's size, in test mode and, where the reference provider is built, once more with a
# real key (GOST R 34.10-2012, 256 bits; column "w.key", shown, not judged). In test mode
# the signature of a text is that text itself, so a result holds the document twice (Root)
# or three times (Envelope, in Base64) where a real signature adds a few kilobytes; with a
# key the provider's libraries and the signed bytes are held instead. Goals: signing
# actions <= 0.6x xmllint, verify and extract <= 0.4x, on the 10 MB packet, and Envelope on
# a 10 MB packet of another producer whose attributes carry namespace prefixes (the packet
# of small children has no time goal: its time is shown); memory <= 4x the document on every
# row, in test mode. The C API text call takes the whole input and hands back the whole
# result, both held at once: its rows are judged against that contract instead, its floor
# shown (input + result + the process's libraries, over the document), goal: at most 0.3
# times the document of working memory on top of the floor.
set -euo pipefail
build=$(realpath "${1:-build/bench}")
runs=${BENCH_TABLE_RUNS:-5}
sizes=${BENCH_TABLE_MB:-10}
lean_only=${BENCH_TABLE_LEAN_ONLY:-}
[ -z "$lean_only" ] || sizes=""
dezsign=$build/tools/dezsign
capi=$build/bench/capi_run
gen=$build/bench/bench_packet_gen
proc_time=$build/bench/proc_time
timer=/usr/bin/time
if [ ! -x "$dezsign" ] || [ ! -x "$gen" ] || { [ ! -x "$proc_time" ] && [ ! -x "$timer" ]; } ||
  ! command -v xmllint >/dev/null; then
  echo "table: needs dezsign and bench_packet_gen in $build, proc_time or /usr/bin/time, and xmllint: skipped"
  exit 0
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A throwaway key for the real-signature memory column, where the provider is built.
key=""
if [ -x "$build/tools/spki1-tool" ] && [ -e "$build/tools/libspki1.so" ]; then
  export SPKI1_HOME=$work/spki1-home
  unset SPKI1_PIN
  if "$build/tools/spki1-tool" create tablekey --alg gost2012-256 >/dev/null 2>&1; then key=tablekey; fi
fi
rows=$work/rows

# timed OUT COMMAND...: runs the command once, its stdout to OUT; prints "cpu wall peak_kB".
timed() {
  local out=$1 e u s m
  shift
  if [ -x "$proc_time" ]; then
    "$proc_time" "$@" > "$out" 2> "$work/err.txt" ||
      { echo "table: failed: $*" >&2; cat "$work/err.txt" >&2; return 1; }
    tail -n 1 "$work/err.txt"
  else
    "$timer" -f '%e %U %S %M' -o "$work/time.txt" "$@" > "$out" 2> "$work/err.txt" ||
      { echo "table: failed: $*" >&2; cat "$work/err.txt" >&2; return 1; }
    read -r e u s m < <(tail -n 1 "$work/time.txt")
    awk -v e="$e" -v u="$u" -v s="$s" -v m="$m" 'BEGIN { printf "%.2f %.2f %d\n", u + s, e, m }'
  fi
}

# measure OUT REF -- COMMAND...: "cpu_seconds wall_seconds peak_kB ref_cpu_seconds": the
# run with the least CPU time (user + system) of $runs runs, its wall time, the largest
# peak seen, and, where REF names a file, the least CPU time of the `xmllint --c14n REF`
# run just before each run (paired: a host that slows down for a while slows both).
# Stdout of the command goes to OUT. Fails when the command fails.
measure() {
  local out=$1 ref=$2 cpu="" wall="" peak=0 refcpu="" c w m rc r
  shift 3
  for r in $(seq 1 "$runs"); do
    if [ "$ref" != - ]; then
      read -r rc _ _ <<< "$(timed /dev/null xmllint --c14n "$ref")" || return 1
      if [ -z "$refcpu" ] || awk -v a="$rc" -v b="$refcpu" 'BEGIN { exit !(a < b) }'; then refcpu=$rc; fi
    fi
    read -r c w m <<< "$(timed "$out" "$@")" || return 1
    [ -n "$m" ] || return 1
    if [ -z "$cpu" ] || awk -v a="$c" -v b="$cpu" 'BEGIN { exit !(a < b) }'; then cpu=$c wall=$w; fi
    [ "$m" -gt "$peak" ] && peak=$m
  done
  echo "$cpu $wall $peak ${refcpu:--}"
}

# with MODE WORDS...: the command line of WORDS for MODE ("test" or "key"): @MODE@ becomes
# "-t" or "-p KEY --silent", @KEY@ nothing or the key's name (capi_run's last argument),
# @ENV@ the envelope made in that mode. Sets the array cmd.
with() {
  local mode=$1 w
  shift
  cmd=()
  for w in "$@"; do
    case $w in
      @MODE@) if [ "$mode" = test ]; then cmd+=(-t); else cmd+=(-p "$key" --silent); fi ;;
      @KEY@) if [ "$mode" = key ]; then cmd+=("$key"); fi ;;
      @ENV@) cmd+=("$work/envelope-$mode.xml") ;;
      *) cmd+=("$w") ;;
    esac
  done
}

# The C API text call's floor: what capi_run holds for a tiny document (the process's
# libraries and start), in kB, taken once.
capi_base_kb=""
capi_base() {
  if [ -z "$capi_base_kb" ]; then
    echo '<R><E N="1">v</E></R>' > "$work/tiny.xml"
    read -r _ _ capi_base_kb <<< "$(measure "$work/out" - -- "$capi" xml 2 "$work/tiny.xml" "$work/tiny-r.xml")"
  fi
  echo "$capi_base_kb"
}

# row ACTION ENTRY DOC_BYTES REF_FILE TIME_GOAL -- WORDS... (see with): the time ratio is
# paired with `xmllint --c14n REF_FILE` run beside each run. With held="IN|OUT" (the C API
# text call, which takes the whole input and hands back the whole result), the row is
# judged against the call's contract instead: input + result + the process's libraries
# (capi_base) are its floor, and the working memory on top of that must stay within 0.3
# times the document.
row() {
  local action=$1 entry=$2 doc=$3 reffile=$4 goal=$5 c w m ref km="-" floor=- base=0
  shift 6
  with test "$@"
  if ! read -r c w m ref <<< "$(measure "$work/out" "$reffile" -- "${cmd[@]}")" || [ -z "$m" ]; then
    printf '%-10s %-16s %s\n' "$action" "$entry" "FAILED (see above)" >> "$rows"
    return 0
  fi
  if [ -n "${held:-}" ]; then
    floor=$(($(stat -c %s "${held%%|*}") + $(stat -c %s "${held##*|}")))
    base=$(capi_base)
  fi
  if [ -n "$key" ]; then
    with key "$@"
    read -r _ _ km <<< "$(timed "$work/out" "${cmd[@]}")" || km=""
    [ -n "$km" ] || { printf '%-10s %-16s %s\n' "$action" "$entry" "FAILED with a key (see above)" >> "$rows"; return 0; }
  fi
  awk -v a="$action" -v e="$entry" -v d="$doc" -v ref="$ref" -v g="$goal" -v c="$c" -v w="$w" -v m="$m" -v km="$km" -v floor="$floor" -v base="$base" 'BEGIN {
    ratio = c / (ref > 0 ? ref : 0.01); mem = m * 1024 / d
    kmem = km == "-" ? mem : km * 1024 / d
    memgoal = "4"; memok = mem <= 4
    if (floor != "-") {
      on_top = (m * 1024 - base * 1024 - floor) / d
      memgoal = "+0.3"; memok = on_top <= 0.3
    }
    met = (memok && (g == "-" || ratio <= g)) ? "met" : "NOT met"
    if (floor != "-")
      met = met sprintf(" (floor: input + result %.1f + libraries %.1f; on top %.2f)", floor / d, base * 1024 / d, on_top)
    printf "%-10s %-16s %6.3f %6.3f %6.2f %5s %8.0f %6.1f %6s %4s  %s\n", a, e, c, w, ratio, g, m / 1024, mem,
      km == "-" ? "-" : sprintf("%.1f", kmem), memgoal, met
  }' >> "$rows"
}

header() {
  printf '%-10s %-16s %6s %6s %6s %5s %8s %6s %6s %4s  %s\n' action entry "CPU s" "wall s" "x c14n" goal \
    "peak MB" "x doc" "w.key" goal ""
}

for mb in $sizes; do
  packet=$work/packet$mb.xml
  "$gen" "$packet" --bytes $((mb << 20))
  doc=$(stat -c %s "$packet")
  "$dezsign" envelope -t "$packet" -o "$work/envelope-test.xml"
  [ -n "$key" ] && "$dezsign" envelope -p "$key" --silent "$packet" -o "$work/envelope-key.xml"
  base64 -w 0 "$packet" > "$work/packet.b64"
  read -r ref refwall _ _ <<< "$(measure /dev/null - -- xmllint --c14n "$packet")"
  {
    echo
    echo "== $mb MB packet ($doc bytes), test mode; xmllint --c14n of it: CPU $ref s, wall $refwall s;" \
      "least CPU of $runs runs; x c14n paired with xmllint beside each row's runs${key:+; w.key: peak memory with a real key, x doc}"
    header
  } >> "$rows"
  for action in root childs envelope verify extract; do
    goal=0.6
    input=$packet
    case $action in
      verify | extract) goal=0.4 input=@ENV@ ;;
    esac
    [ "$mb" = 10 ] || goal=-  # the time goals are the 10 MB packet's; other sizes show time
    code=$(case $action in childs) echo 1 ;; root) echo 2 ;; envelope) echo 3 ;; verify) echo 4 ;; extract) echo 5 ;; esac)
    row "$action" "file -> file" "$doc" "$packet" "$goal" -- "$dezsign" "$action" @MODE@ "$input" -o "$work/r.xml"
    row "$action" "--text -> stdout" "$doc" "$packet" "$goal" -- "$dezsign" "$action" @MODE@ --text "$input"
    row "$action" "--profile-object" "$doc" "$packet" "$goal" -- \
      "$dezsign" "$action" @MODE@ --profile-object "$input" -o "$work/r.xml"
    if [ -x "$capi" ]; then
      row "$action" "C API file" "$doc" "$packet" "$goal" -- "$capi" file "$code" "$input" "$work/r.xml" @KEY@
      held="$([ "$input" = @ENV@ ] && echo "$work/envelope-test.xml" || echo "$input")|$work/r.xml" \
        row "$action" "C API text" "$doc" "$packet" "$goal" -- "$capi" xml "$code" "$input" "$work/r.xml" @KEY@
    fi
  done
  row base64-env "text -> stdout" "$doc" "$packet" "$([ "$mb" = 10 ] && echo 0.6 || echo -)" -- \
    "$dezsign" base64-envelope @MODE@ "$work/packet.b64"
  row canon "--numbered" "$doc" "$packet" - -- "$dezsign" canon --numbered "$packet"
  rm -f "$packet" "$work"/envelope-*.xml "$work/packet.b64" "$work/r.xml" "$work/out"
done

# A packet of another producer: the same messages with some attributes in namespaces of
# their own (pay:Sum, pay:Acc, bic:BIC), which the fixed-prefix form declares on each
# element that carries them. Envelope is held to its goal here too; Root and Childs, whose
# second pass such a text cannot skip, show their time.
if [[ " $sizes " == *" 10 "* ]]; then
  prefixed=$work/prefixed10.xml
  "$gen" "$prefixed" --prefixed --bytes $((10 << 20))
  doc=$(stat -c %s "$prefixed")
  read -r ref refwall _ _ <<< "$(measure /dev/null - -- xmllint --c14n "$prefixed")"
  {
    echo
    echo "== 10 MB packet of another producer, attributes with namespace prefixes ($doc bytes);" \
      "xmllint --c14n of it: CPU $ref s, wall $refwall s"
    header
  } >> "$rows"
  row envelope "file -> file" "$doc" "$prefixed" 0.6 -- "$dezsign" envelope @MODE@ "$prefixed" -o "$work/r.xml"
  row root "file -> file" "$doc" "$prefixed" - -- "$dezsign" root @MODE@ "$prefixed" -o "$work/r.xml"
  row childs "file -> file" "$doc" "$prefixed" - -- "$dezsign" childs @MODE@ "$prefixed" -o "$work/r.xml"
  rm -f "$prefixed" "$work/r.xml" "$work/out"
fi

# A packet of many small documents, the common case of signing child by child.
if [ -z "$lean_only" ]; then
small=$work/small.xml
awk 'BEGIN {
  print "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
  print "<Packet xmlns=\"urn:dez-ru:ed:v2.0\">"
  for (i = 1; i <= 100000; i++) printf "<ED101 No=\"%d\">%d</ED101>\n", i, i
  print "</Packet>"
}' > "$small"
doc=$(stat -c %s "$small")
read -r ref refwall _ _ <<< "$(measure /dev/null - -- xmllint --c14n "$small")"
{
  echo
  echo "== 100,000 small children ($doc bytes); xmllint --c14n of it: CPU $ref s, wall $refwall s"
  header
} >> "$rows"
row childs "file -> file" "$doc" "$small" - -- "$dezsign" childs @MODE@ "$small" -o "$work/r.xml"

# The same count of children of the least size: the per-child cost shows most.
tiny=$work/tiny-children.xml
awk 'BEGIN {
  printf "<R xmlns=\"urn:dez-ru:ed:v2.0\">"
  for (i = 1; i <= 100000; i++) printf "<E N=\"%d\">v</E>", i
  print "</R>"
}' > "$tiny"
doc=$(stat -c %s "$tiny")
read -r ref refwall _ _ <<< "$(measure /dev/null - -- xmllint --c14n "$tiny")"
{
  echo
  echo "== 100,000 children <E N=\"i\">v</E> ($doc bytes); xmllint --c14n of it: CPU $ref s, wall $refwall s"
  header
} >> "$rows"
row childs "file -> file" "$doc" "$tiny" - -- "$dezsign" childs @MODE@ "$tiny" -o "$work/r.xml"
fi

# Checking as lean as signing, with the real key (the provider's work is much of both): the
# check of a Root-signed packet against `root` of the same packet, the check of a
# Childs-signed one against the provider's own verification of every child's signed bytes
# (verify_floor on the pairs export-signature writes: the floor), each paired run by run
# (least CPU of each side); peak memory over the unsigned packet's size. Goals: Root <= 1.2x,
# Childs <= 1.3x the floor, memory <= 4x (also for 100,000 small children), -j 2 on four
# files >= 1.9x one worker (wall time).
lean_row() {  # WHAT GOAL DOC REF_CPU -- COMMAND...: one row of the lean check section
  local what=$1 goal=$2 doc=$3 refcpu=$4 c w m
  shift 5
  if ! read -r c w m _ <<< "$(measure "$work/out" - -- "$@")" || [ -z "$m" ]; then
    printf '%-34s %s\n' "$what" "FAILED (see above)" >> "$lean"
    return 0
  fi
  awk -v a="$what" -v g="$goal" -v c="$c" -v r="$refcpu" -v m="$m" -v d="$doc" 'BEGIN {
    ratio = (r == "-") ? 0 : c / (r > 0 ? r : 0.001); mem = m * 1024 / d
    met = (mem <= 4 && (g == "-" || ratio <= g)) ? "met" : "NOT met"
    printf "%-34s %6.3f %6s %6s %5s %8.0f %6.1f %4s  %s\n", a, c, r, (r == "-") ? "-" : sprintf("%.2f", ratio), g, m / 1024, mem, "4", met
  }' >> "$lean"
}
# paired_cpu REF_OUT -- REF_COMMAND... ++ COMMAND...: "cpu refcpu peak" of COMMAND with
# REF_COMMAND run just before each run, least CPU of each.
paired_cpu() {
  local refout=$1 ref=() cmd=() side=ref c m rc cpu="" refcpu="" peak=0 r
  shift 2
  for w in "$@"; do
    if [ "$w" = ++ ]; then side=cmd; elif [ $side = ref ]; then ref+=("$w"); else cmd+=("$w"); fi
  done
  for r in $(seq 1 "$runs"); do
    read -r rc _ _ <<< "$(timed "$refout" "${ref[@]}")" || return 1
    read -r c _ m <<< "$(timed "$work/out" "${cmd[@]}")" || return 1
    if [ -z "$refcpu" ] || awk -v a="$rc" -v b="$refcpu" 'BEGIN { exit !(a < b) }'; then refcpu=$rc; fi
    if [ -z "$cpu" ] || awk -v a="$c" -v b="$cpu" 'BEGIN { exit !(a < b) }'; then cpu=$c; fi
    [ "$m" -gt "$peak" ] && peak=$m
  done
  echo "$cpu $refcpu $peak"
}
lean_paired() {  # WHAT GOAL DOC -- REF_COMMAND... ++ COMMAND...
  local what=$1 goal=$2 doc=$3 c rc m
  shift 4
  if ! read -r c rc m <<< "$(paired_cpu /dev/null -- "$@")" || [ -z "$m" ]; then
    printf '%-34s %s\n' "$what" "FAILED (see above)" >> "$lean"
    return 0
  fi
  awk -v a="$what" -v g="$goal" -v c="$c" -v r="$rc" -v m="$m" -v d="$doc" 'BEGIN {
    ratio = c / (r > 0 ? r : 0.001); mem = m * 1024 / d
    met = (mem <= 4 && ratio <= g) ? "met" : "NOT met"
    printf "%-34s %6.3f %6.3f %6.2f %5s %8.0f %6.1f %4s  %s\n", a, c, r, ratio, g, m / 1024, mem, "4", met
  }' >> "$lean"
}
lean=$work/lean
if [ -n "$key" ]; then
  packet=$work/lean-packet.xml
  "$gen" "$packet" --bytes $((10 << 20))
  doc=$(stat -c %s "$packet")
  "$dezsign" root -p "$key" --silent "$packet" -o "$work/lean-root.xml"
  "$dezsign" childs -p "$key" --silent "$packet" -o "$work/lean-childs.xml"
  {
    echo
    echo "== Checking as lean as signing: the 10 MB packet ($doc bytes), real key; CPU least of $runs" \
      "runs, paired with the reference run beside each; x doc: peak over the unsigned packet"
    printf '%-34s %6s %6s %6s %5s %8s %6s %4s  %s\n' what "CPU s" "ref s" ratio goal "peak MB" "x doc" goal ""
  } >> "$lean"
  lean_paired "check root / root" 1.2 "$doc" -- "$dezsign" root -p "$key" --silent "$packet" -o "$work/r.xml" \
    ++ "$dezsign" check-signature -p "$key" "$work/lean-root.xml"
  [ -x "$capi" ] && lean_paired "check root C API / root" 1.2 "$doc" -- \
    "$dezsign" root -p "$key" --silent "$packet" -o "$work/r.xml" ++ "$capi" check 0 "$work/lean-root.xml" - "$key"
  if [ -x "$build/bench/verify_floor" ]; then
    mkdir -p "$work/pairs"
    "$dezsign" export-signature --childs -q "$work/lean-childs.xml" --cms "$work/pairs/s.p7s" --data "$work/pairs/s.bin"
    floor=""
    for r in $(seq 1 "$runs"); do
      f=$("$build/bench/verify_floor" "$build/tools/libspki1.so" "$key" "$work/pairs" | awk '{ print $(NF - 1) }')
      if [ -z "$floor" ] || awk -v a="$f" -v b="$floor" 'BEGIN { exit !(a < b) }'; then floor=$f; fi
    done
    rm -rf "$work/pairs"
    lean_row "check --childs / verify floor" 1.3 "$doc" "$floor" -- \
      "$dezsign" check-signature --childs -q -p "$key" "$work/lean-childs.xml"
    [ -x "$capi" ] && lean_row "check --childs C API / floor" 1.3 "$doc" "$floor" -- \
      "$capi" check 1 "$work/lean-childs.xml" - "$key"
  fi
  # A batch: four files, one worker against two (wall time; needs two idle cores).
  for k in 1 2 3 4; do cp "$work/lean-root.xml" "$work/lean-root-$k.xml"; done
  read -r _ w1 _ _ <<< "$(measure /dev/null - -- "$dezsign" check-signature -p "$key" -j 1 "$work"/lean-root-?.xml)"
  read -r _ w2 _ _ <<< "$(measure /dev/null - -- "$dezsign" check-signature -p "$key" -j 2 "$work"/lean-root-?.xml)"
  awk -v a="$w1" -v b="$w2" 'BEGIN { s = a / (b > 0 ? b : 0.001)
    printf "%-34s %6.3f %6.3f %6.2f %5s %8s %6s %4s  %s\n", "check -j 2 (wall) / -j 1, 4 files", b, a, s, ">=1.9", "-", "-", "-", (s >= 1.9) ? "met" : "NOT met" }' >> "$lean"
  rm -f "$work"/lean-root-?.xml "$work/lean-childs.xml" "$packet"
  # Many small children: what each child costs stays the same as their number grows.
  awk 'BEGIN {
    print "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
    print "<Packet xmlns=\"urn:dez-ru:ed:v2.0\">"
    for (i = 1; i <= 100000; i++) printf "<ED101 No=\"%d\">%d</ED101>\n", i, i
    print "</Packet>"
  }' > "$work/lean-small.xml"
  "$dezsign" childs -p "$key" --silent "$work/lean-small.xml" -o "$work/lean-small-signed.xml"
  # Here x doc is over the signed packet that the check reads (a real signature per child
  # makes it thirty times the unsigned one): the loader holds that file's bytes as it parses.
  doc=$(stat -c %s "$work/lean-small-signed.xml")
  lean_row "check --childs 100,000 small (x signed)" - "$doc" - -- \
    "$dezsign" check-signature --childs -q -p "$key" "$work/lean-small-signed.xml"
  rm -f "$work/lean-small.xml" "$work/lean-small-signed.xml" "$work/lean-root.xml"
fi

echo
echo "== Summary (machine load average $(cut -d' ' -f1-3 /proc/loadavg))"
[ ! -s "$rows" ] || cat "$rows"
[ ! -s "$lean" ] || cat "$lean"
if [ -n "${BENCH_GOALS:-}" ] && [ -s "$BENCH_GOALS" ]; then
  echo
  echo "== Rows of the other benchmarks (small messages with real signatures, hostile shapes)"
  printf '%-58s %10s %8s  %s\n' "" measured goal ""
  while IFS='|' read -r what value goal met; do
    printf '%-58s %10s %8s  %s\n' "$what" "$value" "$goal" "$met"
  done < "$BENCH_GOALS"
fi
