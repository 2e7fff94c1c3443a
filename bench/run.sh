#!/usr/bin/env bash
# Runs every benchmark program of a bench build.
set -euo pipefail
build=${1:-build/bench}
for b in "$build"/bench/*_bench; do
  [ -x "$b" ] || continue
  echo "== $(basename "$b")"
  "$b" --benchmark_counters_tabular=true
done
for s in bench/*.sh; do
  [ "$(basename "$s")" = run.sh ] && continue
  [ -f "$s" ] || continue
  echo "== $(basename "$s")"
  bash "$s" "$build"
done
