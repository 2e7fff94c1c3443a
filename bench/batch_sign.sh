#!/usr/bin/env bash
# Batch signing with real signatures: `dezsign root` (GOST R 34.10-2012, 256-bit key) over
# copies of a ~3 KB payment message, one Profile object per worker, with 1 and 2 workers;
# next to it, measured in the same run, the bare cost of one detached CMS signature of the
# same signed bytes (libcrypto CMS_sign in spki1_bench) and the same batch in test mode (no
# signature at all: the library's own work plus file reading and writing), and the time
# one worker spends inside the provider's signing call (bench/provider_timer.c), and the
# file work alone (bench/file_floor.c: reading the inputs and writing results of the same
# size the way dezsign does, nothing in between; and once more with the provider's signing
# call between reading and writing), and the provider's own signing rate in 2
# threads against 1 (the most two workers can gain). Then `dezsign verify` over envelopes
# of the message next to a bare CMS_verify.
#
#   bench/batch_sign.sh [BENCH_BUILD] [COUNT]     (COUNT default 2000, or $BATCH_SIGN_COUNT)
#
# Everything is measured in $BATCH_SIGN_RUNS rounds (default 3), the references again in
# each round, and every time and rate is its best round: a shared host's speed drifts by
# a third over seconds, and a reference taken once would pass its spell on to the ratio.
#
# The same one- and two-worker batches once more with their results on a disk (a folder
# under the build tree, or $BATCH_SIGN_DISK), each run right after its memory twin in the
# same round, into a fresh folder after a `sync` (outputs deleted only at the end: on a
# disk mounted with `discard` a deletion makes the next flush pay for its TRIM).
#
# Goals: one worker at most 1.3 times "file work + the provider's signing call" (file_floor
# --sign: what one worker cannot go below); two workers at least 1.9 times the throughput
# of one (needs two idle cores); the batch with its results on a disk at most 1.3 times the
# time of the same batch on tmpfs, one worker and two; verify at most 1.3 times a bare
# CMS_verify. The ratios are taken twice: CPU time against CPU time (user + system of the
# whole dezsign process per message, start included, against the benchmark's CPU time;
# what decides on a shared machine) and wall time against wall time. With $BENCH_GOALS
# set, the goal rows are also appended there for the closing table (bench/table.sh).
set -euo pipefail
build=$(realpath "${1:-build/bench}")
count=${2:-${BATCH_SIGN_COUNT:-2000}}
runs=${BATCH_SIGN_RUNS:-3}
root=$(cd "$(dirname "$0")/.." && pwd)
dezsign=$build/tools/dezsign
tool=$build/tools/spki1-tool
bare_bench=$build/bench/spki1_bench
gen=$build/bench/bench_packet_gen

if [ ! -x "$dezsign" ] || [ ! -x "$tool" ] || [ ! -e "$build/tools/libspki1.so" ] ||
  [ ! -x "$build/bench/proc_time" ]; then
  echo "batch_sign: dezsign, the reference provider or proc_time is not built in $build: skipped"
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
# The bytes root signs: the numbered-prefix canonical text.
"$dezsign" canon --numbered msg.xml > signed.bin
signed_bytes=$(wc -c < signed.bin)
"$dezsign" envelope -p bench --silent msg.xml -o envelope.xml
mkdir in env
for i in $(seq 1 "$count"); do
  cp msg.xml "in/m$i.xml"
  cp envelope.xml "env/e$i.xml"
done

# Results go to a memory file system where there is one: every result file is flushed to
# disk (file and folder fsync) before the next, which on a disk costs milliseconds per
# file and would hide the signing cost; one disk row below shows that cost.
outbase=$work
if [ -z "${BATCH_SIGN_OUT:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
  outbase=$(mktemp -d /dev/shm/batch_sign.XXXXXX)
elif [ -n "${BATCH_SIGN_OUT:-}" ]; then
  outbase=$BATCH_SIGN_OUT
fi
diskbase=$(mktemp -d "${BATCH_SIGN_DISK:-$build}/batch_sign_disk.XXXXXX")
trap 'rm -rf "$work" "$diskbase"; [ "$outbase" = "$work" ] || rm -rf "$outbase"' EXIT
memory_fs=$(stat -f -c %T "$outbase")
disk_fs=$(stat -f -c %T "$diskbase")
[ "$disk_fs" = ext2/ext3 ] && disk_fs=ext4  # stat's name for the ext family's magic
disk_rows=1
if [ "$disk_fs" = tmpfs ] || [ "$disk_fs" = ramfs ] || [ "$memory_fs" != tmpfs ]; then
  disk_rows=""
  echo "(no disk folder beside a memory one: $diskbase is $disk_fs, $outbase is $memory_fs; no disk rows)"
fi
proc_time=$build/bench/proc_time

# The host's speed drifts over seconds on a shared machine, so every reference is measured
# again in each round, next to what it is compared with, and each quantity counts with its
# best round. The rate is dezsign's own summary, the batch proper without process start;
# CPU is user+system time of the whole process per message (the process start is spread
# over the batch).

# batch_once OUTBASE WORKERS ACTION INPUT_DIR [dezsign options...] -> "files/s cpu_us"
batch_once() {
  local base=$1 jobs=$2 action=$3 inputs=$4 rate c
  shift 4
  rm -rf "$base/out"
  # proc_time's own line ("cpu wall peak") comes last on standard error.
  "$proc_time" "$dezsign" "$action" -p bench "$@" -j "$jobs" "$inputs"/*.xml \
    --out-dir "$base/out" --parents 2> summary.txt >/dev/null || { cat summary.txt >&2; exit 1; }
  c=$(tail -n 1 summary.txt | awk -v n="$count" '{ printf "%.1f", $1 * 1e6 / n }')
  rm -rf "$base/out"
  rate=$(sed -n 's/.* files done in .* s (\([0-9.]*\) files\/s.*/\1/p' summary.txt)
  echo "$rate $c"
}
# disk_once WORKERS TAG -> "files/s cpu_us" of the batch with its results in a fresh folder
# on the disk, after a sync; kept until the end.
disk_once() {
  sync
  "$proc_time" "$dezsign" root -p bench --silent --profile-object -j "$1" in/*.xml \
    --out-dir "$diskbase/out-$2" --parents 2> summary.txt >/dev/null || { cat summary.txt >&2; exit 1; }
  local c rate
  c=$(tail -n 1 summary.txt | awk -v n="$count" '{ printf "%.1f", $1 * 1e6 / n }')
  rate=$(sed -n 's/.* files done in .* s (\([0-9.]*\) files\/s.*/\1/p' summary.txt)
  echo "$rate $c"
}
# disk_floor_once WORKERS TAG -> "files cpu_us wall_us" of file_floor --sign with WORKERS
# writers and its results in a fresh folder on the disk, after a sync: the floor of the
# disk rows (what the file system costs with the signing call between, nothing else).
disk_floor_once() {
  sync
  mkdir "$diskbase/floor-$2"
  "$build/bench/file_floor" --sign "$build/tools/libspki1.so" bench --jobs "$1" \
    "$diskbase/floor-$2" "$result_bytes" in/*.xml
}
us() { awk -v r="$1" 'BEGIN { printf "%.1f", 1e6 / r }'; }
per_s() { awk -v u="$1" 'BEGIN { print 1e6 / u }'; }

echo "message: $(wc -c < msg.xml) bytes, signed (numbered canonical) $signed_bytes bytes;" \
  "$count copies, $runs rounds; load average $(cut -d' ' -f1-3 /proc/loadavg)"

if [ ! -x "$bare_bench" ]; then
  echo "batch_sign: spki1_bench (built with -DLUMO_BUILD_BENCH=ON beside the provider) gave no reference: skipped"
  exit 0
fi
# bare_once -> CPU µs of sign, sign + Base64 and verify, the wall µs of sign and verify, then
# the provider's own signing rate in 1 and in 2 threads (messages/s: what two workers can
# gain at most, libcrypto's locks and the host included)
bare_once() {
  SPKI1_BENCH_MESSAGE=$work/signed.bin "$bare_bench" --benchmark_min_time=0.5 \
    --benchmark_filter='BM_BareCmsSign|BM_VcertSignBase64|BM_BareCmsVerify|BM_VcertSign/' \
    --benchmark_format=json > bare.json 2>/dev/null || true
  python3 - bare.json <<'PY'
import json, sys
try:
    rows = {b["name"]: b for b in json.load(open(sys.argv[1]))["benchmarks"]}
    s, b, v = rows["BM_BareCmsSign"], rows["BM_VcertSignBase64"], rows["BM_BareCmsVerify"]
    t1, t2 = rows["BM_VcertSign/real_time/threads:1"], rows["BM_VcertSign/real_time/threads:2"]
    print("%.1f %.1f %.1f %.1f %.1f %.1f %.1f" % (s["cpu_time"], b["cpu_time"], v["cpu_time"],
          s["real_time"], v["real_time"], 1e6 / t1["real_time"], 1e6 / t2["real_time"]))
except Exception:
    pass
PY
}

# The file work alone, results of the size a signed message has: what is left of a
# message's cost with no parsing, canonical form, markup or signature at all.
# floor_once [--sign LIBRARY PROFILE] -> "files cpu_us wall_us"; with --sign, each input is
# also signed by the provider between reading and writing: the signature and the file work
# with nothing of the library in between.
floor_once() {
  rm -rf "$outbase/out" && mkdir "$outbase/out"
  "$build/bench/file_floor" "$@" "$outbase/out" "$result_bytes" in/*.xml
  rm -rf "$outbase/out"
}
"$dezsign" root -p bench --silent msg.xml -o result.xml
result_bytes=$(wc -c < result.xml)

declare -A m  # m[quantity]: the rounds' values, space-separated
add() { m[$1]="${m[$1]:-} $2"; }
for r in $(seq 1 "$runs"); do
  read -r bare_cms bare_b64 bare_verify bare_cms_wall bare_verify_wall vcert_rate1 vcert_rate2 \
    <<< "$(bare_once)"
  if [ -z "${vcert_rate2:-}" ]; then
    echo "batch_sign: spki1_bench gave no reference: skipped"
    exit 0
  fi
  read -r test_rate test_cpu <<< "$(batch_once "$outbase" 1 root in --test-mode --profile-object)"
  read -r rate1 cpu1 <<< "$(batch_once "$outbase" 1 root in --silent --profile-object)"
  if [ -n "$disk_rows" ]; then
    read -r drate1 dcpu1 <<< "$(disk_once 1 "1-$r")"
    add drate1 "$drate1"
    add dcpu1 "$dcpu1"
    add g_disk1 "$(awk -v a="$rate1" -v b="$drate1" 'BEGIN { printf "%.3f", a / b }')"
  fi
  read -r rate2 cpu2 <<< "$(batch_once "$outbase" 2 root in --silent --profile-object)"
  if [ -n "$disk_rows" ]; then
    read -r drate2 dcpu2 <<< "$(disk_once 2 "2-$r")"
    add drate2 "$drate2"
    add dcpu2 "$dcpu2"
    add g_disk2 "$(awk -v a="$rate2" -v b="$drate2" 'BEGIN { printf "%.3f", a / b }')"
  fi
  read -r vrate vcpu <<< "$(batch_once "$outbase" 1 verify env --silent --profile-object)"
  # Without --profile-object each file is one call of the DEZSign object, which opens the
  # key profile and closes it again: no goal, shown for what a key open adds to a file.
  read -r orate ocpu <<< "$(batch_once "$outbase" 1 root in --silent)"
  # Where one worker's time goes: the same batch once more through provider_timer, which
  # times the provider's signing calls inside dezsign.
  if [ -e "$build/bench/libprovider_timer.so" ]; then
    rm -rf "$outbase/out"
    LUMO_TIMED_PROVIDER=$build/tools/libspki1.so "$dezsign" root -p bench --silent --profile-object \
      --provider "$build/bench/libprovider_timer.so" -j 1 in/*.xml --out-dir "$outbase/out" --parents \
      2> timer.txt > /dev/null || { cat timer.txt >&2; exit 1; }
    rm -rf "$outbase/out"
    inside=$(sed -n 's/^provider_timer: .* CPU \([0-9.]*\) wall.*/\1/p' timer.txt)
    add inside "$inside"
    add inside_rate "$(sed -n 's/.* files done in .* s (\([0-9.]*\) files\/s.*/\1/p' timer.txt)"
  fi
  for q in bare_cms bare_b64 bare_verify bare_cms_wall bare_verify_wall vcert_rate1 vcert_rate2 \
    test_rate test_cpu rate1 cpu1 rate2 cpu2 vrate vcpu orate ocpu; do
    add "$q" "${!q}"
  done
  if [ -x "$build/bench/file_floor" ]; then
    read -r _ floor floor_wall <<< "$(floor_once)"
    add floor "$floor"
    add floor_wall "$floor_wall"
    read -r _ floor_sign floor_sign_wall <<< "$(floor_once --sign "$build/tools/libspki1.so" bench)"
    add floor_sign "$floor_sign"
    add floor_sign_wall "$floor_sign_wall"
    if [ -n "$disk_rows" ]; then
      # The disk rows' floors: the same on tmpfs and on the disk, one writer and two.
      for j in 1 2; do
        read -r _ _ ft <<< "$(floor_once --sign "$build/tools/libspki1.so" bench --jobs "$j")"
        read -r _ _ fd <<< "$(disk_floor_once "$j" "$j-$r")"
        add "floor_tmpfs$j" "$ft"
        add "floor_disk$j" "$fd"
        add "g_floor_disk$j" "$(awk -v a="$fd" -v b="$ft" 'BEGIN { printf "%.3f", a / b }')"
      done
    fi
  fi
  if [ -n "${floor_sign:-}" ]; then
    add g_cpu "$(awk -v a="$cpu1" -v b="$floor_sign" 'BEGIN { printf "%.3f", a / b }')"
    add g_wall "$(awk -v a="$rate1" -v b="$floor_sign_wall" 'BEGIN { printf "%.3f", (1e6 / a) / b }')"
  fi
  add g_two "$(awk -v a="$rate2" -v b="$rate1" 'BEGIN { printf "%.3f", a / b }')"
  add g_vcert_two "$(awk -v a="$vcert_rate2" -v b="$vcert_rate1" 'BEGIN { printf "%.3f", a / b }')"
  add g_vcpu "$(awk -v a="$vcpu" -v b="$bare_verify" 'BEGIN { printf "%.3f", a / b }')"
  add g_vwall "$(awk -v a="$vrate" -v b="$bare_verify_wall" 'BEGIN { printf "%.3f", (1e6 / a) / b }')"
done
# least / most QUANTITY -> the least / the most of its rounds: a time's best round and a
# rate's best round (a busy host only ever slows things down).
least() { printf '%s\n' ${m[$1]} | sort -g | head -n 1; }
most() { printf '%s\n' ${m[$1]} | sort -g | tail -n 1; }
# calc EXPRESSION NAME=QUANTITY... -> the expression over the quantities' best rounds (times
# least, rates most: the quantities named "...rate...")
calc() {
  local expr=$1 args=() a
  shift
  for a in "$@"; do
    case ${a#*=} in
      *rate*) args+=(-v "${a%%=*}=$(most "${a#*=}")") ;;
      *) args+=(-v "${a%%=*}=$(least "${a#*=}")") ;;
    esac
  done
  awk "${args[@]}" "BEGIN { printf \"%.3f\", $expr }"
}

echo "results written to $outbase ($memory_fs); disk rows: $diskbase ($disk_fs)"
printf '%-52s %11s %11s %11s\n' "" "µs/message" "messages/s" "CPU µs/msg"
row() { printf '%-52s %11s %11.0f %11.1f\n' "$1" "$(us "$2")" "$2" "$3"; }
row "bare CMS_sign of the signed bytes (spki1_bench)" "$(per_s "$(least bare_cms_wall)")" "$(least bare_cms)"
row "VCERT_ sign + Base64 (spki1_bench)" "$(per_s "$(least bare_b64)")" "$(least bare_b64)"
row "bare CMS_verify of the signed bytes (spki1_bench)" "$(per_s "$(least bare_verify_wall)")" "$(least bare_verify)"
row "dezsign root --test-mode, 1 worker (no crypto)" "$(most test_rate)" "$(least test_cpu)"
row "dezsign root GOST-256, 1 worker" "$(most rate1)" "$(least cpu1)"
if [ -n "${m[inside]:-}" ]; then
  printf '%-52s %11s %11.0f %11s\n' "the same, once more through provider_timer" \
    "$(us "$(most inside_rate)")" "$(most inside_rate)" "-"
  printf '%-52s %11s %11s %11.1f\n' "  of it CPU in the provider's signing call" "" "" "$(least inside)"
  printf '%-52s %7.2fx  (the same call in a loop of its own: VCERT_ sign + Base64)\n' \
    "  that call in the batch / in a loop of its own" "$(calc "c / b" c=inside b=bare_b64)"
  printf '%-52s %11s %11s %11.1f\n' "  outside that call (the test-mode row: no call)" "" "" \
    "$(calc "a - c" a=cpu1 c=inside)"
fi
row "dezsign root GOST-256, 2 workers" "$(most rate2)" "$(least cpu2)"
printf '%-52s %7.2fx  (VCERT_ sign in 2 threads / in 1, spki1_bench: what two workers can reach)\n' \
  "  the provider's own signing, 2 threads / 1" "$(calc "a / b" a=vcert_rate2 b=vcert_rate1)"
row "dezsign verify GOST-256, 1 worker" "$(most vrate)" "$(least vcpu)"
row "dezsign root GOST-256, 1 worker, a key open per file" "$(most orate)" "$(least ocpu)"
if [ -n "$disk_rows" ]; then
  row "dezsign root GOST-256, 1 worker, results on $disk_fs" "$(most drate1)" "$(least dcpu1)"
  row "dezsign root GOST-256, 2 workers, results on $disk_fs" "$(most drate2)" "$(least dcpu2)"
fi
if [ -n "${m[floor]:-}" ]; then
  row "file work alone: read, atomic write (file_floor)" "$(per_s "$(least floor_wall)")" "$(least floor)"
  printf '%-52s %7.2fx  (no parsing, canonical form or markup at all)\n' \
    "bare CMS_sign + file work alone / bare CMS_sign" "$(calc "(b + f) / b" b=bare_cms f=floor)"
  if [ -n "${m[inside]:-}" ]; then
    printf '%-52s %7.2fx  (the signing call as timed in the batch)\n' \
      "that call + file work alone / bare CMS_sign" "$(calc "(c + f) / b" c=inside f=floor b=bare_cms)"
  fi
  row "file work + the provider's signing call, nothing else" \
    "$(per_s "$(least floor_sign_wall)")" "$(least floor_sign)"
  printf '%-52s %7.2fx  (file_floor --sign: what one worker cannot go below)\n' \
    "  that / bare CMS_sign" "$(calc "s / b" s=floor_sign b=bare_cms)"
  printf '%-52s %8.1f µs CPU a message\n' "the library's own work (test mode - file work)" \
    "$(calc "t - f" t=test_cpu f=floor)"
  printf '%-52s %8.1f µs CPU a message\n' "  in the signing batch (1 worker - the row above that)" \
    "$(calc "a - s" a=cpu1 s=floor_sign)"
fi

# Goal rows: "what|measured|goal|met", printed here and left for the closing table.
goals=$(
  line() {
    awk -v what="$1" -v v="$2" -v goal="$3" 'BEGIN {
      split(goal, g, " ")
      ok = g[1] == "<=" ? v <= g[2] : v >= g[2]
      printf "%s|%.2fx|%s|%s\n", what, v, goal, ok ? "met" : "NOT met"
    }'
  }
  if [ -n "${m[floor_sign]:-}" ]; then
    line "root GOST-256, 1 worker / file_floor --sign, CPU" "$(calc "a / s" a=cpu1 s=floor_sign)" "<= 1.3"
    line "root GOST-256, 1 worker / file_floor --sign, wall" \
      "$(calc "(1e6 / r) / s" r=rate1 s=floor_sign_wall)" "<= 1.3"
  fi
  line "root GOST-256, 2 workers / 1 worker, throughput" "$(calc "a / b" a=rate2 b=rate1)" ">= 1.9"
  # A disk row's floor: file_floor --sign with as many writers, on the disk / on tmpfs
  # (best rounds): where it is above the goal, no signing tool meets the goal on this disk.
  floor_line() {
    [ -n "${m[floor_disk$1]:-}" ] || return 0
    printf '%s|%sx|-|floor of the row above\n' "  its floor: file_floor --sign -j $1, on $disk_fs / on tmpfs" \
      "$(calc "a / b" a="floor_disk$1" b="floor_tmpfs$1")"
  }
  if [ -n "$disk_rows" ]; then
    line "root GOST-256, 1 worker, on $disk_fs / on tmpfs, wall" "$(calc "a / b" a=rate1 b=drate1)" "<= 1.3"
    floor_line 1
    line "root GOST-256, 2 workers, on $disk_fs / on tmpfs, wall" "$(calc "a / b" a=rate2 b=drate2)" "<= 1.3"
    floor_line 2
  fi
  line "verify GOST-256, 1 worker / bare CMS_verify, CPU" "$(calc "a / b" a=vcpu b=bare_verify)" "<= 1.3"
  line "verify GOST-256, 1 worker / bare CMS_verify, wall" \
    "$(calc "(1e6 / r) / b" r=vrate b=bare_verify_wall)" "<= 1.3"
)
echo "$goals" | awk -F'|' '{ printf "%-52s %8s  goal %-7s %s\n", $1, $2, $3, $4 }'
echo "each round's own ratios, in the order above (how far the host drifted):"
for q in g_cpu g_wall g_two g_vcpu g_vwall; do echo " ${m[$q]}"; done
if [ -n "$disk_rows" ]; then
  echo "and the disk / tmpfs time ratios in each round, 1 worker, then 2:"
  echo " ${m[g_disk1]}"
  echo " ${m[g_disk2]}"
  if [ -n "${m[g_floor_disk1]:-}" ]; then
    echo "and their floors' (file_floor --sign, disk / tmpfs) in each round, 1 writer, then 2:"
    echo " ${m[g_floor_disk1]}"
    echo " ${m[g_floor_disk2]}"
  fi
fi
echo "and the provider's own 2 threads / 1 in each round:"
echo " ${m[g_vcert_two]}"
if [ -n "${BENCH_GOALS:-}" ]; then echo "$goals" >> "$BENCH_GOALS"; fi
