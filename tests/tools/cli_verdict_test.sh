#!/usr/bin/env bash
# check-signature's verdicts on signed documents edited as a hostile sender (or a harmless
# re-serialiser) would, in test mode: each edit, the exit status and the line it gives.
# Prints "N passed, M failed".
set -u
dezsign=$1
src=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
source "$src/tests/tools/check_lib.sh"

"$dezsign" root -t "$src/samples/payment.xml" -o root.xml
"$dezsign" childs -t "$src/samples/payment.xml" -o childs.xml
printf '<doc xmlns="urn:x" xmlns:pay="urn:payer" xmlns:rcv="urn:payee"><t pay:Acc="111" rcv:Acc="222"/></doc>' > pa.xml
"$dezsign" root -t pa.xml -o pa-root.xml
xsi='xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance"'

# name | base file | edit (sed program, or "py:" python code on bytes `d`) | options |
# exit status | the line after "FILE: " (a grep -E pattern)
cases=(
  "element inside the signature value|root.xml|s#</dsig:SigValue>#<ed:Payee PersonalAcc=\"40702810999999999999\"/></dsig:SigValue>#||3|UNSIGNED CONTENT: content inside dsig:SigValue at line 1"
  "schema-instance attribute added|root.xml|s#<ed:Purpose>#<ed:Purpose $xsi xsi:nil=\"true\">#||3|UNSIGNED CONTENT: attribute xsi:nil at line 1"
  "the attribute's own line|root.xml|s#<ed:Purpose>#<ed:Purpose\n $xsi\n xsi:nil=\"true\">#||3|UNSIGNED CONTENT: attribute xsi:nil at line 3"
  "a default from the internal subset|root.xml|s#AccDocNo=\"318\" ##; s#?>#?>\n<!DOCTYPE ed:ED101 [<!ATTLIST ed:AccDoc AccDocNo CDATA \"318\">]>\n#||3|UNSIGNED CONTENT: document type declaration at line 2"
  "an ATTLIST after an unread external entity|root.xml|s#?>#?>\n<!DOCTYPE ed:ED101 [<!ENTITY % ext SYSTEM \"ext.dtd\"> %ext; <!ATTLIST ed:AccDoc Extra CDATA \"1\">]>\n#||3|UNSIGNED CONTENT: document type declaration at line 2"
  "a style sheet before the root|root.xml|s#?>#?>\n<?xml-stylesheet href=\"x.xsl\"?>\n#||3|UNSIGNED CONTENT: processing instruction at line 2"
  "a comment|root.xml|s#</ed:ED101>#<!-- paid --></ed:ED101>#||3|UNSIGNED CONTENT: comment at line 1"
  "swapped prefix declarations|pa-root.xml|s#<n1:doc xmlns:n1=\"urn:x\"#<n1:doc xmlns:n1=\"urn:x\" xmlns:pay=\"urn:payee\" xmlns:rcv=\"urn:payer\"#||3|UNSIGNED CONTENT: namespace binding of attribute pay:Acc differs from the signed one at line 1"
  "a text changed|root.xml|s#Василёк#Васильки#||3|FAILED: .*"
  "a namespace name changed|root.xml|s#urn:dez-ru:ed:v2.0#urn:evil#||3|FAILED: .*data changed.*"
  "a comment allowed|root.xml|s#</ed:ED101>#<!-- paid --></ed:ED101>#|--allow-unsigned-content|0|OK \(allowed UNSIGNED CONTENT: comment at line 1\)"
  "another prefix|root.xml|s#<ed:#<p:#g; s#</ed:#</p:#g; s#xmlns:ed=#xmlns:p=#||0|OK"
  "attribute order and quotes|root.xml|s#ChargeOffDate=\"2026-12-07\" EDAuthor=\"4525000000\"#EDAuthor='4525000000' ChargeOffDate=\"2026-12-07\"#||0|OK"
  "white space inside tags|root.xml|s#<ed:Payer #<ed:Payer\n\t #; s#\"/>#\" \n/>#g; s#</ed:Payee>#</ed:Payee\n>#||0|OK"
  "the signature value broken into lines|root.xml|py:i = d.index(b'</dsig:SigValue>'); d = d[:i - 8] + b'\r\n' + d[i - 8:]||0|OK"
  "windows-1251|root.xml|py:d = d.replace(b'UTF-8', b'windows-1251').decode('utf-8').encode('cp1251')||0|OK"
)

for row in "${cases[@]}"; do
  IFS='|' read -r name base edit options want line <<< "$row"
  if [ "${edit#py:}" != "$edit" ]; then
    python3 -c "import sys; d = open(sys.argv[1], 'rb').read(); ${edit#py:}; open(sys.argv[2], 'wb').write(d)" "$base" case.xml
  else
    sed "$edit" "$base" > case.xml
  fi
  check "$name: the edit is made" test -n "$(cmp "$base" case.xml 2>&1)"
  # shellcheck disable=SC2086
  out=$("$dezsign" check-signature -t $options case.xml 2>&1); rc=$?
  check "$name: exit $want (got $rc: $out)" test "$rc" -eq "$want"
  check "$name: says $line (got: $out)" grep -qE "^case\.xml: $line$" <<< "$out"
done

# Childs: every child checks; the packet's own parts are named; a child given twice is
# refused and so is the whole packet.
out=$("$dezsign" check-signature -t --childs childs.xml); rc=$?
check "childs: exit 0" test $rc -eq 0
check "childs: what is not covered" grep -qE '^childs.xml: NOT COVERED: the root element ed:ED101 and the order of its children; root attributes ChargeOffDate, EDAuthor, EDDate, EDNo, PaytKind, Priority, Sum, SystemCode, TransKind$' <<< "$out"
python3 - childs.xml dup.xml <<'PY'
import re, sys
data = open(sys.argv[1], 'rb').read()
payer = re.search(rb'<ed:Payer .*?</ed:Payer>', data, re.S).group(0)
open(sys.argv[2], 'wb').write(data.replace(payer, payer + b'\n  text\n' + payer, 1))
PY
out=$("$dezsign" check-signature -t --childs dup.xml); rc=$?
check "a child twice: exit 3" test $rc -eq 3
check "a child twice: the first still checks" grep -q '^dup.xml: child 2 (ed:Payer): OK$' <<< "$out"
check "a child twice: the second is a DUPLICATE" grep -q '^dup.xml: child 3 (ed:Payer): DUPLICATE of child 2$' <<< "$out"
check "a child twice: the packet's text is named" grep -q '^dup.xml: NOT COVERED: .*; text outside the children$' <<< "$out"
sed 's#</ed:AccDoc>#</ed:AccDoc><!-- note -->#' childs.xml > childs-comment.xml
out=$("$dezsign" check-signature -t --childs childs-comment.xml); rc=$?
check "a comment between children: named, not refused" test $rc -eq 0
check "a comment between children: in the NOT COVERED line" grep -q 'NOT COVERED: .*; comments$' <<< "$out"

echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
