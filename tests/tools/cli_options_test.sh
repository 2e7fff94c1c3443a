#!/usr/bin/env bash
# dezsign's command line as users type it, in test mode: each command's --help, the GNU
# forms of options with a value, -q, missing output folders (--parents), export-signature,
# and the progress line on a dumb terminal. One row per case: NAME, expected exit status,
# command (eval'd), check that must hold afterwards. Prints "N passed, M failed".
set -u
dezsign=$1
src=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
cp "$src/samples/payment.xml" doc.xml
D='"$dezsign"'
"$dezsign" root -t -p key doc.xml -o signed.xml || exit 1
"$dezsign" childs -t -p key doc.xml -o childs.xml || exit 1
"$dezsign" canon --numbered doc.xml > numbered.bin || exit 1
sed 's/1250000/1250001/' signed.xml > changed.xml
mkdir in && for i in 1 2 3; do cp doc.xml "in/d$i.xml"; done
cp doc.xml in/broken.xml && printf '<a><b></a>' > in/broken.xml
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
only() {  # only FILE...: the work folder holds exactly these (besides the fixtures)
  test "$(ls | grep -vxE 'doc.xml|signed.xml|childs.xml|numbered.bin|changed.xml|in|out.txt|err.txt' | sort | tr '\n' ' ')" = "$*"
}

# Every command has its own --help: exit 0, its usage on stdout.
for c in check xml canon childs root envelope verify extract base64-envelope check-signature export-signature; do
  row "$c --help" 0 "$D $c --help" "grep -q '^dezsign $c - ' out.txt && grep -q 'dezsign ' <(tail -n +2 out.txt) && test ! -s err.txt"
done
row "-h after options" 0 "$D root -t -p key -h" "grep -q -- '--parents' out.txt"
row "--code N --help" 0 "$D --code 2 --help" "grep -q '^dezsign --code - ' out.txt"
row "--help after -- is a file name" 1 "$D root -t -- --help" "grep -q -- '--help' err.txt"

# The GNU forms give what the separate forms give.
for form in "--profile=key" "-pkey" "-p key --output=o1.xml" "-pkey -oo1.xml" "--profile-object --keyload=silent -pkey"; do
  row "root -t $form" 0 "rm -f o1.xml; $D root -t $form doc.xml > o2.xml; test -s o1.xml || mv o2.xml o1.xml" "cmp -s o1.xml signed.xml"
done
row "--jobs=2 and -j2 in a batch" 0 "$D root -t -pkey --jobs=2 in/d1.xml in/d2.xml --out-dir=b1 --parents && $D root -t -pkey -j2 in/d3.xml --out-dir b1" \
  "cmp -s b1/d1.xml signed.xml && cmp -s b1/d3.xml signed.xml"
row "a flag with a value is refused" 2 "$D root --test-mode=1 doc.xml" "grep -q 'option --test-mode takes no value' err.txt"
row "an option without its value" 2 "$D root -t doc.xml --output" "grep -q 'option --output needs a value' err.txt"

# -q: failures only.
row "check-signature -q of a good file prints nothing" 0 "$D check-signature -t -q signed.xml" "test ! -s out.txt"
# (Any failing exit status: which one a refusal gets is check-signature's own matter.)
row "check-signature --quiet prints the failure only" 0 "! $D check-signature -t --quiet signed.xml changed.xml" \
  "test \"\$(cut -d: -f1-2 out.txt)\" = 'changed.xml: FAILED'"
row "batch -q: no summary" 0 "$D root -t -pkey -q in/d1.xml in/d2.xml --out-dir b2 --parents" "test ! -s err.txt"
row "batch -q: the failure alone" 1 "$D root -t -pkey -q in/d1.xml in/broken.xml --out-dir b3 --parents" \
  "test \$(grep -c '^dezsign: ' err.txt) -eq 1 && grep -q 'in/broken.xml' err.txt"

# Missing output folders are refused unless --parents makes them.
row "--out-dir missing: refused, nothing made" 1 "$D root -t -pkey in/d1.xml --out-dir a/b/c" \
  "grep -q 'does not exist (--parents makes it)' err.txt && test ! -e a"
row "-o in a missing folder: refused, nothing made" 1 "$D root -t -pkey doc.xml -o e/f/x.xml" "test ! -e e"
row "--out-dir --parents" 0 "$D root -t -pkey in/d1.xml --out-dir g/h --parents" "cmp -s g/h/d1.xml signed.xml"
row "-o --parents" 0 "$D root -t -pkey doc.xml -o i/j/x.xml --parents" "cmp -s i/j/x.xml signed.xml"
row "--parents below a file fails" 1 "$D root -t -pkey doc.xml -o doc.xml/k/x.xml --parents" "grep -q 'cannot create the folder' err.txt"

# export-signature: in test mode the signature is the signed bytes themselves.
row "export-signature of a root-signed document" 0 "$D export-signature signed.xml --cms s.p7s --data s.bin" \
  "cmp -s s.bin numbered.bin && cmp -s s.p7s numbered.bin && test ! -s err.txt"
row "export-signature --childs: one pair per child" 0 "$D export-signature --childs childs.xml --cms=c.p7s --data=c.bin" \
  "test \$(ls c.*.p7s | wc -l) -eq 5 && test \$(ls c.*.bin | wc -l) -eq 5 && cmp -s c.3.p7s c.3.bin && test \$(wc -l < err.txt) -eq 5"
row "export-signature --childs -q: no line per pair" 0 "$D export-signature -q --childs childs.xml --cms q --data q.bin" \
  "test ! -s err.txt && test -s q.5 && test -s q.5.bin"
row "export-signature of an unsigned document" 1 "$D export-signature doc.xml --cms u.p7s --data u.bin" \
  "grep -q 'SigValue' err.txt && test ! -e u.p7s && test ! -e u.bin"
row "export-signature into a missing folder" 1 "$D export-signature signed.xml --cms m/s.p7s --data m/s.bin" "test ! -e m"
row "export-signature: no half pair" 1 "$D export-signature signed.xml --cms h.p7s --data m/h.bin" "test ! -e h.p7s && test ! -e m"
row "export-signature --parents" 0 "$D export-signature signed.xml --cms n/s.p7s --data n/s.bin --parents" "cmp -s n/s.bin numbered.bin"
row "export-signature without --data" 2 "$D export-signature signed.xml --cms s.p7s" "grep -q -- '--cms FILE and --data FILE' err.txt"
row "export-signature takes no key" 2 "$D export-signature -t signed.xml --cms s.p7s --data s.bin" "grep -q 'checks nothing' err.txt"

# Progress on a terminal: escape sequences only where the terminal is not dumb.
if command -v script > /dev/null; then
  for term in dumb xterm; do
    row "progress with TERM=$term" 0 \
      "TERM=$term script -qec \"'$dezsign' root -t -pkey in/d1.xml in/d2.xml --out-dir p-$term --parents\" /dev/null" \
      "grep -q \$'\\r' out.txt && if [ $term = dumb ]; then ! grep -q \$'\\033' out.txt; else grep -q \$'\\033\\\\[K' out.txt; fi"
  done
fi

echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
