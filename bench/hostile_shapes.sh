#!/usr/bin/env bash
# Hostile shapes: documents built to make a careless implementation quadratic (many
# namespace declarations on one element, many prefixes in scope, deep nesting, many
# attributes, long names). Every command on such a document should cost about what Root
# costs on it: the goal is CPU time <= 3x Root's on the same document, for every command;
# `xmllint --noout` of the document is shown beside it as an outside reference.
#
#   bench/hostile_shapes.sh [BENCH_BUILD]          the table (run by bench/run.sh)
#   bench/hostile_shapes.sh --write SHAPE N FILE   writes one shape of size N (tests, and
#                                                  instruction counts at several N)
#   bench/hostile_shapes.sh --shapes               the shapes' names
#
#   HOSTILE_N     size of each shape (default 40000: declarations, elements or attributes)
#   HOSTILE_RUNS  runs per command, the least CPU time counts (default 3)
#
# Time: CPU time (user + system) of the whole process, each command's run paired with a
# Root run just before it and the least of each taken, so that a host that is slower for a
# while slows both sides of the ratio. The commands run in test mode (no provider).
set -euo pipefail

shapes="decls-on-one-element prefixes-in-scope nested-10000 attributes-50000 prefixed-attributes long-names envelope-decls"

# write SHAPE N FILE
write() {
  local shape=$1 n=$2 file=$3
  case $shape in
    decls-on-one-element)
      # n declarations on the root, n children each in the namespace of its own prefix.
      awk -v n="$n" 'BEGIN {
        printf "<r"; for (i = 0; i < n; i++) printf " xmlns:p%d=\"urn:x:%d\"", i, i; printf ">"
        for (i = 0; i < n; i++) printf "<p%d:e>t</p%d:e>", i, i
        print "</r>" }' ;;
    prefixes-in-scope)
      # The declarations spread over 200 nested elements, all in scope at the innermost,
      # which holds n children using them, the outermost declared first.
      awk -v n="$n" 'BEGIN {
        levels = 200; per = int((n + levels - 1) / levels); k = 0
        for (l = 0; l < levels; l++) {
          printf "<d%d", l; for (j = 0; j < per && k < n; j++) { printf " xmlns:p%d=\"urn:x:%d\"", k, k; k++ }
          printf ">" }
        for (i = 0; i < k; i++) printf "<p%d:e p%d:a=\"v\">t</p%d:e>", i, i, i
        for (l = levels - 1; l >= 0; l--) printf "</d%d>", l
        print "" }' ;;
    nested-10000)
      # Elements nested 9,999 deep (the parser refuses more), in one namespace, a text at the
      # bottom; the signature value makes it 10,000.
      awk -v n="$n" 'BEGIN {
        d = 9999; printf "<p:e xmlns:p=\"urn:x:deep\" a=\"1\">"
        for (i = 1; i < d; i++) printf "<p:e a=\"%d\">", i
        printf "t"; for (i = 0; i < d; i++) printf "</p:e>"
        print "" }' ;;
    attributes-50000)
      # One element with 50,000 attributes, in an order other than the canonical one.
      awk 'BEGIN {
        printf "<r xmlns=\"urn:x:attrs\""
        for (i = 50000; i > 0; i--) printf " a%d=\"%d\"", i, i
        print "><c>t</c></r>" }' ;;
    prefixed-attributes)
      # n prefixed attributes on one element, same local name, each prefix its own namespace.
      awk -v n="$n" 'BEGIN {
        printf "<r"; for (i = 0; i < n; i++) printf " xmlns:p%d=\"urn:x:%d\"", i, i
        for (i = 0; i < n; i++) printf " p%d:a=\"v\"", i
        print "><c>t</c></r>" }' ;;
    long-names)
      # Names of 100,000 characters: the root's, a prefix, n/4000 children's and attributes'.
      awk -v n="$n" 'BEGIN {
        s = "x"; while (length(s) < 100000) s = s s; s = substr(s, 1, 100000)
        printf "<R%s xmlns:P%s=\"urn:x:%s\">", s, s, s
        for (i = 0; i < n / 4000; i++) printf "<P%s:E%d A%s=\"%d\">t</P%s:E%d>", s, i, s, i, s, i
        print "</R" s ">" }' ;;
    envelope-decls)
      # An envelope (made in test mode by the caller) whose root carries n declarations.
      echo "envelope-decls is made from an envelope: see envelope_with_declarations" >&2
      return 1 ;;
    *)
      echo "unknown shape $shape (one of: $shapes)" >&2
      return 1 ;;
  esac > "$file"
}

# envelope_with_declarations DEZSIGN N FILE: the envelope of a small document, its root
# given n more namespace declarations.
envelope_with_declarations() {
  local dezsign=$1 n=$2 file=$3 tmp
  tmp=$(mktemp)
  printf '<Doc xmlns="urn:x:doc"><Item>1</Item></Doc>' > "$tmp"
  "$dezsign" envelope -t "$tmp" |
    awk -v n="$n" '{
      if (!done && (p = index($0, "<sen:SigEnvelope")) > 0) {
        decls = ""; for (i = 0; i < n; i++) decls = decls sprintf(" xmlns:p%d=\"urn:x:%d\"", i, i)
        $0 = substr($0, 1, p + 15) decls substr($0, p + 16); done = 1 }
      print }' > "$file"
  rm -f "$tmp"
}

if [ "${1:-}" = --shapes ]; then
  echo "$shapes"
  exit 0
fi
if [ "${1:-}" = --write ]; then
  [ $# -eq 4 ] || { echo "usage: $0 --write SHAPE N FILE" >&2; exit 2; }
  write "$2" "$3" "$4"
  exit
fi

build=$(realpath "${1:-build/bench}")
n=${HOSTILE_N:-40000}
runs=${HOSTILE_RUNS:-3}
dezsign=$build/tools/dezsign
proc_time=$build/bench/proc_time
if [ ! -x "$dezsign" ] || [ ! -x "$proc_time" ] || ! command -v xmllint > /dev/null; then
  echo "hostile shapes: needs dezsign and proc_time in $build, and xmllint: skipped"
  exit 0
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# cpu COMMAND...: the CPU seconds of one run (stdout discarded); fails when it fails.
cpu() {
  "$proc_time" "$@" > /dev/null 2> "$work/err.txt" ||
    { echo "hostile shapes: failed: $*" >&2; tail -n 5 "$work/err.txt" >&2; return 1; }
  tail -n 1 "$work/err.txt" | cut -d' ' -f1
}

least() { awk -v a="$1" -v b="$2" 'BEGIN { print (b == "" || a < b) ? a : b }'; }

# paired DOC COMMAND...: "root_cpu command_cpu", each the least of $runs runs, a Root run
# on DOC (the document the command reads) just before each run of the command.
paired() {
  local doc=$1 r c best_r="" best_c="" i
  shift
  for i in $(seq 1 "$runs"); do
    r=$(cpu "$dezsign" root -t "$doc") || return 1
    c=$(cpu "$@") || return 1
    best_r=$(least "$r" "$best_r")
    best_c=$(least "$c" "$best_c")
  done
  echo "$best_r $best_c"
}

echo "Hostile shapes, N = $n, test mode: CPU seconds, the least of $runs runs, each command's runs"
echo "paired with Root's on the document the command reads (the shape, or what root, childs or"
echo "envelope made of it); goal: every command <= 3x Root (machine load average $(cut -d' ' -f1-3 /proc/loadavg))"
printf '%-22s %-16s %8s %8s %7s  %s\n' shape command "root s" "cmd s" "x root" ""
worst=0
for shape in $shapes; do
  doc=$work/$shape.xml
  if [ "$shape" = envelope-decls ]; then
    envelope_with_declarations "$dezsign" "$n" "$doc"
  else
    write "$shape" "$n" "$doc"
  fi
  signed=$work/$shape.signed.xml
  childs=$work/$shape.childs.xml
  envelope=$work/$shape.envelope.xml
  if [ "$shape" = envelope-decls ]; then
    cp "$doc" "$envelope"
  else
    "$dezsign" root -t "$doc" -o "$signed"
    "$dezsign" childs -t "$doc" -o "$childs"
    "$dezsign" envelope -t "$doc" -o "$envelope"
  fi
  lint=$(cpu xmllint --noout --huge "$doc") || lint="failed"
  echo "-- $shape: $(awk -v b="$(stat -c %s "$doc")" 'BEGIN { printf "%.2f MB", b / 1048576 }');" \
    "xmllint --noout: $lint s; Root: $(cpu "$dezsign" root -t "$doc") s"
  while IFS='|' read -r name input args; do
    case $input in
      signed) [ "$shape" = envelope-decls ] && continue; file=$signed ;;
      childs) [ "$shape" = envelope-decls ] && continue; file=$childs ;;
      envelope) file=$envelope ;;
      *) file=$doc ;;
    esac
    # shellcheck disable=SC2086
    if ! read -r r c <<< "$(paired "$file" "$dezsign" $args "$file")" || [ -z "$c" ]; then
      printf '%-22s %-16s %s\n' "$shape" "$name" "FAILED (see above)"
      worst=999
      continue
    fi
    x=$(awk -v r="$r" -v c="$c" 'BEGIN { printf "%.2f", c / (r > 0 ? r : 0.001) }')
    printf '%-22s %-16s %8.3f %8.3f %7s  %s\n' "$shape" "$name" "$r" "$c" "$x" \
      "$(awk -v x="$x" 'BEGIN { print (x <= 3 ? "met" : "NOT met") }')"
    worst=$(awk -v a="$worst" -v x="$x" 'BEGIN { print (x > a ? x : a) }')
  done << 'EOF'
xml|doc|xml
canon|doc|canon
canon --numbered|doc|canon --numbered
root|doc|root -t
childs|doc|childs -t
envelope|doc|envelope -t
verify|envelope|verify -t
extract|envelope|extract
check-signature|signed|check-signature -t
check --childs|childs|check-signature --childs -t
EOF
  rm -f "$doc" "$signed" "$childs" "$envelope"
done
verdict=$(awk -v w="$worst" 'BEGIN { print (w <= 3 ? "met" : "NOT met") }')
echo "worst command / Root: ${worst}x ($verdict)"
if [ -n "${BENCH_GOALS:-}" ]; then
  echo "hostile shapes: worst command / Root (CPU), N = $n|${worst}x|3x|$verdict" >> "$BENCH_GOALS"
fi
