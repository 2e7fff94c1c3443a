#!/usr/bin/env bash
# Every C and C++ file of the tree is in the form .clang-format describes: prints the files
# clang-format would change, and "N passed, M failed".
#   format_check.sh SOURCE_DIR
set -u
src=$1
command -v clang-format >/dev/null || { echo "clang-format is not installed"; echo "0 passed, 1 failed"; exit 1; }
cd "$src" || exit 1
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  files=$(git ls-files '*.cpp' '*.h' '*.c')
else
  files=$(find . -path ./build -prune -o \( -name '*.cpp' -o -name '*.h' -o -name '*.c' \) -print)
fi
passed=0 failed=0
for f in $files; do
  if clang-format --dry-run --Werror "$f" >/dev/null 2>&1; then
    passed=$((passed + 1))
  else
    echo "not formatted: $f (clang-format -i $f)"
    failed=$((failed + 1))
  fi
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
