#!/usr/bin/env bash
# Runs every fuzz target for a fixed time and prints how many inputs each
# one executed. Usage: fuzz/run-fuzz.sh BUILD_DIR SECONDS [PARALLEL]
#
# Each target starts from its seed corpus (fuzz/corpus/<target>, never
# written), the real-sized seeds made by BUILD_DIR/fuzz/fuzz_seeds into
# BUILD_DIR/seeds/<target> (a full profile and configuration file, a HEX file
# of 512 KiB of flash, a link trace of every kind of event) and a working corpus in BUILD_DIR/corpus/<target>;
# crashes go to BUILD_DIR/artifacts/<target>/. Exit status 1 when any target
# failed.
set -uo pipefail
build=$(cd "${1:?build folder}" && pwd)
seconds=${2:?seconds per target}
parallel=${3:-1}
here=$(cd "$(dirname "$0")" && pwd)
targets=(field_parse profile_file config_file intel_hex engine cli_args trace_file)
logs="$build/fuzz-logs"
mkdir -p "$logs"

run_one() {
  local t=$1
  local bin="$build/fuzz/fuzz_$t"
  mkdir -p "$build/corpus/$t" "$build/artifacts/$t"
  local extra=() seeds=() max_len=4096
  # The command-line groups print as they would in a terminal: keep it quiet.
  [ "$t" = cli_args ] && extra+=(-close_fd_mask=3)
  # A real firmware file: 512 KiB of flash is about 1.5 MB of HEX text.
  [ "$t" = intel_hex ] && max_len=$((2 * 1024 * 1024))
  [ -d "$build/seeds/$t" ] && seeds+=("$build/seeds/$t")
  "$bin" "${extra[@]}" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len="$max_len" \
    -print_final_stats=1 -artifact_prefix="$build/artifacts/$t/" \
    "$build/corpus/$t" "$here/corpus/$t" "${seeds[@]}" >"$logs/$t.log" 2>&1
  echo $? >"$logs/$t.rc"
}

if ! "$build/fuzz/fuzz_seeds" "$build/seeds"; then
  echo "run-fuzz: $build/fuzz/fuzz_seeds could not make the seeds (build it with: make fuzz)" >&2
  exit 2
fi

running=0
for t in "${targets[@]}"; do
  if [ ! -x "$build/fuzz/fuzz_$t" ]; then
    echo "run-fuzz: $build/fuzz/fuzz_$t is missing (build it with: make fuzz)" >&2
    exit 2
  fi
  run_one "$t" &
  running=$((running + 1))
  if [ "$running" -ge "$parallel" ]; then
    wait -n
    running=$((running - 1))
  fi
done
wait

status=0
printf '%-14s %12s %10s %8s  %s\n' target executions exec/s corpus result
for t in "${targets[@]}"; do
  rc=$(cat "$logs/$t.rc" 2>/dev/null || echo 99)
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$logs/$t.log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$logs/$t.log" | tail -1)
  units=$(ls "$build/corpus/$t" | wc -l)
  result=ok
  if [ "$rc" != 0 ]; then
    result="FAILED (exit $rc, see $logs/$t.log and $build/artifacts/$t/)"
    status=1
  fi
  printf '%-14s %12s %10s %8s  %s\n' "$t" "${runs:-?}" "${rate:-?}" "$units" "$result"
done
exit $status
