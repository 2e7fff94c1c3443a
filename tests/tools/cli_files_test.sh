#!/usr/bin/env bash
# dezsign's file and stream boundaries, one row per case: where a result goes (special
# files, links, standard output in every state) and what a batch may not do.
# Each row: NAME, expected exit status, command (eval'd), check that must hold afterwards.
set -u
dezsign=$1
src=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
cp "$src/samples/payment.xml" doc.xml
"$dezsign" root -t -p key doc.xml -o signed.xml || exit 1
# A result far larger than a pipe's buffer.
{ printf '<big>'; for i in $(seq 1 20000); do printf '<i n="%d">text</i>' "$i"; done; printf '</big>'; } > big.xml
mkfifo fifo
ln -s signed-by-link.xml link.xml
ln -s d1/a.xml lnk.xml
{ printf '<a>'; printf '%*s' 100000 '' | tr ' ' x; printf '\001<b></a>'; } > wide.xml
mkdir -p d1 d2 tmpdir && cp doc.xml d1/a.xml && cp doc.xml d2/a.xml && cp doc.xml d1/doc.xml
name1251=$'\xef\xeb\xe0\xf2\xe5\xe6'   # a windows-1251 name: not UTF-8
cp doc.xml "$name1251.xml"
printf '<a><b></a>' > broken.xml
mkdir d3; for i in $(seq 1 40); do cp doc.xml "d3/doc$i.xml"; cp broken.xml "d3/broken$i.xml"; done
# Output folders where one result name is a link to another result's name: the link's
# target exists in one, not yet in the other (a result would be written through it).
mkdir d4 out-link out-dangling && cp doc.xml d4/b.xml
echo old > out-link/b.xml && ln -s b.xml out-link/a.xml && ln -s b.xml out-dangling/a.xml
# Envelopes as written whose document breaks after far more than a pipe's buffer, and
# whose document is whole.
envelope() {  # envelope FILE: the envelope of the file's bytes, both values the same
  local b64
  b64=$(base64 -w0 < "$1")
  printf '%s%s%s%s%s' '<sen:SigEnvelope xmlns:sen="urn:dez-ru:dsig:env:v1.1"><sen:SigContainer><dsig:MACValue xmlns:dsig="urn:dez-ru:dsig:v1.1">' \
    "$b64" '</dsig:MACValue></sen:SigContainer><sen:Object>' "$b64" '</sen:Object></sen:SigEnvelope>'
}
head -c -6 big.xml > big-cut.xml
envelope big-cut.xml > bad-env.xml
envelope big.xml > big-env.xml
"$dezsign" extract -t big-env.xml -o big-extracted.xml || exit 1
R='"$dezsign" root -t -p key'
passed=0
failed=0
row() {  # row NAME RC COMMAND CHECK
  local rc
  eval "$3" > out.txt 2> err.txt
  rc=$?
  if [ "$rc" -eq "$2" ] && eval "$4"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: $1 (exit $rc)" >&2
    head -c 600 err.txt >&2
  fi
}
row "-o /dev/null keeps the device" 0 "$R doc.xml -o /dev/null" 'test -c /dev/null'
row "-o FIFO: the reader gets the result" 0 "{ cat fifo > from-fifo.xml & } ; $R doc.xml -o fifo; wait" \
  'test -p fifo && cmp -s from-fifo.xml signed.xml'
# A reader that no writer reached is given its end afterwards (a FIFO opened read-write
# does not wait).
for entry in "extract -t" "extract -t --text" "verify -t --text" "verify -t --profile-object"; do
  row "$entry -o FIFO: a document that breaks late leaves the reader nothing" 1 \
    "({ cat fifo > bad-fifo.xml & } ; \"\$dezsign\" $entry bad-env.xml -o fifo; rc=\$?; exec 3<>fifo 3>&-; wait; exit \$rc)" \
    'test -p fifo && test ! -s bad-fifo.xml'
done
row "extract --text -o FIFO: the reader gets the whole document" 0 \
  "{ cat fifo > big-fifo.xml & } ; \"\$dezsign\" extract -t --text big-env.xml -o fifo; wait" \
  'cmp -s big-fifo.xml big-extracted.xml'
row "-o /dev/stdout into a pipe prints" 0 "$R doc.xml -o /dev/stdout | cat > piped.xml" 'cmp -s piped.xml signed.xml'
row "-o link: the file it leads to is written" 0 "$R doc.xml -o link.xml" \
  'test -L link.xml && cmp -s signed-by-link.xml signed.xml'
row "stdout on a full device (root)" 1 "$R doc.xml > /dev/full" 'grep -q "cannot write standard output: No space" err.txt'
row "stdout on a full device (canon)" 1 '"$dezsign" canon doc.xml > /dev/full' 'grep -q "cannot write standard output" err.txt'
row "stdout on a full device (xml)" 1 '"$dezsign" xml doc.xml > /dev/full' 'grep -q "cannot write standard output" err.txt'
row "stdout closed" 1 "$R doc.xml >&-" 'grep -q "cannot write standard output: Bad file descriptor" err.txt'
row "stdout reader gone, SIGPIPE ignored" 1 "(trap '' PIPE; $R big.xml | head -c 10 > /dev/null; exit \${PIPESTATUS[0]})" \
  'grep -q "cannot write standard output: Broken pipe" err.txt'
row "stdout result not staged in TMPDIR" 0 "TMPDIR=\$PWD/tmpdir $R doc.xml > to-stdout.xml" \
  'cmp -s to-stdout.xml signed.xml && test -z "$(ls -A tmpdir)"'
row "stderr closed: messages never land in results" 1 "$R -j 4 d3/*.xml --out-dir out-closed --parents 2>&-" \
  '! grep -lq "dezsign" out-closed/* && test $(ls out-closed | wc -l) -eq 40'
row "batch: two inputs, one output name" 2 "$R d1/a.xml d2/a.xml --out-dir out-clash" \
  'grep -q "d1/a.xml.*d2/a.xml" err.txt && test ! -e out-clash'
row "batch: an input is another input's output" 2 "$R lnk.xml d2/a.xml --out-dir d1" \
  'grep -q "lnk.xml.*is also the output of.*d2/a.xml" err.txt && cmp -s d1/a.xml doc.xml'
row "batch: an output is a link to another output" 2 "$R d1/a.xml d4/b.xml --out-dir out-link" \
  'grep -q "d1/a.xml.*d4/b.xml.*would both be written" err.txt && grep -qx old out-link/b.xml'
row "batch: an output is a dangling link to another output" 2 "$R d1/a.xml d4/b.xml --out-dir out-dangling" \
  'grep -q "d1/a.xml.*d4/b.xml.*would both be written" err.txt && test ! -e out-dangling/b.xml'
row "file name that is not UTF-8" 0 "$R \"\$name1251.xml\" -o \"\$name1251-signed.xml\"" \
  'cmp -s "$name1251-signed.xml" signed.xml'
row "its failure message shows the bytes escaped" 1 "$R \"\$name1251\"-missing.xml" \
  'grep -q "\\\\xEF\\\\xEB\\\\xE0" err.txt'
row "a directory as input" 1 "$R d1" 'grep -qx "dezsign: d1: is a directory" err.txt'
row "no profile outside test mode" 2 '"$dezsign" root doc.xml' 'grep -q "no key profile given (use -p NAME)" err.txt'
row "verify in test mode says it checked nothing" 0 '"$dezsign" envelope -t -p k doc.xml | "$dezsign" verify -t -p k -' \
  'grep -q "test mode: the signature was not checked" err.txt'
row "parse error: file named, source cut, no generic status" 1 \
  "$R wide.xml" \
  'grep -q "^dezsign: wide.xml: " err.txt && test $(wc -c < err.txt) -lt 400 && grep -q "^\.\.\.xxx" err.txt && ! grep -q 0x8000FFFF err.txt'
# A file is read to its end around the reading buffer's size (64 KB) as a pipe is.
for size in 65535 65536 65537 131077; do
  { printf '<r>'; printf '%*s' $((size - 7)) '' | tr ' ' y; printf '</r>'; } > "sized$size.xml"
  row "a $size-byte file reads whole" 0 "\"\$dezsign\" canon sized$size.xml > c-file.txt && cat sized$size.xml | \"\$dezsign\" canon - > c-pipe.txt" \
    "test \$(wc -c < sized$size.xml) -eq $size && cmp -s c-file.txt c-pipe.txt && test \$(wc -c < c-file.txt) -eq $size"
done
echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
