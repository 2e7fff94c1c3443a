#!/usr/bin/env bash
# dezsign with real signatures from the reference provider spki1, checked by an outsider:
# every signature the library makes verifies with the openssl command (GOST engine) over
# the bytes the exchange defines as signed, and an envelope signed by openssl verifies
# through dezsign. Keys live in a throwaway provider home; ~/.spki1 is never read.
# Prints "N passed, M failed" (and skipped checks), exits non-zero on any failure.
#
#   spki1_e2e_test.sh DEZSIGN SPKI1_TOOL SOURCE_DIR
set -u
if [ $# -ne 3 ] || [ ! -x "$1" ] || [ ! -x "$2" ] || [ ! -d "$3" ]; then
  echo "usage: spki1_e2e_test.sh DEZSIGN SPKI1_TOOL SOURCE_DIR" >&2
  exit 2
fi
dezsign=$(realpath "$1")
tool=$(realpath "$2")
src=$(realpath "$3")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
export SPKI1_HOME="$work/spki1-home"
export HOME="$work/home"  # a fallback to ~/.spki1 would land here, not in the real home
mkdir -p "$HOME"
unset SPKI1_PIN
passed=0
failed=0
skipped=0
check() {  # check NAME COMMAND...
  local name=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: $name" >&2
  fi
}
skip() {
  skipped=$((skipped + 1))
  echo "SKIPPED: $1" >&2
}
# A command run for its side effect counts as a check: dezsign under the sanitizers exits
# non-zero on a leak, so every run is examined.
run() {  # run NAME COMMAND...  (stderr kept in last.err)
  local name=$1
  shift
  "$@" 2>last.err
  local rc=$?
  if [ $rc -eq 0 ]; then
    passed=$((passed + 1))
    return 0
  fi
  failed=$((failed + 1))
  echo "FAILED: $name (exit $rc)" >&2
  sed 's/^/    /' last.err >&2
  return 1
}

if ! openssl engine gost >/dev/null 2>&1; then
  echo "FAILED: the openssl command cannot load the GOST engine (libengine-gost-openssl)" >&2
  echo "0 passed, 1 failed"
  exit 1
fi

# Parts of the documents dezsign writes, taken apart with nothing of the library's own.
cat > parts.py <<'PY'
import base64, re, sys, xml.parsers.expat

SIGVALUE = re.compile(rb'<dsig:SigValue xmlns:dsig="urn:dez-ru:dsig:v1\.1">([^<]*)</dsig:SigValue>')

def read(path):
    with open(path, "rb") as f:
        return f.read()

def write(path, data):
    with open(path, "wb") as f:
        f.write(data)

def elements(data):
    """(depth, start, end) byte spans of every element; depth 0 is the root."""
    spans, stack = [], []
    p = xml.parsers.expat.ParserCreate()
    def start(name, attrs):
        stack.append(p.CurrentByteIndex)
    def end(name):
        # The serialiser escapes ">" in values, so the first ">" ends the tag.
        i = p.CurrentByteIndex
        spans.append((len(stack) - 1, stack.pop(), data.index(b">", i) + 1))
    p.StartElementHandler, p.EndElementHandler = start, end
    p.Parse(data, True)
    return sorted(spans, key=lambda s: s[1])

def start_tag(data, at):
    return data[at:data.index(b">", at) + 1]

def root_sigvalue(path, out):
    # Root: the signature value is the root's first child.
    data = read(path)
    spans = elements(data)
    root_tag_end = spans[0][1] + len(start_tag(data, spans[0][1]))
    m = SIGVALUE.match(data, root_tag_end)
    if not m or spans[1][1] != root_tag_end:
        sys.exit("no dsig:SigValue as the root's first child")
    write(out, base64.b64decode(m.group(1), validate=True))

def envelope(path, sig_out, obj_out):
    data = read(path)
    mac = re.search(rb'<dsig:MACValue xmlns:dsig="urn:dez-ru:dsig:v1\.1">([^<]*)</dsig:MACValue>', data)
    obj = re.search(rb'<sen:Object>([^<]*)</sen:Object>', data)
    if not mac or not obj:
        sys.exit("not an envelope")
    write(sig_out, base64.b64decode(mac.group(1), validate=True))
    # The object content may be the client's text with its line breaks.
    write(obj_out, base64.b64decode(re.sub(rb"\s+", b"", obj.group(1)), validate=True))

def children(path, prefix):
    # Childs: each child element of the root alone (its signature value taken out, the
    # root's namespace declarations added), and its signature. Prints the count.
    data = read(path)
    spans = elements(data)
    root_tag = start_tag(data, spans[0][1])
    if SIGVALUE.match(data, spans[0][1] + len(root_tag)):
        sys.exit("the root itself carries a signature value")
    decls = re.findall(rb' (xmlns(?::[^=]+)?)="([^"]*)"', root_tag)
    n = 0
    for depth, s, e in spans:
        if depth != 1:
            continue
        child = data[s:e]
        tag = start_tag(child, 0)
        m = SIGVALUE.match(child, len(tag))
        if not m:
            sys.exit("child %d has no signature value as its first child" % (n + 1))
        body = child[:len(tag)] + child[m.end():]
        name_end = re.match(rb"<[^\s/>]+", tag).end()
        extra = b"".join(b' %s="%s"' % (k, v) for k, v in decls if b" " + k + b"=" not in tag)
        n += 1
        write("%s%d.xml" % (prefix, n), body[:name_end] + extra + body[name_end:])
        write("%s%d.p7s" % (prefix, n), base64.b64decode(m.group(1), validate=True))
    if SIGVALUE.findall(data).__len__() != n:
        sys.exit("signature values outside the children")
    print(n)

def change_object_byte(path, out, old, new):
    # The envelope with one byte of its carried document changed, signature kept.
    old, new = old.encode(), new.encode()
    if len(old) != len(new) or sum(a != b for a, b in zip(old, new)) != 1:
        sys.exit("OLD and NEW must differ in exactly one byte")
    data = read(path)
    m = re.search(rb'<sen:Object>([^<]*)</sen:Object>', data)
    doc = base64.b64decode(m.group(1))
    i = doc.index(old)
    doc = doc[:i] + new + doc[i + len(old):]
    write(out, data[:m.start(1)] + base64.b64encode(doc) + data[m.end(1):])

cmd, args = sys.argv[1], sys.argv[2:]
{"root-sigvalue": root_sigvalue, "envelope": envelope, "children": children,
 "change-object-byte": change_object_byte}[cmd](*args)
PY
parts() { python3 "$work/parts.py" "$@"; }

# openssl's own verdict on a detached CMS (DER) over the given bytes, with the signer's
# certificate as the only trust anchor.
ossl_verify() {  # ossl_verify CMS CONTENT CERT
  openssl cms -verify -engine gost -binary -inform DER -in "$1" -content "$2" -CAfile "$3" \
    -out /dev/null 2>ossl.err && grep -q "Verification successful" ossl.err
}
ossl_sign() {  # ossl_sign CONTENT PROFILE OUT.p7s
  openssl cms -sign -engine gost -binary -outform DER -in "$1" \
    -signer "$SPKI1_HOME/$2/cert.pem" -inkey "$SPKI1_HOME/$2/key.pem" -out "$3" 2>/dev/null
}
make_envelope() {  # make_envelope CMS DOCUMENT OUT: the exchange's envelope, written by hand
  printf '<sen:SigEnvelope xmlns:sen="urn:dez-ru:dsig:env:v1.1"><sen:SigContainer><dsig:MACValue xmlns:dsig="urn:dez-ru:dsig:v1.1">%s</dsig:MACValue></sen:SigContainer><sen:Object>%s</sen:Object></sen:SigEnvelope>' \
    "$(base64 -w0 "$1")" "$(base64 -w0 "$2")" > "$3"
}
header='<?xml version="1.0" encoding="UTF-8"?>'

cp "$src/samples/payment.xml" doc.xml
cp "$src/samples/payment-1251.xml" doc1251.xml
"$dezsign" canon --numbered doc.xml > doc.numbered

# Profiles: one per key algorithm, a second GOST key, a PIN-protected key.
for p in "g256 gost2012-256" "g512 gost2012-512" "ec ecdsa" "other gost2012-256"; do
  set -- $p
  run "spki1-tool create $1 ($2)" "$tool" create "$1" --alg "$2" --subject "/CN=e2e $1/O=Test Bank" >/dev/null
  "$tool" export-cert "$1" > "$1.pem"
done
run "spki1-tool create with a PIN" "$tool" create pinned --pin 4711 >/dev/null
"$tool" export-cert pinned > pinned.pem
check "no provider home outside the temporary one" test ! -e "$HOME/.spki1"

# (a) Root: the signature value verifies with openssl over the numbered canonical bytes.
for p in g256 g512 ec; do
  if run "root with $p" "$dezsign" root -p "$p" --silent doc.xml -o "root-$p.xml"; then
    check "root with $p: signature value is the root's first child" parts root-sigvalue "root-$p.xml" "root-$p.p7s"
    check "root with $p verifies with openssl over canon --numbered" \
      ossl_verify "root-$p.p7s" <("$dezsign" canon --numbered doc.xml) "$p.pem"
    check "root with $p does not verify with another certificate" \
      bash -c "! openssl cms -verify -engine gost -binary -inform DER -in root-$p.p7s -content doc.numbered -CAfile other.pem -out /dev/null 2>/dev/null"
  fi
done
sed 's/Sum="1250000"/Sum="1250001"/' doc.numbered > doc.numbered.changed
check "root signature fails over changed bytes" bash -c "! openssl cms -verify -engine gost -binary -inform DER -in root-g256.p7s -content doc.numbered.changed -CAfile g256.pem -out /dev/null 2>/dev/null"
run "root of the windows-1251 sample" "$dezsign" root -p g256 --silent doc1251.xml -o root-1251.xml &&
  parts root-sigvalue root-1251.xml root-1251.p7s &&
  check "windows-1251 input: signature verifies over the same UTF-8 bytes" ossl_verify root-1251.p7s doc.numbered g256.pem

# (b) Envelope: the carried bytes and the signature verify with openssl; dezsign verify
# gives the document back.
for p in g256 g512; do
  run "envelope with $p" "$dezsign" envelope -p "$p" --silent doc.xml -o "env-$p.xml" || continue
  check "envelope with $p has both parts" parts envelope "env-$p.xml" "env-$p.p7s" "env-$p.obj"
  check "envelope with $p: carried bytes start with the declaration" \
    test "$(head -c ${#header} "env-$p.obj")" = "$header"
  check "envelope with $p verifies with openssl over the carried bytes" ossl_verify "env-$p.p7s" "env-$p.obj" "$p.pem"
  run "dezsign verify of the envelope with $p" "$dezsign" verify -p "$p" --silent "env-$p.xml" -o "verified-$p.xml"
  check "verify with $p returns the carried document" cmp -s "verified-$p.xml" "env-$p.obj"
done
"$dezsign" canon doc.xml > fixed.xml
"$dezsign" xml fixed.xml > fixed-dom.xml
{ printf '%s' "$header"; cat fixed-dom.xml; } > fixed-with-header.xml
check "the carried document is the fixed-prefix form" cmp -s env-g256.obj fixed-with-header.xml

# Base64 envelope: the signature covers the decoded bytes exactly as the client gave them.
base64 -w 76 doc.xml > doc.b64
if run "base64-envelope" "$dezsign" base64-envelope -p g256 --silent doc.b64 -o b64env.xml; then
  parts envelope b64env.xml b64env.p7s b64env.obj
  check "base64-envelope carries the file's bytes" cmp -s b64env.obj doc.xml
  check "base64-envelope signature verifies with openssl" ossl_verify b64env.p7s doc.xml g256.pem
fi

# (c) An envelope whose signature openssl made over a document's bytes (not canonical:
# comment, line breaks, default namespace) verifies through dezsign.
"$dezsign" xml doc.xml > doc-dom.xml
{ printf '%s' "$header"; cat doc-dom.xml; } > doc-dom-header.xml
for p in g256 g512; do
  check "openssl signs with $p" ossl_sign doc.xml "$p" "ossl-$p.p7s"
  make_envelope "ossl-$p.p7s" doc.xml "ossl-env-$p.xml"
  run "dezsign verify of the openssl envelope ($p)" "$dezsign" verify -p "$p" --silent "ossl-env-$p.xml" -o "ossl-back-$p.xml" &&
    check "openssl envelope ($p) gives the document back" cmp -s "ossl-back-$p.xml" doc-dom-header.xml
done
# The carried bytes' own declaration decides their encoding.
check "openssl signs windows-1251 bytes" ossl_sign doc1251.xml g256 ossl-1251.p7s
make_envelope ossl-1251.p7s doc1251.xml ossl-env-1251.xml
run "dezsign verify of the windows-1251 openssl envelope" "$dezsign" verify -p g256 --silent ossl-env-1251.xml -o ossl-back-1251.xml &&
  check "windows-1251 envelope gives the same document" cmp -s ossl-back-1251.xml doc-dom-header.xml
# The Profile object verifies it the same way.
run "Profile object verifies the openssl envelope" "$dezsign" verify --profile-object -p g256 --silent ossl-env-g256.xml -o ossl-back-po.xml &&
  check "Profile object gives the same document" cmp -s ossl-back-po.xml doc-dom-header.xml

# (d) One changed byte of the carried document: verify fails with the provider's text and
# writes nothing.
parts change-object-byte env-g256.xml tampered.xml 'Sum="1250000"' 'Sum="1250009"'
"$dezsign" verify -p g256 --silent tampered.xml -o tampered-out.xml 2> tampered.err; rc=$?
check "changed byte: verify exits 3 (refused)" test $rc -eq 3
check "changed byte: the provider's (Russian) text on stderr" grep -q "хэш не совпадает" tampered.err
check "changed byte: no output file" test ! -e tampered-out.xml
parts change-object-byte ossl-env-g256.xml tampered2.xml 'Sum="1250000"' 'Sum="1250001"'
"$dezsign" verify -p g256 --silent tampered2.xml > /dev/null 2> tampered2.err; rc=$?
check "changed byte in the openssl envelope: verify exits 3" test $rc -eq 3
check "changed byte in the openssl envelope: provider's text" grep -q "хэш не совпадает" tampered2.err
# A signer the verifying profile does not trust, then after trusting it.
"$dezsign" verify -p other --silent env-g256.xml > /dev/null 2> untrusted.err; rc=$?
check "untrusted signer: verify exits 3" test $rc -eq 3
check "untrusted signer: the provider's text" grep -q "доверенным" untrusted.err
run "spki1-tool trust" "$tool" trust other g256.pem >/dev/null
run "trusted signer verifies" "$dezsign" verify -p other --silent env-g256.xml -o trusted-back.xml &&
  check "trusted signer: the document" cmp -s trusted-back.xml env-g256.obj
"$dezsign" verify -p other --silent env-g512.xml > /dev/null 2>&1
check "trust of one certificate does not extend to another" test $? -eq 3

# (e) A PIN-protected key: silent opening without a PIN fails cleanly; the PIN from the
# environment opens it; a wrong PIN and a missing terminal are reported.
echo "keep me" > kept.xml
"$dezsign" root -p pinned --silent doc.xml -o kept.xml 2> pin1.err; rc=$?
check "PIN key, silent, no PIN: exits 1" test $rc -eq 1
check "PIN key, silent, no PIN: provider status in the message" grep -q "E0700013" pin1.err
check "PIN key, silent, no PIN: existing output untouched" grep -q "keep me" kept.xml
"$dezsign" root -p pinned --silent doc.xml -o pin-none.xml 2>/dev/null
check "PIN key, silent, no PIN: no output file" test ! -e pin-none.xml
SPKI1_PIN=4712 "$dezsign" root -p pinned --silent doc.xml -o pin-wrong.xml 2> pin2.err; rc=$?
check "PIN key, wrong PIN: exits 1 with the provider's status" test $rc -eq 1 -a ! -e pin-wrong.xml
check "PIN key, wrong PIN: E0700014" grep -q "E0700014" pin2.err
if run "PIN key with SPKI1_PIN" env SPKI1_PIN=4711 "$dezsign" root -p pinned --silent doc.xml -o pin-ok.xml; then
  parts root-sigvalue pin-ok.xml pin-ok.p7s
  check "PIN key signature verifies with openssl" ossl_verify pin-ok.p7s doc.numbered pinned.pem
fi
run "PIN key through the Profile object, --keyload silent" \
  env SPKI1_PIN=4711 "$dezsign" root -p pinned --profile-object --keyload silent doc.xml -o pin-po.xml
# Loud opening with no controlling terminal must fail, never wait for input.
timeout 60 setsid -w "$dezsign" root -p pinned doc.xml -o pin-loud.xml < /dev/null 2> pin3.err; rc=$?
check "PIN key, loud, no terminal: exits 1 (no hang)" test $rc -eq 1
check "PIN key, loud, no terminal: E0700015" grep -q "E0700015" pin3.err
"$dezsign" root -p no-such-profile --silent doc.xml > /dev/null 2> nosuch.err; rc=$?
check "unknown profile: exits 1 with E0700010" test $rc -eq 1 && check "unknown profile: status text" grep -q "E0700010" nosuch.err

# (f) Childs: each child is signed as a document of its own; its signature verifies over
# the numbered canonical bytes of that child alone.
childs_check() {  # childs_check LABEL INPUT PROFILE EXPECTED_COUNT
  local label=$1 input=$2 p=$3 want=$4 n i
  run "childs ($label)" "$dezsign" childs -p "$p" --silent "$input" -o "childs-$label.xml" || return
  n=$(parts children "childs-$label.xml" "child-$label-")
  check "childs ($label): one signature per child ($want)" test "$n" = "$want"
  for i in $(seq 1 "$n"); do
    check "childs ($label): child $i verifies with openssl" \
      ossl_verify "child-$label-$i.p7s" <("$dezsign" canon --numbered "child-$label-$i.xml") "$p.pem"
  done
  # A child's signature covers that child only.
  [ "$n" -ge 2 ] && check "childs ($label): child 1's signature does not cover child 2" \
    bash -c "! openssl cms -verify -engine gost -binary -inform DER -in child-$label-1.p7s -content <('$dezsign' canon --numbered child-$label-2.xml) -CAfile $p.pem -out /dev/null 2>/dev/null"
}
printf '<?xml version="1.0" encoding="UTF-8"?>\n<Packet n="7">\n  lead text\n  <A k="1"><X>тест &amp; проба</X></A>\n  <!-- c -->\n  <B b="2" a="1"/>\n  <C>3 &lt; 4</C>\n</Packet>\n' > plain.xml
childs_check plain plain.xml g256 3
# Documents in the exchange's namespace need each child's markup to carry the namespace
# declaration in scope; while the document model does not write it, the action fails.
printf '<P xmlns="urn:dez-ru:ed:v2.0"><A>1</A></P>' > probe.xml
if "$dezsign" childs -t -p probe probe.xml > /dev/null 2> probe.err; then
  childs_check payment doc.xml g512 5
elif grep -q "undeclared namespace prefix" probe.err; then
  skip "childs on namespaced documents (child markup lacks the namespace declaration in scope)"
else
  check "childs on a namespaced document in test mode" false
fi

# (g) A batch of 50 documents with two workers holding a Profile object each.
mkdir in
for i in $(seq 1 50); do sed "s/EDNo=\"1024\"/EDNo=\"$((2000 + i))\"/" doc.xml > "in/doc$i.xml"; done
run "batch of 50, -j 2, --profile-object" "$dezsign" root -p g256 --silent --profile-object -j 2 in/*.xml --out-dir out --parents
check "batch summary" grep -q "50 of 50 files done" last.err
check "batch wrote 50 results" test "$(ls out | wc -l)" -eq 50
for i in 1 17 33 50; do
  parts root-sigvalue "out/doc$i.xml" "batch$i.p7s" &&
    check "batch result $i verifies over its own document" \
      ossl_verify "batch$i.p7s" <("$dezsign" canon --numbered "in/doc$i.xml") g256.pem
done
check "batch result 17 does not verify over document 18" \
  bash -c "! openssl cms -verify -engine gost -binary -inform DER -in batch17.p7s -content <('$dezsign' canon --numbered in/doc18.xml) -CAfile g256.pem -out /dev/null 2>/dev/null"

# (h) The Profile object and the DEZSign object sign alike: the same document, and both
# signatures verify.
run "root through the Profile object" "$dezsign" root -p g256 --silent --profile-object doc.xml -o root-po.xml &&
  parts root-sigvalue root-po.xml root-po.p7s &&
  check "Profile object root verifies with openssl" ossl_verify root-po.p7s doc.numbered g256.pem
sed 's/<dsig:SigValue [^<]*<\/dsig:SigValue>//' root-po.xml > root-po.bare
sed 's/<dsig:SigValue [^<]*<\/dsig:SigValue>//' root-g256.xml > root-g256.bare
check "both paths give the same document apart from the signature" cmp -s root-po.bare root-g256.bare
run "text input through the DEZSign object" "$dezsign" root -p g256 --silent --text - < doc.xml > root-text.xml &&
  parts root-sigvalue root-text.xml root-text.p7s &&
  check "text-path root verifies with openssl" ossl_verify root-text.p7s doc.numbered g256.pem
run "envelope through the Profile object" "$dezsign" envelope -p g256 --silent --profile-object doc.xml -o env-po.xml &&
  parts envelope env-po.xml env-po.p7s env-po.obj &&
  check "Profile object envelope verifies with openssl" ossl_verify env-po.p7s env-po.obj g256.pem &&
  check "Profile object envelope carries the same bytes" cmp -s env-po.obj env-g256.obj
run "DEZSign object verifies the Profile object's envelope" "$dezsign" verify -p g256 --silent env-po.xml > /dev/null
run "Profile object verifies the DEZSign object's envelope" "$dezsign" verify -p g256 --silent --profile-object env-g256.xml > /dev/null

# (i) check-signature: what root and childs signed checks with the key's profile; a
# signature openssl made over the recomputed bytes checks too; one changed byte, another
# signer or an untrusted key fails with the provider's text.
for p in g256 g512 ec; do
  [ -f "root-$p.xml" ] && run "check-signature of root with $p" "$dezsign" check-signature -p "$p" "root-$p.xml" > cs-$p.txt &&
    check "check-signature of root with $p says OK and who signed" \
      grep -qE "^root-$p.xml: OK — signed by CN=e2e $p, O=Test Bank, serial [0-9A-F]+, issuer CN=e2e $p, O=Test Bank, [0-9-]+ [0-9:]+ UTC$" cs-$p.txt
done
[ -f childs-plain.xml ] && run "check-signature --childs" "$dezsign" check-signature --childs -p g256 childs-plain.xml > csc.txt &&
  check "check-signature --childs: one OK per child" test "$(grep -c ': OK — signed by CN=e2e g256' csc.txt)" -eq 3
if ossl_sign doc.numbered g256 ossl-root.p7s; then
  sed "s|<dsig:SigValue xmlns:dsig=\"urn:dez-ru:dsig:v1.1\">[^<]*</dsig:SigValue>|<dsig:SigValue xmlns:dsig=\"urn:dez-ru:dsig:v1.1\">$(base64 -w0 ossl-root.p7s)</dsig:SigValue>|" \
    root-g256.xml > ossl-root.xml
  run "check-signature of a value openssl signed" "$dezsign" check-signature -p g256 ossl-root.xml > /dev/null
else
  check "openssl signs the recomputed bytes" false
fi
sed 's/Sum="1250000"/Sum="1250001"/' root-g256.xml > root-changed.xml
"$dezsign" check-signature -p g256 root-changed.xml > cs-changed.txt 2>&1; rc=$?
check "check-signature of a changed byte exits 3" test $rc -eq 3
check "check-signature of a changed byte: the provider's text" grep -q "root-changed.xml: FAILED: .*хэш не совпадает" cs-changed.txt
"$dezsign" check-signature -p other root-g512.xml > /dev/null 2>&1
check "check-signature with an untrusting profile exits 3" test $? -eq 3
run "check-signature batch, -j 2" "$dezsign" check-signature -p g256 -j 2 root-g256.xml root-1251.xml root-po.xml > /dev/null
# What a reader sees besides the signed tree is refused with a real key too; a change of
# prefix or quotes is not. A child given twice is a replay.
sed 's#</ed:ED101>#<!-- paid --></ed:ED101>#' root-g256.xml > root-comment.xml
"$dezsign" check-signature -p g256 root-comment.xml > cs-comment.txt; rc=$?
check "a comment added: exit 3, UNSIGNED CONTENT" test $rc -eq 3 -a "$(sed 's/ — signer: CN=e2e g256, .*//' cs-comment.txt)" = "root-comment.xml: UNSIGNED CONTENT: comment at line 1"
sed "s#<ed:#<pay:#g; s#</ed:#</pay:#g; s#xmlns:ed=#xmlns:pay=#; s#Sum=\"1250000\"#Sum='1250000'#" root-g256.xml > root-prefix.xml
run "a change of prefix and quotes still checks" "$dezsign" check-signature -p g256 root-prefix.xml > /dev/null
if [ -f childs-plain.xml ]; then
  python3 - childs-plain.xml childs-dup.xml <<'PY'
import re, sys
data = open(sys.argv[1], 'rb').read()
first = re.search(rb'<A .*?</A>', data, re.S).group(0)
open(sys.argv[2], 'wb').write(data.replace(first, first + first, 1))
PY
  "$dezsign" check-signature --childs -p g256 childs-dup.xml > csd.txt; rc=$?
  check "a child given twice: exit 3" test $rc -eq 3
  check "a child given twice: DUPLICATE of the first" grep -q ': child 2 (A): DUPLICATE of child 1 — signer: CN=e2e g256, ' csd.txt
fi
# An envelope with a second object part carries data nobody signed.
sed 's#</sen:SigEnvelope>#<sen:Object>PGEvPg==</sen:Object></sen:SigEnvelope>#' env-g256.xml > env-two.xml
"$dezsign" verify -p g256 --silent env-two.xml > /dev/null 2> env-two.err; rc=$?
check "an envelope with a second Object: verify exits 3" test $rc -eq 3
check "an envelope with a second Object: why" grep -q "второй элемент Object" env-two.err

# export-signature: the pair it writes is all openssl needs, for root and for each child.
for p in g256 ec; do
  [ -f "root-$p.xml" ] &&
    run "export-signature of root with $p" "$dezsign" export-signature "root-$p.xml" --cms "x-$p.p7s" --data "x-$p.bin" &&
    check "exported root signature with $p verifies with openssl" ossl_verify "x-$p.p7s" "x-$p.bin" "$p.pem"
done
if [ -f childs-plain.xml ] &&
  run "export-signature --childs" "$dezsign" export-signature --childs childs-plain.xml --cms=xc.p7s --data=xc.bin; then
  for i in 1 2 3; do
    check "exported child $i verifies with openssl" ossl_verify "xc.$i.p7s" "xc.$i.bin" g256.pem
  done
fi
[ -f root-changed.xml ] &&
  run "export-signature of a changed document" "$dezsign" export-signature root-changed.xml --cms xx.p7s --data xx.bin &&
  check "the changed document's export does not verify" bash -c "! openssl cms -verify -engine gost -binary -inform DER -in xx.p7s -content xx.bin -CAfile g256.pem -out /dev/null 2>/dev/null"

# The spool with a real key: whose fault a failure is. A signature that does not verify is
# the document's (FAILED, with its report); a key that does not exist is the machine's (the
# input stays in IN, nothing in FAILED, status 1).
if [ -f env-g256.xml ]; then
  mkdir -p spool-in spool-in2
  cp env-g256.xml spool-in/good.xml
  sed 's/\(<dsig:MACValue[^>]*>\)..../\1AAAA/' env-g256.xml > spool-in/bad.xml
  "$dezsign" spool verify -p g256 --in spool-in --out spool-out --done spool-done 2> spool.txt
  check "spool verify: the envelope that verifies is done, the other refused" bash -c \
    'test -f spool-out/good.xml && test -f spool-done/good.xml &&
     grep -q "^verdict: refused" spool-in/failed/bad.xml.error'
  cp env-g256.xml spool-in2/a.xml
  "$dezsign" spool verify -p no-such-key --in spool-in2 --out spool-out2 --done spool-done2 2> spool2.txt
  check "spool with a key that does not exist: exit 1, the input stays in IN" bash -c \
    "test $? -eq 1 && test -f spool-in2/a.xml && test -z \"\$(ls -A spool-in2/failed)\""
fi
check "the real home was not used" test ! -e "$HOME/.spki1"
echo "$passed passed, $failed failed, $skipped skipped"
[ $failed -eq 0 ]
