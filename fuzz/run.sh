#!/usr/bin/env bash
# Runs each harness for a while over a working copy of its seed corpus.
#   fuzz/run.sh BUILD_DIR SECONDS [JOBS] [HARNESS...]
# Crashes are written to BUILD_DIR/artifacts/<harness>/, logs to BUILD_DIR/logs/.
# Exits non-zero when any harness found a failure.
set -uo pipefail
build=$1 secs=$2 jobs=${3:-4}
shift 3 2>/dev/null || shift $#
here=$(cd "$(dirname "$0")" && pwd)
harnesses=("$@")
[ ${#harnesses[@]} -gt 0 ] || mapfile -t harnesses < <(ls "$here/corpus")
# Instrumented frames are large: the deepest inputs the readers accept need more than 8 MiB.
ulimit -s 262144 2>/dev/null || true
mkdir -p "$build/logs" "$build/work" "$build/artifacts"
run_one() {
  h=$1
  mkdir -p "$build/work/$h" "$build/artifacts/$h"
  "$build/fuzz_$h" -max_total_time="$secs" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$build/artifacts/$h/" \
    "$build/work/$h" "$here/corpus/$h" >"$build/logs/$h.log" 2>&1
  rc=$?
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$build/logs/$h.log" | grep -o '[0-9]*$')
  echo "$h: exit $rc, ${runs:-?} executions in ${secs}s"
  return $rc
}
export -f run_one
export build secs here
printf '%s\n' "${harnesses[@]}" | xargs -P "$jobs" -I{} bash -c 'run_one {}'
