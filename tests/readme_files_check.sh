#!/usr/bin/env bash
# Every source file of a layer is named in its folder's README.md (as `name`), so that the
# READMEs stay a true map of the tree. Usage: readme_files_check.sh SOURCE_ROOT
set -u
root=${1:?usage: readme_files_check.sh SOURCE_ROOT}
missing=0
check() {  # folder-with-README subfolder-prefix files...
  local dir=$1 prefix=$2
  local readme=$root/$dir/README.md
  shift 2
  local f name
  for f in "$@"; do
    [ -f "$f" ] || continue
    name=$prefix$(basename "$f")
    if ! grep -qF "\`$name\`" "$readme"; then
      echo "not named in $dir/README.md: $dir/$name"
      missing=$((missing + 1))
    fi
  done
}
for dir in base dom canon sign provider automation automation/com spki1 tools capi; do
  check "$dir" "" "$root/$dir"/*.h "$root/$dir"/*.cpp "$root/$dir"/*.c
done
check python lumodez/ "$root"/python/lumodez/*.py
if [ $missing -ne 0 ]; then
  echo "$missing source file(s) missing from their folder's README"
  exit 1
fi
echo "every source file is named in its folder's README"
