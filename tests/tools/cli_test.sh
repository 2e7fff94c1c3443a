#!/usr/bin/env bash
# dezsign end to end in test mode: every action on files, text and batches, the exact
# signed bytes, failures and what they leave on disk. Prints "N passed, M failed".
set -u
dezsign=$1
src=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
source "$src/tests/tools/check_lib.sh"
header='<?xml version="1.0" encoding="UTF-8"?>'
cp "$src/samples/payment.xml" doc.xml
cp "$src/samples/payment-1251.xml" doc1251.xml

# Usage and help.
check "help exits 0" "$dezsign" --help >/dev/null
check "help lists root" grep -q "root" <("$dezsign" --help)
# The version shown is the one project() states, in --version and atop --help alike.
version=$(sed -n 's/^project(LumoDEZLib VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
check "--version names the project's version" test "$("$dezsign" --version)" = "dezsign $version"
check "--help names the same version" grep -q "^dezsign $version - " <("$dezsign" --help)
"$dezsign" frobnicate >/dev/null 2>&1; check "unknown command exits 2" test $? -eq 2
"$dezsign" root -t >/dev/null 2>&1; check "missing input exits 2" test $? -eq 2
"$dezsign" root -t a.xml b.xml >/dev/null 2>&1; check "batch without --out-dir exits 2" test $? -eq 2
"$dezsign" root -t --skip-existing a.xml -o b.xml >/dev/null 2>&1; check "--skip-existing without --out-dir exits 2" test $? -eq 2

# Root: the signed bytes in test mode are the numbered canonical text.
"$dezsign" root -t -p key doc.xml -o signed.xml; check "root exits 0" test $? -eq 0
check "root output starts with the declaration and the fixed-prefix root" \
  grep -q "^$header<ed:ED101 xmlns:ed=\"urn:dez-ru:ed:v2.0\"" signed.xml
sed -e 's/.*<dsig:SigValue xmlns:dsig="urn:dez-ru:dsig:v1.1">//' -e 's/<\/dsig:SigValue>.*//' signed.xml | base64 -d > sigbytes
"$dezsign" canon --numbered doc.xml > numbered
check "root signs the numbered canonical bytes" cmp -s sigbytes numbered
check "numbered form uses n1" grep -q '^<n1:ED101 xmlns:n1="urn:dez-ru:ed:v2.0"' numbered
"$dezsign" root -t -p key doc1251.xml -o signed1251.xml
check "windows-1251 input signs to the same document" cmp -s signed.xml signed1251.xml
"$dezsign" root -t -p key doc.xml > stdout.xml
check "root to stdout equals the file" cmp -s signed.xml stdout.xml
"$dezsign" root -t --profile-object -p key doc.xml > profobj.xml
check "Profile object gives the same document" cmp -s signed.xml profobj.xml
"$dezsign" root -t --text -p key - < doc.xml > text.xml
check "text input gives the same document" cmp -s signed.xml text.xml
# Standard input is decoded by the rules of a file load: the declaration's code page, and
# UTF-16 cut in the middle of a character is refused.
"$dezsign" root -t -p key - < doc1251.xml > stdin1251.xml
check "windows-1251 on standard input signs to the same document" cmp -s signed.xml stdin1251.xml
printf '\xff\xfe<\0a\0/\0>\0x' | "$dezsign" root -t -p key - > odd.xml 2> odd.err
check "odd UTF-16 on standard input fails" test $? -ne 0
check "odd UTF-16 is named" grep -q "UTF-16" odd.err

# Envelope round trip: verify and extract give the fixed-prefix form.
"$dezsign" envelope -t -p key doc.xml -o env.xml; check "envelope exits 0" test $? -eq 0
check "envelope layout" grep -q "^$header<sen:SigEnvelope xmlns:sen=\"urn:dez-ru:dsig:env:v1.1\"><sen:SigContainer><dsig:MACValue xmlns:dsig=\"urn:dez-ru:dsig:v1.1\">" env.xml
"$dezsign" verify -t -p key env.xml -o verified.xml; check "verify exits 0" test $? -eq 0
"$dezsign" extract env.xml -o extracted.xml; check "extract needs no profile" test $? -eq 0
"$dezsign" canon doc.xml > fixed.xml
"$dezsign" xml fixed.xml > fixed-dom.xml
check "extract gives the fixed-prefix form without declaration" cmp -s extracted.xml fixed-dom.xml
{ printf '%s' "$header"; cat fixed-dom.xml; } > fixed-with-header.xml
check "verify gives it with the declaration" cmp -s verified.xml fixed-with-header.xml
"$dezsign" --code 261 env.xml -o code261.xml
check "--code 261 acts as extract" cmp -s code261.xml extracted.xml
"$dezsign" --code 0 -t -p key doc.xml -o code0.xml 2>/dev/null; rc=$?
check "--code 0 names no action: a usage error, nothing written" test $rc -eq 2 -a ! -e code0.xml

# Base64 envelope keeps the client's text character for character.
base64 -w 20 doc.xml > doc.b64
"$dezsign" base64-envelope -t -p key doc.b64 -o b64env.xml; check "base64-envelope exits 0" test $? -eq 0
python3 - "$work" <<'PY' && passed=$((passed + 1)) || { failed=$((failed + 1)); echo "FAILED: base64 text kept" >&2; }
import sys, re
w = sys.argv[1]
b64 = open(w + "/doc.b64").read()
env = open(w + "/b64env.xml", encoding="utf-8").read()
m = re.search(r"<sen:Object>(.*)</sen:Object>", env, re.S)
assert m, "no object"
assert m.group(1).replace("\r\n", "\n") == b64, "object content changed"
PY
"$dezsign" verify -t -p key b64env.xml -o b64back.xml
"$dezsign" xml doc.xml > doc-dom.xml
{ printf '%s' "$header"; cat doc-dom.xml; } > doc-dom-header.xml
check "base64 envelope unwraps to the original document" cmp -s b64back.xml doc-dom-header.xml

# Failures: message and status, nothing written, existing output untouched.
printf '<a><b></a>' > broken.xml
echo "keep me" > existing.xml
"$dezsign" root -t -p key broken.xml -o existing.xml 2> err.txt; rc=$?
check "broken input exits 1" test $rc -eq 1
check "error names the file, not the generic status" grep -q "^dezsign: broken.xml: " err.txt
check "no generic status shown" bash -c '! grep -q "status 0x8000FFFF" err.txt'
check "error has the parser position" grep -q "Position: 1:" err.txt
check "existing output untouched" grep -q "keep me" existing.xml
"$dezsign" root -t -p key broken.xml -o new.xml 2>/dev/null
check "no output file after a failure" test ! -e new.xml
"$dezsign" verify -p no-such-profile doc.xml 2> err2.txt >/dev/null; rc=$?
check "verify without a usable provider fails" test $rc -eq 1 -a -s err2.txt

# Text in and out: characters beyond U+FFFF, text that is not UTF-8, Base64 text.
printf '<R xmlns="urn:dez-ru:ed:v2.0" a="\xf0\x9f\x98\x80"><E\xf0\x90\x80\x80>t\xf0\x9f\x98\x80</E\xf0\x90\x80\x80></R>' > astral.xml
"$dezsign" root -t -p key astral.xml -o astral-signed.xml
check "a result beyond U+FFFF loads again" "$dezsign" check astral-signed.xml
"$dezsign" root -t -p key astral.xml | cmp -s - astral-signed.xml; check "the same on stdout" test $? -eq 0
"$dezsign" envelope -t -p key astral-signed.xml -o astral-env.xml
"$dezsign" extract astral-env.xml -o astral-back.xml
"$dezsign" root -t -p key astral-back.xml -o astral-again.xml
"$dezsign" root -t -p key astral-signed.xml -o astral-again2.xml
check "root after the envelope round trip signs the same bytes" cmp -s astral-again.xml astral-again2.xml
printf '<a>\xd0\x96\xff</a>' > bad-utf8.xml
"$dezsign" root -t --text -p key bad-utf8.xml -o bad-out.xml 2> err3.txt; rc=$?
check "text that is not UTF-8 exits 1" test $rc -eq 1
check "the error names the byte offset" grep -q "byte offset 5" err3.txt
check "nothing written for it" test ! -e bad-out.xml
for how in "root -t -" "root -t --profile-object -" "root -t --profile-object bad-utf8.xml"; do
  # shellcheck disable=SC2086
  out=$("$dezsign" $how < bad-utf8.xml 2>&1 >/dev/null); rc=$?
  check "$how: bytes that are not UTF-8 are refused, not replaced" test $rc -eq 1
done
printf 'SGVsbG8=</sen:Object><evil>x</evil><sen:Object>' | "$dezsign" base64-envelope -t -p key - > evil.xml 2>/dev/null
check "markup in Base64 text exits 1 with no result" test $? -eq 1 -a ! -s evil.xml
printf '' | "$dezsign" base64-envelope -t -p key - > none.xml 2>/dev/null
check "empty Base64 text exits 1" test $? -eq 1 -a ! -s none.xml
check "help says how - is read" grep -q "INPUT, - included, is read as a file" <("$dezsign" --help)

# Standard output gets a result only once it is complete; a large one is spooled on disk.
python3 -c 'import sys; sys.stdout.write("<R>" + "<E a=\"\u0416\">t</E>" * 120000 + "</R>")' > big.xml
"$dezsign" root -t -p key big.xml -o big-file.xml
for how in "--text" "--profile-object" ""; do
  # shellcheck disable=SC2086
  "$dezsign" root -t $how -p key big.xml > big-out.xml; rc=$?
  check "large result on stdout ($how) is the file's" test $rc -eq 0 -a -s big-out.xml
  check "large result on stdout ($how) bytes" cmp -s big-out.xml big-file.xml
  # shellcheck disable=SC2086
  TMPDIR=$work/no-such-dir "$dezsign" root -t $how -p key big.xml > big-none.xml 2> big-err.txt
  check "spool that cannot be made ($how) fails with no output" test $? -eq 1 -a ! -s big-none.xml
  check "and says why ($how)" grep -q "cannot keep the result" big-err.txt
done
"$dezsign" root -t --text -p key broken.xml > broken-out.xml 2>/dev/null
check "failed text action writes nothing to stdout" test $? -eq 1 -a ! -s broken-out.xml
"$dezsign" base64-envelope -t -p key big.xml -o b64.xml 2>/dev/null
check "text action to -o writes no file on failure" test $? -eq 1 -a ! -e b64.xml

# Batch: several workers, one broken file does not stop the others.
mkdir in out
for i in $(seq 1 12); do cp doc.xml "in/doc$i.xml"; done
cp broken.xml in/broken.xml
"$dezsign" root -t -p key -j 2 in/*.xml --out-dir out --parents 2> batch.txt; rc=$?
check "batch with a failure exits 1" test $rc -eq 1
check "batch names the failing file" grep -q "in/broken.xml" batch.txt
check "batch summary" grep -q "12 of 13 files done" batch.txt
check "batch results equal the single run" cmp -s out/doc7.xml signed.xml
check "no result for the broken file" test ! -e out/broken.xml
rm in/broken.xml
"$dezsign" envelope -t -p key --profile-object -j 3 in/*.xml --out-dir out2 --parents 2>/dev/null
check "profile-object batch exits 0" test $? -eq 0
check "profile-object batch results" cmp -s out2/doc3.xml env.xml

# check-signature: one line per file (per child with --childs, and one for what the packet
# leaves uncovered), in input order; exit 3 when a document is refused, 1 when one cannot
# be checked; a one-byte change to signed content is caught.
"$dezsign" childs -t -p key doc.xml -o childs.xml
"$dezsign" check-signature -t signed.xml > cs.txt; rc=$?
check "check-signature of a root-signed file exits 0" test $rc -eq 0
check "check-signature says OK" test "$(cat cs.txt)" = "signed.xml: OK"
"$dezsign" check-signature -t --childs childs.xml > csc.txt; rc=$?
check "check-signature --childs exits 0" test $rc -eq 0
check "one line per child" test "$(grep -c ': child [0-9]* (ed:[A-Za-z]*): OK$' csc.txt)" -eq "$(($(wc -l < csc.txt) - 1))" -a -s csc.txt
check "the packet's uncovered parts" grep -q '^childs.xml: NOT COVERED: the root element ed:ED101 and the order of its children; root attributes .*EDNo' csc.txt
sed 's/1250000/1250001/' signed.xml > changed.xml
check "the change is made" test -n "$(cmp signed.xml changed.xml)"
"$dezsign" check-signature -t signed.xml changed.xml broken.xml doc.xml -j 3 > csb.txt 2>/dev/null; rc=$?
check "check-signature with failures exits 1" test $rc -eq 1
check "batch lines in input order" test "$(cut -d: -f1-2 csb.txt | tr '\n' ' ')" = \
  "signed.xml: OK changed.xml: FAILED broken.xml: FAILED doc.xml: FAILED "
check "each report is one line" test "$(wc -l < csb.txt)" -eq 4
"$dezsign" check-signature -t signed.xml changed.xml -j 2 > /dev/null; rc=$?
check "check-signature with a refused document and no other failure exits 3" test $rc -eq 3
"$dezsign" check-signature -t childs.xml > /dev/null; rc=$?
check "a childs-signed file does not pass as root-signed" test $rc -eq 3
"$dezsign" check-signature signed.xml >/dev/null 2>&1; rc=$?
check "check-signature without -p or -t is a usage error" test $rc -eq 2
"$dezsign" check-signature -t signed.xml > /dev/full 2>/dev/null; rc=$?
check "a failed write to stdout is an error" test $rc -eq 1

echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
