#!/usr/bin/env bash
# The folder spool against the plain batch: the same COUNT payment messages (test mode, so
# that the spool's own folder work is not hidden behind signing) signed by
#   dezsign root -t IN/* --out-dir OUT --parents                    (the batch)
#   dezsign spool root -t --in IN --out OUT --done DONE --watch   (files already in IN;
#                                                            timed until the last is in DONE)
# in rounds, each into fresh folders, which goes first alternating; every rate is its best round, and the
# ratio is also given per round (how far the shared host drifted).
#
#   bench/spool_watch.sh [BENCH_BUILD] [COUNT]   (COUNT default 10000, or $SPOOL_COUNT;
#                                                 rounds $SPOOL_RUNS, default 2)
#
# Goal: the spool's throughput at least 0.8 times the batch's. With $BENCH_GOALS set, the
# row is appended there for the closing table (bench/table.sh).
set -euo pipefail
build=$(realpath "${1:-build/bench}")
count=${2:-${SPOOL_COUNT:-10000}}
runs=${SPOOL_RUNS:-2}
root=$(cd "$(dirname "$0")/.." && pwd)
dezsign=$build/tools/dezsign
work=$(mktemp -d "${SPOOL_BENCH_DIR:-$root/build}/spool-bench.XXXXXX")
spool_pid=
trap '[ -n "$spool_pid" ] && kill "$spool_pid" 2>/dev/null; rm -rf "$work"' EXIT
cd "$work"
mkdir src
for i in $(seq 1 "$count"); do
  sed "s/EDNo=\"1024\"/EDNo=\"$i\"/" "$root/samples/payment.xml" > "src/d$i.xml"
done
now() { date +%s.%N; }
rate() { awk -v n="$count" -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", n / (b - a) }'; }

batch_round() {  # prints files/s
  local r=$1 t0 t1
  cp -r src "batch-in$r"
  sync
  t0=$(now)
  "$dezsign" root -t -p key "batch-in$r"/* --out-dir "batch-out$r" --parents -j 2 2>/dev/null
  t1=$(now)
  rate "$t0" "$t1"
}

spool_round() {  # prints files/s
  local r=$1 t0 t1
  cp -r src "spool-in$r"
  mkdir "spool-done$r"
  sync
  t0=$(now)
  "$dezsign" spool root -t -p key --in "spool-in$r" --out "spool-out$r" --done "spool-done$r" \
    --watch -j 2 2> "spool-log$r.txt" &
  spool_pid=$!
  # One log line per file, written once it is in DONE: counting lines costs next to nothing
  # (listing DONE every few milliseconds would take a share of the cores being measured).
  while [ "$(cat "spool-log$r.txt" 2>/dev/null | wc -l)" -lt "$count" ]; do sleep 0.05; done
  t1=$(now)
  kill -TERM "$spool_pid"
  wait "$spool_pid"
  spool_pid=
  rate "$t0" "$t1"
}

best_batch=0
best_spool=0
ratios=
for r in $(seq 1 "$runs"); do
  # Which goes first alternates: what one run leaves to the disk (journal, writeback) is
  # then paid by each in turn.
  if [ $((r % 2)) -eq 1 ]; then
    b=$(batch_round "$r")
    s=$(spool_round "$r")
  else
    s=$(spool_round "$r")
    b=$(batch_round "$r")
  fi
  ratios="$ratios $(awk -v s="$s" -v b="$b" 'BEGIN { printf "%.2f", s / b }')"
  best_batch=$(awk -v a="$best_batch" -v b="$b" 'BEGIN { print (b > a ? b : a) }')
  best_spool=$(awk -v a="$best_spool" -v b="$s" 'BEGIN { print (b > a ? b : a) }')
done
row=$(awk -v s="$best_spool" -v b="$best_batch" -v n="$count" 'BEGIN {
  v = s / b
  printf "root -t, spool --watch / batch, %d files|%.2fx|>= 0.8|%s\n", n, v, (v >= 0.8 ? "met" : "NOT met")
}')
echo "batch: $best_batch files/s, spool --watch: $best_spool files/s (best of $runs rounds)"
echo "$row" | awk -F'|' '{ printf "%-52s %8s  goal %-7s %s\n", $1, $2, $3, $4 }'
echo "each round's spool / batch:$ratios"
if [ -n "${BENCH_GOALS:-}" ]; then echo "$row" >> "$BENCH_GOALS"; fi
