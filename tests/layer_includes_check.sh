#!/usr/bin/env bash
# Calls go one way: each layer includes headers of, and names namespaces of, only the
# layers its README allows ("May call: `x/`, ..."), besides its own. A file that reaches
# past its rule is named with the line. Usage: layer_includes_check.sh SOURCE_ROOT
set -u
root=${1:?usage: layer_includes_check.sh SOURCE_ROOT}
# Folder of each layer and its namespace (Lumo::Name).
layers="base:Base dom:Dom canon:Canon provider:Provider sign:Sign automation:Automation tools:Tool capi:"
breaches=0
allowed_of() {  # the folders a layer's README allows, its own first
  local dir=$1
  local rule
  rule=$(grep -m1 '^May call:' "$root/$dir/README.md")
  if [ -z "$rule" ]; then
    echo "no \"May call:\" line in $dir/README.md" >&2
    return 1
  fi
  echo "$dir $(grep -o '`[a-z0-9]*/`' <<<"$rule" | tr -d '`/' | tr '\n' ' ')"
}
for entry in $layers; do
  dir=${entry%%:*}
  allowed=$(allowed_of "$dir") || { breaches=$((breaches + 1)); continue; }
  for other in $layers; do
    odir=${other%%:*} ons=${other#*:}
    case " $allowed " in *" $odir "*) continue ;; esac
    # Includes of the other layer's headers, and its namespace named outside comments.
    hits=$(cd "$root" && grep -nE "^[[:space:]]*#[[:space:]]*include[[:space:]]+\"$odir/" \
      "$dir"/*.h "$dir"/*.cpp "$dir"/*.c 2>/dev/null)
    if [ -n "$ons" ]; then
      named=$(cd "$root" && grep -nE "Lumo::$ons\b" "$dir"/*.h "$dir"/*.cpp 2>/dev/null |
        grep -vE '^[^:]+:[0-9]+:[[:space:]]*(//|/?\*)')
      [ -n "$hits" ] && [ -n "$named" ] && hits+=$'\n'
      hits+=$named
    fi
    if [ -n "$hits" ]; then
      echo "$dir/ may not call $odir/ (its README: $(grep -m1 '^May call:' "$root/$dir/README.md")):"
      echo "$hits" | sed 's/^/  /'
      breaches=$((breaches + 1))
    fi
  done
done
if [ $breaches -ne 0 ]; then
  echo "$breaches layer rule(s) broken"
  exit 1
fi
echo "every layer keeps to what its README allows"
