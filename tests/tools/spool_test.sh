#!/usr/bin/env bash
# dezsign spool on real folders, in test mode: what it takes and leaves, where results and
# refused inputs go, SIGKILL at random moments then a restart, two spools on one folder, a
# producer writing in place, a full output file system (a size-limited tmpfs; skipped
# when mounting is not permitted), names with spaces and bytes that are not UTF-8.
#   spool_test.sh DEZSIGN SOURCE_DIR
set -u
dezsign=$1
src=$2
work=$(mktemp -d)
mounted=
cleanup() {
  jobs -p | xargs -r kill -9 2>/dev/null
  [ -n "$mounted" ] && umount "$mounted" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"
passed=0
failed=0
check() {  # check NAME COMMAND...: the command must succeed
  local name=$1
  shift
  if "$@" > check.out 2>&1; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: $name" >&2
    head -c 1500 check.out >&2
  fi
}
doc=$src/samples/payment.xml
name1251=$'\xef\xeb\xe0\xf2\xe5\xe6'  # windows-1251 bytes: not UTF-8
# make_docs DIR N: N documents that differ (each signs to its own result), two with names
# that need care.
make_docs() {
  mkdir -p "$1"
  local i
  for i in $(seq 1 "$2"); do
    sed "s/EDNo=\"1024\"/EDNo=\"$i\"/" "$doc" > "$1/doc$i.xml"
  done
  cp "$doc" "$1/with space.xml"
  cp "$doc" "$1/$name1251.xml"
}
# expected IN OUT: every file of IN signed by the plain command, in OUT (broken.xml fails).
expected() { "$dezsign" root -t -p key "$1"/* --out-dir "$2" --parents 2>/dev/null; rm -f "$2"/broken.xml; }
# same_tree A B: the same names, the same bytes.
same_tree() { diff -r "$1" "$2"; }
# empty_work ROOT...: no work folder left, or an empty one.
empty_work() {
  local d
  for d in "$@"; do [ -z "$(ls -A "$d/.work" 2>/dev/null)" ] || { ls -laR "$d/.work"; return 1; }; done
}
spool=("$dezsign" spool root -t -p key)  # an array, not a function: "$!" is then dezsign itself

# --- One run: what is taken, what is left alone, where each file goes. -------------------
make_docs src1 5
expected src1 want1
cp -r src1 in1
printf '<a><b></a>' > in1/broken.xml
for n in .hidden.xml part.tmp part.part part.partial up.filepart edit.xml~; do cp "$doc" "in1/$n"; done
mkdir in1/folder
"${spool[@]}" --in in1 --out out1 --done done1 --failed failed1 2> log1.txt
rc=$?
check "one run: status 1 when a document failed" test $rc -eq 1
check "one run: results as the plain command's" same_tree want1 out1
check "one run: inputs in DONE" bash -c "diff <(ls src1) <(ls done1)"
check "one run: the broken document in FAILED with its report" bash -c \
  'test -f failed1/broken.xml && grep -q "^verdict: parse-error" failed1/broken.xml.error &&
   grep -q "^action: root" failed1/broken.xml.error && grep -q "^time: 20" failed1/broken.xml.error'
check "one run: hidden, temporary names and folders left alone" bash -c \
  'test "$(ls -A in1 | sort | tr "\n" " ")" = ".hidden.xml edit.xml~ folder part.part part.partial part.tmp up.filepart "'
check "one run: one line per file and a summary" bash -c \
  'test $(grep -ac ": OK, " log1.txt) -eq 7 && grep -aq "FAILED after" log1.txt &&
   grep -aq "8 files in .* 7 OK, 1 failed, 0 kept back" log1.txt && grep -aqF "\xEF\xEB" log1.txt'
check "one run: work folders gone" empty_work in1 out1

# --- Each action; check-signature passes on the documents that verify. ------------------
mkdir -p in2 signed2
"$dezsign" root -t -p key "$doc" -o signed2/good.xml
sed 's/\(<dsig:SigValue[^>]*>\)./\1A/' signed2/good.xml > signed2/bad.xml
cp signed2/* in2/
check "check-signature: status 1 with a refused one" bash -c \
  '! "$0" spool check-signature -t --in in2 --out ok2 --delete-input --failed bad2 2>/dev/null' "$dezsign"
check "check-signature: OUT holds the verified document as it was" cmp signed2/good.xml ok2/good.xml
check "check-signature: the refused one in FAILED, inputs deleted" bash -c \
  'grep -q "^verdict: refused" bad2/bad.xml.error && test ! -e ok2/bad.xml && test -z "$(ls -A in2)"'
for action in childs envelope; do
  mkdir -p "in-$action" && cp "$doc" "in-$action/d.xml"
  "$dezsign" "$action" -t -p key "$doc" -o "want-$action.xml"
  check "$action: the plain command's result" bash -c \
    '"$0" spool "$1" -t -p key --in "in-$1" --out "out-$1" --done "done-$1" 2>/dev/null &&
     cmp "want-$1.xml" "out-$1/d.xml"' "$dezsign" "$action"
done
mkdir -p in-extract && cp out-envelope/d.xml in-extract/
"$dezsign" extract -t out-envelope/d.xml -o want-extract.xml
check "extract: the plain command's result" bash -c \
  '"$0" spool extract --in in-extract --out out-extract --delete-input 2>/dev/null &&
   cmp want-extract.xml out-extract/d.xml' "$dezsign"

# --- Refusals and a result that may not overwrite an earlier one. -----------------------
while IFS='|' read -r name rc args; do
  eval "set -- $args"
  "$dezsign" spool "$@" > /dev/null 2>&1
  got=$?
  check "usage: $name (exit $got)" test "$got" -eq "$rc"
done << 'ROWS'
neither --done nor --delete-input|2|root -t --in src1 --out o
both --done and --delete-input|2|root -t --in src1 --out o --done d --delete-input
no --in|2|root -t --out o --delete-input
unknown action|2|canon -t --in src1 --out o --delete-input
--childs outside check-signature|2|root -t --childs --in src1 --out o --delete-input
no key profile|2|root --in src1 --out o --delete-input
--settle not a number|2|root -t --in src1 --out o --delete-input --settle soon
--in not a folder|2|root -t --in nowhere --out o --delete-input
ROWS
mkdir -p in3 out3 && cp "$doc" in3/a.xml && cp "$doc" in3/b.xml && echo earlier > out3/a.xml
"${spool[@]}" --in in3 --out out3 --delete-input 2> log3.txt
rc=$?
check "an earlier OUT/NAME is never overwritten; the input waits" bash -c \
  "test $rc -eq 1 && test \"\$(cat out3/a.xml)\" = earlier && test -f out3/b.xml &&
   grep -q 'a.xml: waiting' log3.txt && ls in3/.work/*/a.xml"
rm out3/a.xml
"${spool[@]}" --in in3 --out out3 --delete-input 2> log3b.txt
check "... and is published by the next run without being worked again" bash -c \
  'grep -q "a.xml: OK, result from before a restart" log3b.txt &&
   cmp -s out3/a.xml <("$0" root -t -p key "$1")' "$dezsign" "$doc"
check "... leaving no work folder" empty_work in3 out3
mkdir -p in4 && cp "$doc" in4/a.xml
"$dezsign" spool root -p key --provider /nonexistent/libvendor.so --in in4 --out out4 --done done4 --failed failed4 2> log4.txt
rc=$?
check "a provider that does not load: exit 1, the input stays in IN, nothing in FAILED" bash -c \
  "test $rc -eq 1 && test -f in4/a.xml && test -z \"\$(ls -A failed4)\" && grep -q stopped log4.txt"

# --- SIGKILL at random moments, then a restart. ------------------------------------------
make_docs src5 200
printf '<a><b></a>' > src5/broken.xml
expected src5 want5
cp -r src5 in5
for round in 1 2 3 4; do
  "${spool[@]}" -j 2 --in in5 --out out5 --done done5 --failed failed5 2>/dev/null &
  pid=$!
  sleep "$((RANDOM % 2)).$((RANDOM % 9 + 1))"  # 0.1 to 1.9 s: claiming, working, publishing
  kill -9 "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
done
"${spool[@]}" -j 2 --in in5 --out out5 --done done5 --failed failed5 2> log5.txt
check "after SIGKILLs: every input in DONE or FAILED exactly once" bash -c \
  'diff <(ls src5) <(ls done5 failed5 | LC_ALL=C grep -a -v -e "^$" -e ":$" -e "\.error$" | sort)'
check "after SIGKILLs: every result complete, the plain command's bytes" same_tree want5 out5
check "after SIGKILLs: every result checks OK" bash -c \
  '! "$0" check-signature -t out5/* | grep -v ": OK$"' "$dezsign"
check "after SIGKILLs: nothing left in the work folders" empty_work in5 out5

# --- Two spools on the same folders. -----------------------------------------------------
make_docs src6 200
cp -r src6 in6
"${spool[@]}" --in in6 --out out6 --done done6 --failed failed6 -j 1 2> log6a.txt &
pid=$!
"${spool[@]}" --in in6 --out out6 --done done6 --failed failed6 -j 1 2> log6b.txt
wait "$pid"
check "two spools: every file exactly once" bash -c \
  'diff <(ls src6) <(ls done6) && diff <(ls src6) <(ls out6) &&
   test $(cat log6a.txt log6b.txt | grep -c ": OK, ") -eq $(ls src6 | wc -l)'
check "two spools: both took files" bash -c 'grep -q ": OK, " log6a.txt && grep -q ": OK, " log6b.txt'
check "two spools: nothing left in the work folders" empty_work in6 out6

# --- --watch: a producer writing in place, SIGHUP, SIGTERM. ------------------------------
mkdir -p in7 out7
echo earlier > out7/w.xml && cp "$doc" in7/w.xml
"${spool[@]}" --watch --settle 1 --in in7 --out out7 --done done7 2> log7.txt &
pid=$!
while IFS= read -r line; do printf '%s\n' "$line"; sleep 0.15; done < "$doc" > in7/slow.xml &
writer=$!
sleep 1.2
check "--settle: a file still being written is not taken" test -f in7/slow.xml
wait "$writer"
cp "$doc" in7/quick.xml
for _ in $(seq 1 50); do [ -f done7/slow.xml ] && [ -f done7/quick.xml ] && break; sleep 0.1; done
check "--watch --settle: both taken once settled, the slow one whole" bash -c \
  'test -f done7/slow.xml && cmp -s out7/slow.xml <("$0" root -t -p key done7/slow.xml)' "$dezsign"
rm out7/w.xml  # taken by the transport: the waiting result goes out at the next rescan
for _ in $(seq 1 80); do [ -f done7/w.xml ] && break; sleep 0.1; done
check "--watch: a result that waited for OUT/NAME goes out once it is free" bash -c \
  'test -f done7/w.xml && cmp -s out7/w.xml <("$0" root -t -p key "$1")' "$dezsign" "$doc"
kill -HUP "$pid"
sleep 0.3
kill -TERM "$pid"
wait "$pid"
rc=$?
check "--watch: SIGHUP logged, SIGTERM ends with 0" bash -c \
  "test $rc -eq 0 && grep -q SIGHUP log7.txt && grep -q '3 files in' log7.txt"

# --- A full output file system: inputs stay in IN, work resumes when space returns. -----
mkdir -p small
if mount -t tmpfs -o size=256k tmpfs small 2>/dev/null; then
  mounted=$work/small
  mkdir -p in8
  for i in 1 2 3 4 5 6; do cp "$doc" "in8/d$i.xml"; done
  mkdir small/out
  cat /dev/zero > small/filler 2>/dev/null  # until the file system is full
  "${spool[@]}" --watch --in in8 --out small/out --done done8 --failed failed8 2> log8.txt &
  pid=$!
  for _ in $(seq 1 50); do grep -q "paused" log8.txt && break; sleep 0.1; done
  check "full disk: paused, inputs in IN, none in FAILED" bash -c \
    'grep -q "paused" log8.txt && test $(ls in8 | wc -l) -eq 6 && test -z "$(ls -A failed8)"'
  rm small/filler
  for _ in $(seq 1 80); do [ "$(ls done8 2>/dev/null | wc -l)" -eq 6 ] && break; sleep 0.1; done
  check "full disk: all done once space returned" bash -c \
    'test $(ls done8 | wc -l) -eq 6 && test $(ls small/out | wc -l) -eq 6'
  kill -TERM "$pid"
  wait "$pid"
  check "--done on another file system than --in is refused" bash -c \
    '"$0" spool root -t --in in8 --out o8 --done small/done 2>/dev/null; test $? -eq 2' "$dezsign"
else
  echo "SKIPPED: full output file system (cannot mount a tmpfs here)" >&2
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
