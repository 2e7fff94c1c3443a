#!/usr/bin/env bash
# A batch on a disk folder killed with SIGKILL at random moments, several times: every
# file under a result's name is complete and checks, each result belongs to its input,
# nothing else but temporary files of the documented pattern is left, and the same batch
# run again with --skip-existing finishes the job (redoing a result that does not check).
#
#   cli_crash_test.sh DEZSIGN SOURCE_DIR [WORK_BASE]   (WORK_BASE: a folder on a disk;
#   default the current folder, the build tree under ctest, rather than a memory /tmp)
set -u
dezsign=$(realpath "$1")
src=$(realpath "$2")
base=$(realpath "${3:-$PWD}")
count=300
work=$(mktemp -d "$base/crash_test.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
echo "work folder: $work ($(stat -f -c %T .))"
mkdir in
# Each input differs (its number in the document number), so a result can be traced back.
for i in $(seq 1 "$count"); do
  sed "s/EDNo=\"1024\"/EDNo=\"$i\"/" "$src/samples/payment.xml" > "in/m$i.xml"
done
passed=0
failed=0
fail() {
  failed=$((failed + 1))
  echo "FAILED: $*" >&2
}

# check_out WHEN: what is in out/ now is only complete results that check and belong to
# their input, and temporary files named .NAME.lumo*.tmp.
check_out() {
  local when=$1 f name bad=0 results=()
  [ -d out ] || return 0
  for f in out/* out/.[!.]*; do
    [ -e "$f" ] || continue
    name=${f#out/}
    case $name in
      .m[0-9]*.xml.lumo*.tmp) ;;
      m[0-9]*.xml)
        results+=("$f")
        local n=${name#m}
        n=${n%.xml}
        if ! grep -q "EDNo=\"$n\"" "$f"; then
          fail "$when: $name does not hold its input"
          bad=1
        fi
        ;;
      *)
        fail "$when: unexpected file $name"
        bad=1
        ;;
    esac
  done
  if [ ${#results[@]} -gt 0 ]; then
    local report
    report=$("$dezsign" check-signature -t -j 2 "${results[@]}" 2>&1)
    if [ "$(grep -c ': OK$' <<< "$report")" -ne ${#results[@]} ]; then
      fail "$when: results that do not check:"
      grep -v ': OK$' <<< "$report" | head -n 5 >&2
      bad=1
    fi
  fi
  [ $bad -eq 0 ] && passed=$((passed + 1))
  echo "$when: ${#results[@]} results, $(find out -name '.*.lumo*.tmp' | wc -l) temporary files"
}

# Killed at a random moment, five times, each run taking up where the last was killed.
for round in 1 2 3 4 5; do
  "$dezsign" root -t --skip-existing -j $((1 + round % 2)) in/*.xml --out-dir out --parents 2>/dev/null &
  pid=$!
  # Once this run writes (a new file appears, on a busy host that may take a while), 0
  # to 0.5 s into its work; the first round also strikes before any result is in place.
  before=$(find out -name '*m*.xml*' 2>/dev/null | wc -l)
  for _ in $(seq 1 200); do
    [ "$round" -gt 1 ] || break
    [ "$(find out -name '*m*.xml*' 2>/dev/null | wc -l)" -gt "$before" ] && break
    sleep 0.05
  done
  sleep "$(awk -v r=$RANDOM 'BEGIN { printf "%.3f", r % 500 / 1000 }')"
  kill -s KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  check_out "after SIGKILL $round"
done

# A result that does not check is made again; one that checks is skipped.
done_before=$(find out -name 'm*.xml' | wc -l)
if [ "$done_before" -ge 2 ]; then
  victims=($(find out -name 'm*.xml' | head -n 2))
  head -c 500 "${victims[0]}" > cut && mv cut "${victims[0]}"
  sed -i 's/ООО/ОАО/' "${victims[1]}"
  done_before=$((done_before - 2))
fi
if "$dezsign" root -t --skip-existing -j 2 in/*.xml --out-dir out --parents 2> summary.txt; then
  passed=$((passed + 1))
else
  fail "the run to the end failed: $(cat summary.txt)"
fi
check_out "after the run to the end"
results=$(find out -name 'm*.xml' | wc -l)
if [ "$results" -eq "$count" ] && grep -q "$count of $count files done.*, $done_before skipped" summary.txt; then
  passed=$((passed + 1))
else
  fail "$results of $count results after the run to the end, $done_before done before; $(cat summary.txt)"
fi
echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
