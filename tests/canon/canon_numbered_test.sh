#!/usr/bin/env bash
# `dezsign canon --numbered` prints the bytes the Root action signs: in test mode the
# signature value of `dezsign root` is those bytes, Base64-encoded. Documents whose
# fixed-prefix text changes when taken through the fixed-prefix pass once more (prefixes
# that resolve otherwise once written, declarations made for dropped attributes), and
# plain ones. Prints "N passed, M failed".
set -u
dezsign=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
passed=0
failed=0
docs=(
  '<a xmlns:n2="urn:x" n2:k="v" xmlns:q="urn:a" q:z="1"/>'
  '<a xmlns:p="urn:p" p:xmlns="1"/>'
  '<S:Doc xmlns:S="urn:s" xmlns:p="urn:a" p:xmlns="1"><S:Sum>1</S:Sum></S:Doc>'
  '<ed:R xmlns:ed="urn:dez-ru:ed:v2.0" xmlns:b="urn:b" b:y="2"><ed:C xmlns:n1="urn:c" n1:k="3">t</ed:C></ed:R>'
  '<R xmlns="urn:dez-ru:ed:v2.0" a="1"><C>Текст &amp; &lt;x&gt;</C><E/></R>'
)
for i in "${!docs[@]}"; do
  printf '%s' "${docs[$i]}" > doc.xml
  if "$dezsign" root -t doc.xml -o signed.xml && "$dezsign" canon --numbered doc.xml > numbered &&
     sed -e 's/.*<dsig:SigValue xmlns:dsig="urn:dez-ru:dsig:v1.1">//' -e 's/<\/dsig:SigValue>.*//' signed.xml |
       base64 -d > signed-bytes && cmp -s signed-bytes numbered; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: ${docs[$i]}" >&2
    echo "  canon --numbered: $(cat numbered 2>/dev/null)" >&2
    echo "  root signs:       $(cat signed-bytes 2>/dev/null)" >&2
  fi
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
