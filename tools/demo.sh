#!/usr/bin/env bash
# The demo: a payment message signed, wrapped, verified and unwrapped, first in test
# mode, then with real GOST R 34.10-2012 signatures from the reference provider on a
# throwaway key, checked independently with openssl.
set -euo pipefail
build=${1:-build/release}
root=$(cd "$(dirname "$0")/.." && pwd)
dezsign="$build/tools/dezsign"
tool="$build/tools/spki1-tool"
sample="$root/samples/payment.xml"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

show() { printf '\n== %s\n' "$*"; }
clip() { head -c "${1:-400}"; printf '...\n'; }

"$dezsign" --version

show "Canonical form (fixed prefixes) of $sample"
"$dezsign" canon "$sample" | clip 300

show "Test mode: root (signature value = the signed bytes themselves)"
"$dezsign" root --test-mode -p demo "$sample" -o "$work/root.xml"
clip 420 < "$work/root.xml"

show "Test mode: envelope, verify, extract"
"$dezsign" envelope --test-mode -p demo "$sample" -o "$work/env.xml"
clip 300 < "$work/env.xml"
"$dezsign" verify --test-mode -p demo "$work/env.xml" -o "$work/verified.xml"
"$dezsign" extract "$work/env.xml" -o "$work/extracted.xml"
echo "verified:  $(head -c 120 "$work/verified.xml")..."
echo "extracted: $(head -c 120 "$work/extracted.xml")..."

if [ ! -x "$tool" ]; then
  echo "(no reference provider built: real signatures skipped)"
  exit 0
fi

show "Real signatures: a throwaway GOST R 34.10-2012 (256) key in a temporary provider home"
export SPKI1_HOME="$work/spki1"
"$tool" create demo --alg gost2012-256 --subject "/CN=LumoDEZLib demo/O=Demo Bank" >/dev/null
"$tool" list
"$tool" export-cert demo > "$work/demo.pem"

show "Root with the real key"
"$dezsign" root --silent -p demo "$sample" -o "$work/root-real.xml"
clip 300 < "$work/root-real.xml"
sed -e 's/.*<dsig:SigValue xmlns:dsig="urn:dez-ru:dsig:v1.1">//' -e 's/<\/dsig:SigValue>.*//' \
  "$work/root-real.xml" | base64 -d > "$work/root.p7s"
"$dezsign" canon --numbered "$sample" > "$work/signed-bytes"

show "Envelope with the real key, verified by the library"
"$dezsign" envelope --silent -p demo "$sample" -o "$work/env-real.xml"
"$dezsign" verify --silent -p demo "$work/env-real.xml" -o "$work/verified-real.xml"
echo "dezsign verify: OK ($(wc -c < "$work/verified-real.xml") bytes of document)"

show "Independent check with openssl (GOST engine) of the Root signature over the numbered canonical bytes"
openssl cms -verify -engine gost -binary -inform DER -in "$work/root.p7s" \
  -content "$work/signed-bytes" -CAfile "$work/demo.pem" -purpose any -out /dev/null 2>&1 | grep -vi '^engine "gost" set'

show "check-signature: the Root-signed and the Childs-signed sample, real GOST key"
"$dezsign" childs --silent -p demo "$sample" -o "$work/childs-real.xml"
"$dezsign" check-signature -p demo "$work/root-real.xml"
"$dezsign" check-signature --childs -p demo "$work/childs-real.xml"

show "check-signature after a one-byte change (Sum 1250000 -> 1250001): must fail"
sed 's/Sum="1250000"/Sum="1250001"/' "$work/root-real.xml" > "$work/root-changed.xml"
if "$dezsign" check-signature -p demo "$work/root-changed.xml"; then
  echo "the changed document still checks" >&2
  exit 1
fi
echo "(exit status 1, as it must be)"

show "A receiving host: the sender's certificate alone, no key and no PIN; who signed is read from the signature"
"$tool" import receiver --cert "$work/demo.pem" >/dev/null
"$tool" list | grep '^receiver'
"$dezsign" check-signature -p receiver "$work/root-real.xml"
"$dezsign" verify -p receiver "$work/env-real.xml" -o "$work/verified-receiver.xml" 2>&1
