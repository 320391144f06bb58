#!/usr/bin/env bash
# Engine-level thread test under ThreadSanitizer: builds reliability/tsan/engine_threads.cpp
# together with every engine source (core/src/**/*.cpp) using g++ -fsanitize=thread, and runs it.
#
#   bash reliability/tsan.sh [SECONDS] [ROWS]   concurrent phase of SECONDS (default 30) over
#                                               sheets of ROWS x 10 cells (default 9000)
#                                               then the regression checks probe-filed-twice
#                                               and probe-json-copy, and the filing check
#                                               probe-filer
#   bash reliability/tsan.sh probe              probe-json-copy alone
#
# Exits non-zero on a wrong search result or on any ThreadSanitizer report. The binary is built
# into build/tsan/ (ignored by git) and rebuilt only when a source changed.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
OUT="$ROOT/build/tsan"
BIN="$OUT/engine_threads"
mkdir -p "$OUT"

missing=()
for p in g++ libpcre2-dev; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq && apt-get install -y -qq "${missing[@]}" >/dev/null
fi

mapfile -t SOURCES < <(find "$ROOT/core/src" -name '*.cpp' | sort)
key="$(cat "$0" "$ROOT/reliability/tsan/engine_threads.cpp" "${SOURCES[@]}" \
  $(find "$ROOT/core/src" -name '*.hpp' | sort) | sha1sum | cut -d' ' -f1)"
if [ ! -x "$BIN" ] || [ "$(cat "$OUT/.key" 2>/dev/null)" != "$key" ]; then
  echo "[tsan] building $BIN" >&2
  start=$(date +%s)
  # One object per source, two at a time (the machine has two cores).
  objs=()
  for src in "$ROOT/reliability/tsan/engine_threads.cpp" "${SOURCES[@]}"; do
    obj="$OUT/$(echo "${src#"$ROOT"/}" | tr '/' '_').o"
    objs+=("$obj")
    g++ -std=c++20 -O1 -g -fsanitize=thread -fno-omit-frame-pointer -Wall -Wextra -Werror \
      -I"$ROOT/core/src" -c "$src" -o "$obj" &
    if (($(jobs -rp | wc -l) >= 2)); then wait -n; fi
  done
  wait
  g++ -fsanitize=thread -o "$BIN" "${objs[@]}" -lpcre2-8 -pthread
  echo "$key" > "$OUT/.key"
  echo "[tsan] built in $(($(date +%s) - start)) s" >&2
fi

# halt_on_error=0: report every race of the run, not just the first; exitcode=66 marks a report.
export TSAN_OPTIONS="halt_on_error=0 exitcode=66 second_deadlock_stack=1 history_size=4"
# Runs one probe scenario; prints its line and returns the number of reports in $races.
probe() {
  set +e
  "$BIN" "$1" >"$OUT/$1.log" 2>&1
  local status=$?
  set -e
  races=$(grep -c '^WARNING: ThreadSanitizer' "$OUT/$1.log" || true)
  echo "== $1: exit $status, ThreadSanitizer reports: $races (build/tsan/$1.log)"
  grep -A3 -E '^  (Write|Read|Previous write|Previous read) of size' "$OUT/$1.log" | head -n 24 || true
}
if [ "${1:-}" = probe ]; then
  probe probe-json-copy
  exit 0
fi
set +e
start=$(date +%s)
"$BIN" "${1:-30}" "${2:-9000}" 2>&1 | tee "$OUT/run.log"
status=${PIPESTATUS[0]}
set -e
races=$(grep -c '^WARNING: ThreadSanitizer' "$OUT/run.log" || true)
main_races=$races
# Regression checks: deleting rows of a copy while the original is copied again; copying a
# sheet while it is written as JSON.
probe probe-filed-twice
regression_races=$races
probe probe-json-copy
regression_races=$((regression_races + races))
probe probe-filer
regression_races=$((regression_races + races))
filer_status=$(grep -c '^probe-filer: 0 wrong records' "$OUT/probe-filer.log" || true)
echo "tsan: exit $status, ThreadSanitizer reports: $main_races (+ $regression_races in the regression checks), wall $(($(date +%s) - start)) s"
if [ "$status" -ne 0 ] || [ "$main_races" -ne 0 ] || [ "$regression_races" -ne 0 ] ||
  [ "$filer_status" -ne 1 ]; then exit 1; fi
