#!/usr/bin/env bash
# Builds the worker pool's stress test (tests/cpp/pool_stress.cpp) twice and runs it; not part of
# the package build. Usage: bash tests/cpp/run_tsan.sh [rounds per caller thread, default 40]
#  1. under ThreadSanitizer: many callers at once, nested calls, large inputs;
#  2. under AddressSanitizer and UndefinedBehaviorSanitizer: the same, then fork while the pool is
#     busy (ThreadSanitizer cannot follow threads started in a child of a multi-threaded parent).
# Exits non-zero on a wrong result or on any sanitizer report.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
OUT="${TMPDIR:-/tmp}/tabrix-pool-stress"
ROUNDS="${1:-40}"
mkdir -p "$OUT"

build() {  # build <output> <flags...>
  local out="$1"; shift
  g++ -std=c++20 -O1 -g -fno-omit-frame-pointer -Wall -Wextra -Werror "$@" \
    -I"$ROOT/core/src" "$ROOT/tests/cpp/pool_stress.cpp" "$ROOT/core/src/search/pool.cpp" \
    -o "$out" -pthread
}
build "$OUT/pool_stress_tsan" -fsanitize=thread &
build "$OUT/pool_stress_asan" -fsanitize=address,undefined -fno-sanitize-recover=undefined &
wait %1 && wait %2

echo "== ThreadSanitizer"
TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1" \
  "$OUT/pool_stress_tsan" threads "$ROUNDS"
echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
ASAN_OPTIONS="detect_leaks=1 halt_on_error=1" UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1" \
  "$OUT/pool_stress_asan" all "$ROUNDS"
