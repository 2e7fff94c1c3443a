#!/usr/bin/env bash
# Fuzzes the XML loader: run_fuzz.sh BUILD_DIR SECONDS [--ctest|--keep] [TARGET]
# TARGET fuzz_loader (default), or fuzz_canonical: the canonical text from the tree against
# the markup parsed again, seeded from tests/canon/fuzz_corpus/ as well.
# Seeds come from tests/dom/fuzz_corpus/ (small inputs: each slow unit costs the whole run
# dear); the growing corpus and crash files stay in BUILD_DIR/fuzz-work/. By hand (`make fuzz`) a crash input is also copied into
# tests/dom/fuzz_regressions/, where the dom_xml_fuzz_regressions test replays it from
# then on: commit it with the fix. Under CTest (--ctest) the source tree is left alone.
set -euo pipefail
build=${1:?usage: run_fuzz.sh BUILD_DIR SECONDS [--ctest|--keep] [TARGET]}
seconds=${2:-300}
mode=${3:-}
target=${4:-fuzz_loader}
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$build" && pwd)

fuzzer=$(find "$build" -type f -name "$target" -perm -u+x 2>/dev/null | head -n 1)
if [ -z "$fuzzer" ]; then
  echo "run_fuzz.sh: no $target in $build (configure with clang and -DLUMO_FUZZ=ON)" >&2
  exit 1
fi

work="$build/fuzz-work"
regressions="$here/fuzz_regressions"
if [ "$target" != fuzz_loader ]; then
  work="$build/fuzz-work-$target"
  regressions="$here/../canon/fuzz_corpus"
fi
mkdir -p "$work/corpus" "$work/artifacts"
cp -n "$here"/fuzz_corpus/* "$work/corpus/" 2>/dev/null || true
if [ "$target" != fuzz_loader ]; then cp -n "$here"/../canon/fuzz_corpus/* "$work/corpus/" 2>/dev/null || true; fi
if [ "$target" = fuzz_cms_signer ]; then cp -n "$here"/../sign/cms_corpus/* "$work/corpus/" 2>/dev/null || true; fi

# XML tokens help the mutator past the first bytes of markup.
cat > "$work/xml.dict" <<'DICT'
"<?xml version=\"1.0\"?>"
" encoding=\"UTF-8\""
" encoding=\"windows-1251\""
" encoding=\"UTF-16\""
" standalone=\"yes\""
"<!DOCTYPE"
"<!ENTITY"
"<!ATTLIST"
"<!ELEMENT"
"<!NOTATION"
" SYSTEM "
" PUBLIC "
"#REQUIRED"
"#IMPLIED"
"#FIXED"
"CDATA"
"NMTOKENS"
"ID"
"<![CDATA["
"]]>"
"<!--"
"-->"
"<?"
"?>"
"</"
"/>"
"&amp;"
"&lt;"
"&#x"
"&#"
"xmlns"
"xmlns:"
"xml:space=\"preserve\""
"xml:"
"%"
"\xef\xbb\xbf"
"\xff\xfe"
"\xd0\x96"
DICT

log="$work/last-run.log"
status=0
( cd "$work" && "$fuzzer" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2560 \
    -max_len=16384 -dict="$work/xml.dict" -artifact_prefix="$work/artifacts/" \
    -print_final_stats=1 "$work/corpus" ) >"$log" 2>&1 || status=$?

grep -aE '^(#[0-9]+ +DONE|stat::number_of_executed_units|stat::new_units_added|stat::peak_rss_mb)' "$log" || true
echo "corpus: $(ls "$work/corpus" | wc -l) inputs"

if [ $status -ne 0 ]; then
  tail -n 60 "$log"
  found=$(ls "$work/artifacts" 2>/dev/null || true)
  echo "run_fuzz.sh: $target failed (exit $status); inputs in $work/artifacts/: ${found:-none}" >&2
  if [ "$mode" != "--ctest" ] && [ -n "$found" ]; then
    for f in "$work/artifacts"/*; do
      cp "$f" "$regressions/$(basename "$f")"
      echo "kept as regression input: $regressions/$(basename "$f")" >&2
    done
  fi
  exit 1
fi
echo "run_fuzz.sh: no failure in ${seconds}s"
