#!/usr/bin/env bash
# dezsign refuses what it cannot answer for: action codes that name no action, test mode
# passed off as a check, and provider results that do not say "every signer good" (the
# test provider, scripted). Prints "N passed, M failed".
#   cli_refusals_test.sh DEZSIGN SOURCE_DIR TEST_PROVIDER_LIBRARY
set -u
dezsign=$1
src=$2
provider=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
source "$src/tests/tools/check_lib.sh"
notice="dezsign: test mode: the signature was not checked"
cp "$src/samples/payment.xml" doc.xml
"$dezsign" root -t doc.xml -o signed.xml
"$dezsign" envelope -t doc.xml -o env.xml

# Test mode says so wherever it stands for a check; with a key named it is refused.
"$dezsign" check-signature -t signed.xml > cs.txt 2> cs.err
check "check-signature -t still answers" test "$(cat cs.txt)" = "signed.xml: OK"
check "check-signature -t prints the notice" test "$(cat cs.err)" = "$notice"
"$dezsign" verify -t env.xml > /dev/null 2> v.err
check "verify -t prints the same notice" test "$(cat v.err)" = "$notice"
"$dezsign" check-signature -t -p key signed.xml > cs2.txt 2> cs2.err; rc=$?
check "check-signature -t -p is a usage error" test $rc -eq 2
check "... that checks nothing" test ! -s cs2.txt
"$dezsign" root -t -p key doc.xml -o signed2.xml; rc=$?
check "the actions keep taking -t with -p" test $rc -eq 0

# Action codes: the low 8 bits must name an action; nothing is written otherwise.
for code in 0 99 255 256 0x10000 -1; do
  echo "keep me" > out.xml
  "$dezsign" --code "$code" -t doc.xml -o out.xml 2> code.err; rc=$?
  check "--code $code is a usage error" test $rc -eq 2
  check "--code $code names the code" grep -q "unknown action code \"$code\"" code.err
  check "--code $code leaves the output as it was" test "$(cat out.xml)" = "keep me"
done
"$dezsign" --code 258 -t doc.xml -o code258.xml; rc=$?
check "--code 258 is root (its low 8 bits)" test $rc -eq 0
check "... and signs as root does" cmp -s code258.xml signed.xml

# The provider's verdict: only status 0 with signer entries all good passes. Each script
# stands for a provider result that once passed (status E0700019 with no failing entry,
# status 0 beside a failing entry, no entry at all) or plainly fails.
LUMO_TEST_PROVIDER_SCRIPT="" "$dezsign" root --provider "$provider" -p key doc.xml -o keyed.xml
LUMO_TEST_PROVIDER_SCRIPT="" "$dezsign" envelope --provider "$provider" -p key doc.xml -o keyed-env.xml
LUMO_TEST_PROVIDER_SCRIPT="" "$dezsign" check-signature --provider "$provider" -p key keyed.xml > good.txt; rc=$?
# (What follows the verdict names the signer, read from the signature: the test
# provider's is no CMS, so it is unknown.)
check "a good signature checks OK with the test provider" test $rc -eq 0 -a "$(sed 's/ — .*//' good.txt)" = "keyed.xml: OK"
LUMO_TEST_PROVIDER_SCRIPT="" "$dezsign" verify --provider "$provider" -p key keyed-env.xml > /dev/null; rc=$?
check "a good envelope verifies with the test provider" test $rc -eq 0
while IFS='|' read -r script what; do
  LUMO_TEST_PROVIDER_SCRIPT="$script" "$dezsign" check-signature --provider "$provider" -p key keyed.xml > bad.txt 2>&1; rc=$?
  check "check-signature refuses $what" test $rc -ne 0
  check "check-signature says FAILED for $what" grep -q "^keyed.xml: FAILED" bad.txt
  rm -f v.xml
  LUMO_TEST_PROVIDER_SCRIPT="$script" "$dezsign" verify --provider "$provider" -p key keyed-env.xml -o v.xml 2> /dev/null; rc=$?
  check "verify refuses $what" test $rc -ne 0 -a ! -e v.xml
done << 'EOF'
verify=E0700019;signers=0|status E0700019 with no failing entry
result=0:E0700020|status 0 with a failing entry
result=0:0,E0700020|status 0 with a good and a failing entry
signers=|status 0 with no signer entry
verify=E0700019;signers=E0700020|a failing signer
EOF

echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
