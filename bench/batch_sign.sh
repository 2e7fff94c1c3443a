#!/usr/bin/env bash
# Batch signing with real signatures: `dezsign root` (GOST R 34.10-2012, 256-bit key) over
# copies of a ~3 KB payment message, one Profile object per worker, with 1 and 2 workers;
# next to it, measured in the same run, the bare cost of one detached CMS signature
# (libcrypto CMS_sign in spki1_bench) and the same batch in test mode (no signature at
# all: the library's own work plus file reading and writing).
#
#   bench/batch_sign.sh [BENCH_BUILD] [COUNT]     (COUNT default 2000, or $BATCH_SIGN_COUNT)
#
# Goals: at most 100 µs per message in a batch and at most 1.4 times the bare CMS cost;
# two workers at least 1.8 times the throughput of one (needs two idle cores).
set -euo pipefail
build=$(realpath "${1:-build/bench}")
count=${2:-${BATCH_SIGN_COUNT:-2000}}
runs=${BATCH_SIGN_RUNS:-3}
root=$(cd "$(dirname "$0")/.." && pwd)
dezsign=$build/tools/dezsign
tool=$build/tools/spki1-tool
bare=$build/bench/spki1_bench
gen=$build/bench/bench_packet_gen

if [ ! -x "$dezsign" ] || [ ! -x "$tool" ] || [ ! -e "$build/tools/libspki1.so" ]; then
  echo "batch_sign: dezsign or the reference provider is not built in $build: skipped"
  exit 0
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
export SPKI1_HOME="$work/spki1-home"
unset SPKI1_PIN
"$tool" create bench --alg gost2012-256 >/dev/null

if [ -x "$gen" ]; then
  "$gen" msg.xml --message
else
  cp "$root/samples/payment.xml" msg.xml
  echo "(bench_packet_gen not built: using samples/payment.xml)"
fi
signed_bytes=$("$dezsign" canon --numbered msg.xml | wc -c)
mkdir in
for i in $(seq 1 "$count"); do cp msg.xml "in/m$i.xml"; done

# Results go to a memory file system where there is one: every result file is flushed to
# disk (file and folder fsync) before the next, which on a disk costs milliseconds per
# file and would hide the signing cost; one disk row below shows that cost.
outbase=$work
if [ -z "${BATCH_SIGN_OUT:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
  outbase=$(mktemp -d /dev/shm/batch_sign.XXXXXX)
  trap 'rm -rf "$work" "$outbase"' EXIT
elif [ -n "${BATCH_SIGN_OUT:-}" ]; then
  outbase=$BATCH_SIGN_OUT
fi
timer=$(command -v /usr/bin/time || true)

# Best of several runs (the machine may be shared). The rate is dezsign's own summary,
# the batch proper without process start; CPU is user+system time of the whole process
# per message (the process start is spread over the batch).
batch_rate() {  # batch_rate OUTBASE WORKERS [dezsign options...] -> "files/s cpu_us"
  local base=$1 jobs=$2 best=0 cpu=0 rate r c
  shift 2
  for r in $(seq 1 "$runs"); do
    rm -rf "$base/out"
    if [ -n "$timer" ]; then
      "$timer" -f '%U %S' -o cpu.txt "$dezsign" root -p bench "$@" -j "$jobs" in/*.xml \
        --out-dir "$base/out" 2> summary.txt >/dev/null || { cat summary.txt >&2; exit 1; }
      c=$(awk -v n="$count" '{ printf "%.1f", ($1 + $2) * 1e6 / n }' cpu.txt)
    else
      "$dezsign" root -p bench "$@" -j "$jobs" in/*.xml --out-dir "$base/out" 2> summary.txt >/dev/null ||
        { cat summary.txt >&2; exit 1; }
      c=0
    fi
    rate=$(sed -n 's/.* files done in .* s (\([0-9.]*\) files\/s.*/\1/p' summary.txt)
    if awk -v a="$best" -v b="$rate" 'BEGIN { exit !(b > a) }'; then best=$rate; cpu=$c; fi
  done
  rm -rf "$base/out"
  echo "$best $cpu"
}
us() { awk -v r="$1" 'BEGIN { printf "%.1f", 1e6 / r }'; }

echo "message: $(wc -c < msg.xml) bytes, signed (numbered canonical) $signed_bytes bytes;" \
  "$count copies, best of $runs runs; load average $(cut -d' ' -f1-3 /proc/loadavg)"

bare_us=""
bare_label="bare CMS_sign, 3072 bytes (spki1_bench)"
if [ -x "$bare" ]; then
  "$bare" --benchmark_filter='BM_BareCmsSign|BM_VcertSignBase64' --benchmark_format=json \
    > bare.json 2>/dev/null || true
  bare_us=$(python3 - bare.json <<'PY'
import json, sys
try:
    rows = {b["name"]: b for b in json.load(open(sys.argv[1]))["benchmarks"]}
    print("%.1f %.1f" % (rows["BM_BareCmsSign"]["cpu_time"], rows["BM_VcertSignBase64"]["cpu_time"]))
except Exception:
    pass
PY
)
fi
if [ -z "$bare_us" ]; then
  # Rough reference only: one openssl process per signature, start-up included.
  t0=$(date +%s%N)
  for i in $(seq 1 50); do
    openssl cms -sign -engine gost -binary -outform DER -in msg.xml -signer "$SPKI1_HOME/bench/cert.pem" \
      -inkey "$SPKI1_HOME/bench/key.pem" -out sig.der 2>/dev/null
  done
  t1=$(date +%s%N)
  bare_us="$(awk -v d=$((t1 - t0)) 'BEGIN { printf "%.1f", d / 50 / 1000 }') -"
  echo "(spki1_bench not built: bare cost is 'openssl cms -sign' per process, a rough upper bound)"
  bare_label="openssl cms -sign, one process each (rough)"
fi
read -r bare_cms bare_b64 <<< "$bare_us"

read -r test_rate test_cpu <<< "$(batch_rate "$outbase" 1 --test-mode)"
read -r rate1 cpu1 <<< "$(batch_rate "$outbase" 1 --silent --profile-object)"
read -r rate2 cpu2 <<< "$(batch_rate "$outbase" 2 --silent --profile-object)"
disk_rate=""
if [ "$outbase" != "$work" ]; then
  read -r disk_rate disk_cpu <<< "$(runs=1 batch_rate "$work" 1 --silent --profile-object)"
fi
us1=$(us "$rate1")

echo "results written to $outbase (disk row: $work)"
printf '%-50s %11s %11s %11s\n' "" "µs/message" "messages/s" "CPU µs/msg"
row() { printf '%-50s %11s %11.0f %11s\n' "$1" "$(us "$2")" "$2" "$3"; }
row "$bare_label" "$(awk -v u="$bare_cms" 'BEGIN { print 1e6 / u }')" "$bare_cms"
[ "$bare_b64" != "-" ] && row "VCERT_ sign + Base64, 3072 bytes (spki1_bench)" \
  "$(awk -v u="$bare_b64" 'BEGIN { print 1e6 / u }')" "$bare_b64"
row "dezsign root --test-mode, 1 worker (no crypto)" "$test_rate" "$test_cpu"
row "dezsign root GOST-256, 1 worker" "$rate1" "$cpu1"
row "dezsign root GOST-256, 2 workers" "$rate2" "$cpu2"
[ -n "$disk_rate" ] && row "dezsign root GOST-256, 1 worker, results on disk" "$disk_rate" "$disk_cpu"
awk -v u="$us1" -v b="$bare_cms" -v r1="$rate1" -v r2="$rate2" 'BEGIN {
  printf "1 worker: %.2f x the bare CMS cost (goal <= 1.4); %.1f µs/message (goal <= 100)\n", u / b, u
  printf "2 workers: %.2f x the throughput of one (goal >= 1.8)\n", r2 / r1
}'
