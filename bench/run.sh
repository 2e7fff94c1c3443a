#!/usr/bin/env bash
# Runs every benchmark program of a bench build, then the shell benchmarks, and ends with
# one table of every action and entry against its goal (table.sh), which also shows the
# rows the other benchmarks left in $BENCH_GOALS.
set -euo pipefail
build=${1:-build/bench}
BENCH_GOALS=$(mktemp)
export BENCH_GOALS
trap 'rm -f "$BENCH_GOALS"' EXIT
for b in "$build"/bench/*_bench; do
  [ -x "$b" ] || continue
  echo "== $(basename "$b")"
  "$b" --benchmark_counters_tabular=true
done
for s in bench/*.sh; do
  case $(basename "$s") in run.sh | table.sh) continue ;; esac
  [ -f "$s" ] || continue
  echo "== $(basename "$s")"
  bash "$s" "$build"
done
bash bench/table.sh "$build"
