#!/usr/bin/env bash
# Runs every fuzz target for a bounded time and prints one line per target: executions,
# crashes (saved under build/fuzz/artifacts/) and whether it passed. Exits non-zero when any
# target found a crash. Usage: fuzz/run.sh BUILD_DIR PYTHON SECONDS [TARGET...]
set -uo pipefail
build=$1 python=$2 seconds=$3
shift 3
root=$(cd "$(dirname "$0")/.." && pwd)
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for src in "$root"/fuzz/fuzz_*.cpp "$root"/fuzz/fuzz_*.py; do
    targets+=("$(basename "${src%.*}")")
  done
fi
mkdir -p "$build/artifacts" "$build/logs"
export TMPDIR=${TMPDIR:-/dev/shm}
status=0
printf '%-18s %12s %8s  %s\n' target executions crashes result
for t in "${targets[@]}"; do
  work="$build/work/$t"
  seeds="$root/fuzz/corpus/$t"
  mkdir -p "$work" "$seeds"
  log="$build/logs/$t.log"
  before=$(ls "$build/artifacts" | grep -c "^$t-" || true)
  if [ -f "$root/fuzz/$t.py" ]; then
    cmd=("$python" "$root/fuzz/$t.py")
  else
    cmd=("$build/fuzz/$t")
  fi
  # Leaks of the interpreter itself are not ours to report; everything else is.
  ASAN_OPTIONS=detect_leaks=0:${ASAN_OPTIONS:-} "${cmd[@]}" -max_total_time="$seconds" \
    -print_final_stats=1 -rss_limit_mb=4096 -timeout=60 \
    -artifact_prefix="$build/artifacts/$t-" "$work" "$seeds" >"$log" 2>&1
  rc=$?
  execs=$(grep -ao 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -1)
  if [ -z "$execs" ]; then
    execs=$(grep -aoE '^#[0-9]+' "$log" | tail -1 | tr -d '#')
  fi
  after=$(ls "$build/artifacts" | grep -c "^$t-" || true)
  crashes=$((after - before))
  result=ok
  if [ $rc -ne 0 ] || [ $crashes -gt 0 ]; then
    result="FAILED (see $log)"
    status=1
  fi
  printf '%-18s %12s %8s  %s\n' "$t" "${execs:-?}" "$crashes" "$result"
done
exit $status
