#!/usr/bin/env bash
# Who may sign, end to end: a GOST CA, an intermediate and leaves made with the openssl
# command; documents signed through dezsign with each leaf are checked by a receiving
# profile made of certificates alone, and each verdict is the one
# `openssl cms -verify -purpose smimesign [-crl_check_all]` gives on the same CMS over the
# same bytes. Keys live in a throwaway provider home; ~/.spki1 is never read.
# Prints "N passed, M failed", exits non-zero on any failure.
#
#   spki1_signer_test.sh DEZSIGN SPKI1_TOOL SOURCE_DIR
set -u
if [ $# -ne 3 ] || [ ! -x "$1" ] || [ ! -x "$2" ] || [ ! -d "$3" ]; then
  echo "usage: spki1_signer_test.sh DEZSIGN SPKI1_TOOL SOURCE_DIR" >&2
  exit 2
fi
dezsign=$(realpath "$1")
tool=$(realpath "$2")
src=$(realpath "$3")
work=$(mktemp -d)
if [ -n "${KEEP:-}" ]; then echo "work: $work" >&2; else trap 'rm -rf "$work"' EXIT; fi
cd "$work" || exit 1
export SPKI1_HOME="$work/spki1-home"
export HOME="$work/home"
mkdir -p "$HOME"
unset SPKI1_PIN
source "$src/tests/tools/check_lib.sh"
quiet() { "$@" >/dev/null 2>&1; }
if ! openssl engine gost >/dev/null 2>&1; then
  echo "FAILED: the openssl command cannot load the GOST engine (libengine-gost-openssl)" >&2
  echo "0 passed, 1 failed"
  exit 1
fi
G="-engine gost"

# ---- the certificates ---------------------------------------------------------------
cat > x.cnf <<'EOF'
[req]
distinguished_name=dn
[dn]
[x_ca]
basicConstraints=critical,CA:TRUE
keyUsage=critical,keyCertSign,cRLSign
subjectKeyIdentifier=hash
authorityKeyIdentifier=keyid:always
[x_good]
basicConstraints=critical,CA:FALSE
keyUsage=critical,digitalSignature,nonRepudiation
[x_keyenc]
basicConstraints=critical,CA:FALSE
keyUsage=critical,keyEncipherment
[x_keyagree]
keyUsage=critical,keyAgreement
[x_tls]
basicConstraints=critical,CA:FALSE
keyUsage=critical,digitalSignature
extendedKeyUsage=serverAuth,clientAuth
[x_marked]
basicConstraints=critical,CA:FALSE
keyUsage=critical,digitalSignature
extendedKeyUsage=emailProtection
[x_noext]
subjectKeyIdentifier=hash
EOF
cat > ca.cnf <<'EOF'
[ca]
default_ca=x
[x]
database=$ENV::CADIR/index.txt
crlnumber=$ENV::CADIR/crlnumber
default_md=md_gost12_256
default_crl_days=7
EOF
newkey() { openssl genpkey $G -algorithm gost2012_256 -pkeyopt paramset:A -out "$1.key" 2>/dev/null; }
issue() {  # issue NAME ISSUER EXTENSIONS SUBJECT
  newkey "$1" &&
    openssl req $G -new -key "$1.key" -subj "$4" -config x.cnf -out "$1.csr" 2>/dev/null &&
    openssl x509 $G -req -in "$1.csr" -CA "$2.pem" -CAkey "$2.key" -CAcreateserial -days 30 \
      -extfile x.cnf -extensions "$3" -out "$1.pem" 2>/dev/null
}
newkey root && openssl req $G -new -x509 -key root.key -subj "/CN=E2E Root CA/O=Test" -days 60 \
  -config x.cnf -extensions x_ca -out root.pem 2>/dev/null
check "root CA made" test -s root.pem
check "intermediate made" issue sub root x_ca "/CN=E2E Sub CA/O=Test"
for leaf in good keyenc keyagree tls marked noext revoked; do
  ext=x_$leaf
  [ $leaf = revoked ] && ext=x_good
  check "leaf $leaf made" issue $leaf sub $ext "/CN=E2E $leaf/O=Test Bank"
done
# CRLs: the root's (nothing revoked), the intermediate's (one leaf revoked), one of the
# intermediate's long expired, and one that claims to be the intermediate's but is signed
# by another key.
mkdir -p casub caroot fake
touch casub/index.txt caroot/index.txt fake/index.txt
echo 01 > casub/crlnumber; echo 01 > caroot/crlnumber; echo 01 > fake/crlnumber
quiet env CADIR=casub openssl ca $G -config ca.cnf -revoke revoked.pem -keyfile sub.key -cert sub.pem -crl_reason keyCompromise
quiet env CADIR=casub openssl ca $G -config ca.cnf -gencrl -keyfile sub.key -cert sub.pem -out sub.crl
quiet env CADIR=caroot openssl ca $G -config ca.cnf -gencrl -keyfile root.key -cert root.pem -out root.crl
quiet env CADIR=casub openssl ca $G -config ca.cnf -gencrl -keyfile sub.key -cert sub.pem \
  -crl_lastupdate 20200101000000Z -crl_nextupdate 20200201000000Z -out sub-expired.crl
newkey impostor
openssl req $G -new -x509 -key impostor.key -subj "/CN=E2E Sub CA/O=Test" -days 5 -config x.cnf \
  -extensions x_ca -out impostor.pem 2>/dev/null
quiet env CADIR=fake openssl ca $G -config ca.cnf -gencrl -keyfile impostor.key -cert impostor.pem -out sub-forged.crl
openssl crl -in sub.crl -outform DER -out sub.crl.der
for f in sub.crl root.crl sub-expired.crl sub-forged.crl; do check "CRL $f made" test -s $f; done

# ---- profiles -----------------------------------------------------------------------
# Senders: each leaf with its key; the intermediate and the root as signers too.
for s in good keyenc keyagree tls marked noext revoked sub root; do
  check "sender $s imported" quiet "$tool" import "$s" --key "$s.key" --cert "$s.pem"
done
# The receiving host: certificates only, no key, no PIN.
check "import --cert makes a verify-only profile" quiet "$tool" import recv --cert root.pem
check "the verify-only profile has no key" test ! -e "$SPKI1_HOME/recv/key.pem"
check "trust the intermediate" quiet "$tool" trust recv sub.pem
"$tool" crl recv root.crl > crl-root.out 2>&1
check "crl: the root's CRL (PEM), nothing revoked" grep -q "^CRL of CN=E2E Root CA, O=Test, next update 20.*, 0 revoked$" crl-root.out
"$tool" crl recv sub.crl.der > crl-sub.out 2>&1
check "crl: the intermediate's CRL (DER), one revoked" grep -q "^CRL of CN=E2E Sub CA, O=Test, next update .*, 1 revoked$" crl-sub.out
"$tool" crl recv sub-forged.crl > forged.out 2>&1; rc=$?
check "crl: a CRL whose signature does not verify is refused" test $rc -eq 1
check "crl: ... and says so" grep -q "does not verify" forged.out
"$tool" create scratch > /dev/null && "$tool" trust scratch sub.pem > /dev/null
"$tool" crl scratch sub-expired.crl > crl-expired.out 2>&1
check "crl: an expired CRL is taken, and said to be expired" grep -q ", 1 revoked (EXPIRED" crl-expired.out
"$tool" crl recv sub.pem > notcrl.out 2>&1
check "crl: a file without a CRL is refused" test $? -eq 1
"$tool" trust recv sub.crl > trustcrl.out 2>&1
check "trust: a CRL is refused, naming the crl command" test $? -eq 1
check "... and names the crl command" grep -q "spki1-tool crl recv" trustcrl.out
echo "crl=require" >> "$SPKI1_HOME/recv/profile.conf"
"$tool" list > list.out
check "list: the receiver is VERIFY ONLY with two CRLs, required" grep -q "^recv	.*VERIFY ONLY	trusted 1	CRL 2 (required)" list.out
check "list: each CRL with its next update" grep -q "CRL of CN=E2E Sub CA, O=Test	next update 20" list.out
check "list: a CA certificate's profile is marked" grep -q "^root	.*SIGNATURES REFUSED: a CA certificate" list.out
check "list: a good leaf's profile is not" bash -c "! grep '^good	' list.out | grep -q REFUSED"

# Receivers of the CRL cases: copies of recv with other CRL folders.
receiver() {  # receiver NAME CRL_SETTING CRL_FILES...
  local name=$1 setting=$2
  shift 2
  rm -rf "$SPKI1_HOME/$name"
  cp -r "$SPKI1_HOME/recv" "$SPKI1_HOME/$name"
  rm -rf "$SPKI1_HOME/$name/crl"
  mkdir "$SPKI1_HOME/$name/crl"
  for f in "$@"; do cp "$f" "$SPKI1_HOME/$name/crl/"; done
  grep -v '^crl=' "$SPKI1_HOME/recv/profile.conf" > "$SPKI1_HOME/$name/profile.conf"
  [ -n "$setting" ] && echo "crl=$setting" >> "$SPKI1_HOME/$name/profile.conf"
}
receiver stale require root.crl sub-expired.crl
receiver stale-optional "" root.crl sub-expired.crl
receiver nocrl require
receiver subonly require sub.crl
receiver forged "" root.crl sub-forged.crl
receiver plain ""
receiver eku "" root.crl sub.crl
echo "signer_eku=1.3.6.1.5.5.7.3.4" >> "$SPKI1_HOME/eku/profile.conf"
# CRLs copied among the trusted certificates count as well.
receiver intrusted require
cp sub.crl "$SPKI1_HOME/intrusted/trusted/sub-crl.pem"
cp root.crl "$SPKI1_HOME/intrusted/trusted/root-crl.pem"

# ---- documents ----------------------------------------------------------------------
cp "$src/samples/payment.xml" doc.xml
"$dezsign" canon --numbered doc.xml > doc.numbered
sigvalue() {  # sigvalue SIGNED.xml OUT.p7s: the root's signature value
  sed -e 's/.*<dsig:SigValue xmlns:dsig="urn:dez-ru:dsig:v1.1">//' -e 's/<\/dsig:SigValue>.*//' "$1" |
    base64 -d > "$2"
}
for s in good keyenc keyagree tls marked noext revoked sub root; do
  if check "root signed by $s" quiet "$dezsign" root -p "$s" --silent doc.xml -o "root-$s.xml"; then
    sigvalue "root-$s.xml" "root-$s.p7s"
  fi
done

# openssl's verdict: OK or FAILED, on the CMS over the numbered canonical bytes, trusting
# the intermediate as the receiver does (the signatures carry the signer's certificate
# alone) besides the certificates and CRLs given.
ossl() {  # ossl CMS CRL_FLAGS BUNDLE_FILES...
  local cms=$1 flags=$2
  shift 2
  cat sub.pem "$@" > bundle.pem
  if openssl cms -verify $G -binary -inform DER -in "$cms" -content doc.numbered -CAfile bundle.pem \
    -purpose smimesign $flags -out /dev/null > ossl.out 2>&1; then
    echo OK
  else
    echo FAILED
  fi
}
# Ours: OK or FAILED from check-signature's line, the line kept in ours.out.
ours() {  # ours PROFILE SIGNED.xml
  "$dezsign" check-signature -p "$1" "$2" > ours.out 2>&1 < /dev/null
  if grep -q "^$2: OK" ours.out; then echo OK; else echo FAILED; fi
}
same() {  # same LABEL PROFILE SIGNER TEXT CRL_FLAGS BUNDLE...: both verdicts; ours OK or with TEXT
  local label=$1 profile=$2 signer=$3 status=$4 flags=$5
  shift 5
  [ -f "root-$signer.xml" ] || return
  local theirs mine
  theirs=$(ossl "root-$signer.p7s" "$flags" "$@")
  mine=$(ours "$profile" "root-$signer.xml")
  check "$label: openssl says $theirs, dezsign says $mine" test "$theirs" = "$mine"
  if [ "$status" = OK ]; then
    check "$label: OK" test "$mine" = OK
  else
    check "$label: refused: $status" grep -q "FAILED: .*$status" ours.out
  fi
}
all="-crl_check_all"
same "good leaf" recv good OK "$all" root.pem root.crl sub.crl
same "key usage keyEncipherment" recv keyenc "не предназначен для электронной подписи" "$all" root.pem root.crl sub.crl
same "key usage keyAgreement" recv keyagree "не предназначен для электронной подписи" "$all" root.pem root.crl sub.crl
same "extended key usage TLS only" recv tls "Расширенное использование ключа" "$all" root.pem root.crl sub.crl
same "extended key usage emailProtection" recv marked OK "$all" root.pem root.crl sub.crl
same "no extensions" recv noext OK "$all" root.pem root.crl sub.crl
same "the intermediate CA as signer" recv sub "удостоверяющего центра" "$all" root.pem root.crl sub.crl
same "the root CA as signer" recv root "удостоверяющего центра" "$all" root.pem root.crl sub.crl
same "revoked leaf" recv revoked "Сертификат отозван" "$all" root.pem root.crl sub.crl
same "revoked leaf, crl optional" plain revoked OK "" root.pem
same "expired CRL, crl=require" stale good "просрочен или ещё не действует" "$all" root.pem root.crl sub-expired.crl
same "expired CRL, crl optional" stale-optional good OK "" root.pem root.crl sub-expired.crl
same "revoked leaf, expired CRL that lists it" stale-optional revoked "Сертификат отозван" "$all" root.pem root.crl sub.crl
same "CRLs in trusted/, revoked leaf" intrusted revoked "Сертификат отозван" "$all" root.pem root.crl sub.crl
same "CRLs in trusted/, good leaf" intrusted good OK "$all" root.pem root.crl sub.crl
same "no CRL, crl=require" nocrl good "Нет списка отозванных" "$all" root.pem
same "no CRL of the root, crl=require" subonly good "Нет списка отозванных" "$all" root.pem sub.crl
same "forged CRL" forged good "Подпись списка отозванных" "$all" root.pem root.crl sub-forged.crl
# The profile's own demand (no openssl counterpart): marked keys only.
check "signer_eku: an unmarked leaf is refused" test "$(ours eku root-good.xml)" = FAILED
check "signer_eku: with its text" grep -q "Расширенное использование ключа" ours.out
check "signer_eku: a marked leaf is OK" test "$(ours eku root-marked.xml)" = OK
# The revocation text names the certificate and the date.
ours recv root-revoked.xml > /dev/null
check "revoked: the text names the date" grep -q "отозван 20[0-9-]* [0-9:]* UTC" ours.out

# Two signers that fail for different reasons: each text names its own certificate.
openssl cms -sign $G -binary -outform DER -in doc.numbered -signer keyenc.pem -inkey keyenc.key \
  -signer revoked.pem -inkey revoked.key -out two.p7s 2>/dev/null
sed "s|<dsig:SigValue xmlns:dsig=\"urn:dez-ru:dsig:v1.1\">[^<]*</dsig:SigValue>|<dsig:SigValue xmlns:dsig=\"urn:dez-ru:dsig:v1.1\">$(base64 -w0 two.p7s)</dsig:SigValue>|" \
  root-good.xml > root-two.xml
check "two signers: openssl refuses" test "$(ossl two.p7s "$all" root.pem root.crl sub.crl)" = FAILED
check "two signers: refused" test "$(ours recv root-two.xml)" = FAILED
check "two signers: the key usage names the first" \
  grep -q "электронной подписи (использование ключа [^;]*): CN=E2E keyenc, O=Test Bank; Сертификат отозван: CN=E2E revoked" ours.out
check "two signers: both named as claimed" grep -q "— signer: CN=E2E keyenc, .*; CN=E2E revoked, " ours.out

# ---- the signer in the verdict ------------------------------------------------------
serial=$(openssl x509 -in good.pem -noout -serial | sed 's/^serial=//')
ours recv root-good.xml > /dev/null
check "the good leaf's line names its subject, serial, issuer and time" \
  grep -qE "^root-good.xml: OK — signed by CN=E2E good, O=Test Bank, serial $serial, issuer CN=E2E Sub CA, O=Test, 20[0-9]{2}-[0-9]{2}-[0-9]{2} [0-9:]{8} UTC$" ours.out

# ---- a receiving host with certificates alone: no key, no PIN -------------------------
for s in good marked; do
  quiet "$dezsign" childs -p "$s" --silent doc.xml -o "childs-$s.xml"
  quiet "$dezsign" envelope -p "$s" --silent doc.xml -o "env-$s.xml"
done
# No --silent and no terminal: a key with a PIN would fail here (E0700015), a profile
# without a key never asks.
run_no_tty() { timeout 60 setsid -w "$@" < /dev/null; }
run_no_tty "$dezsign" check-signature -p recv root-good.xml > recv-root.out 2>&1
check "receiver checks a Root-signed document" grep -q "^root-good.xml: OK — signed by CN=E2E good" recv-root.out
run_no_tty "$dezsign" check-signature --childs -p recv childs-good.xml > recv-childs.out 2>&1
check "receiver checks a Childs-signed document" test "$(grep -c ': OK — signed by CN=E2E good' recv-childs.out)" -ge 1
check "... and no child fails" bash -c "! grep -q FAILED recv-childs.out"
run_no_tty "$dezsign" verify -p recv env-good.xml -o verified.xml 2> recv-env.err
check "receiver verifies an envelope" test $? -eq 0 -a -s verified.xml
check "verify names the signer on stderr" grep -q "^env-good.xml: OK — signed by CN=E2E good, O=Test Bank, serial $serial" recv-env.err
run_no_tty "$dezsign" verify -p recv --profile-object env-marked.xml > /dev/null 2> recv-po.err
check "the Profile object verifies with the verify-only profile" grep -q "OK — signed by CN=E2E marked" recv-po.err
run_no_tty "$dezsign" root -p recv doc.xml -o no.xml 2> nokey.err
check "signing with the verify-only profile fails" test $? -eq 1 -a ! -e no.xml
check "... with E070001E" grep -q "E070001E" nokey.err
mkdir -p batch
"$dezsign" verify -p recv --out-dir batch env-good.xml env-marked.xml 2> batch.err
check "a verify batch names each file's signer" test "$(grep -c ': OK — signed by' batch.err)" -eq 2
# A refused signer is a refusal through verify as well.
quiet "$dezsign" envelope -p keyenc --silent doc.xml -o env-keyenc.xml
run_no_tty "$dezsign" verify -p recv env-keyenc.xml -o refused.xml 2> refused.err
check "verify refuses a keyEncipherment leaf" test $? -ne 0 -a ! -e refused.xml
check "... with its text" grep -q "не предназначен для электронной подписи" refused.err
check "... naming the signer it claims" grep -q "— signer: CN=E2E keyenc, O=Test Bank, serial" refused.err

check "the real home was not used" test ! -e "$HOME/.spki1"
echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
