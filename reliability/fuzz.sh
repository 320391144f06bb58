#!/usr/bin/env bash
# Bounded fuzzing of the text readers and the JSON writer with libFuzzer (clang), each target
# built with AddressSanitizer and UndefinedBehaviorSanitizer.
#
#   bash reliability/fuzz.sh [SECONDS] [TARGET...]   each target fuzzed for SECONDS (default 60),
#                                                    two at a time (the machine has two cores)
#
# Targets (reliability/fuzz/<target>.cpp): value_text, read_a1, datetime_text, json_writer,
# cell_search.
# Seeds come from reliability/corpus/<target>/ (kept in git); what a run learns goes to
# build/fuzz/corpus/<target>/ (ignored by git) and is reused by the next run; crashing inputs go
# to build/fuzz/findings/. clang-14 and its runtime (Debian: clang-14, libclang-rt-14-dev) are
# installed when missing.
#
# Prints, per target, the executions, the seconds fuzzed, the corpus size and the findings, and
# exits non-zero if any target found something.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
SECONDS_EACH="${1:-60}"
shift || true
TARGETS=("$@")
((${#TARGETS[@]})) || TARGETS=(value_text read_a1 datetime_text json_writer cell_search)
OUT="$ROOT/build/fuzz"
CXX=clang++-14
mkdir -p "$OUT/obj" "$OUT/findings" "$OUT/logs"

if ! command -v "$CXX" >/dev/null 2>&1 || ! dpkg -s libclang-rt-14-dev >/dev/null 2>&1 ||
  ! dpkg -s libpcre2-dev >/dev/null 2>&1; then
  echo "[fuzz] installing clang-14, libclang-rt-14-dev, libpcre2-dev" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq && apt-get install -y -qq clang-14 libclang-rt-14-dev libpcre2-dev >/dev/null
fi

# The engine is compiled once with coverage instrumentation; the slab allocator is told that
# AddressSanitizer is on (clang 14 does not say so itself), so that every cell record is its own
# allocation and a use after free is caught.
FLAGS=(-std=c++20 -g -O1 -fno-omit-frame-pointer -fsanitize=address,undefined
  -fno-sanitize-recover=undefined -D__SANITIZE_ADDRESS__=1 -Wno-reserved-macro-identifier
  -I"$ROOT/core/src" -I"$ROOT/reliability/fuzz")
mapfile -t SOURCES < <(find "$ROOT/core/src" -name '*.cpp' | sort)
key="$(cat "$0" "${SOURCES[@]}" $(find "$ROOT/core/src" -name '*.hpp' | sort) | sha1sum | cut -d' ' -f1)"
objs=()
for src in "${SOURCES[@]}"; do objs+=("$OUT/obj/$(echo "${src#"$ROOT"/}" | tr '/' '_').o"); done
if [ "$(cat "$OUT/obj/.key" 2>/dev/null)" != "$key" ]; then
  echo "[fuzz] building the engine" >&2
  for i in "${!SOURCES[@]}"; do
    "$CXX" "${FLAGS[@]}" -fsanitize=fuzzer-no-link -c "${SOURCES[$i]}" -o "${objs[$i]}" &
    if (($(jobs -rp | wc -l) >= 2)); then wait -n; fi
  done
  wait
  echo "$key" > "$OUT/obj/.key"
fi
for t in "${TARGETS[@]}"; do
  src="$ROOT/reliability/fuzz/$t.cpp"
  bin="$OUT/$t"
  if [ ! -x "$bin" ] || [ "$src" -nt "$bin" ] || [ "$ROOT/reliability/fuzz/check.hpp" -nt "$bin" ] ||
    [ "$OUT/obj/.key" -nt "$bin" ]; then
    echo "[fuzz] building $t" >&2
    "$CXX" "${FLAGS[@]}" -fsanitize=fuzzer "$src" "${objs[@]}" -lpcre2-8 -pthread -o "$bin"
  fi
done

# Runs one target; its summary line goes to $OUT/logs/<target>.summary.
run_target() {
  local t="$1" log="$OUT/logs/$1.log" work="$OUT/corpus/$1"
  mkdir -p "$work"
  local before after start status
  before=$(find "$OUT/findings" -name "$t-*" | wc -l)
  start=$(date +%s.%N)
  set +e
  ASAN_OPTIONS="detect_leaks=1:halt_on_error=1" UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
    "$OUT/$t" -max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
    -print_final_stats=1 -artifact_prefix="$OUT/findings/$t-" \
    "$work" "$ROOT/reliability/corpus/$t" >"$log" 2>&1
  status=$?
  set -e
  after=$(find "$OUT/findings" -name "$t-*" | wc -l)
  local execs secs units
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -1)
  units=$(find "$work" -type f | wc -l)
  secs=$(awk -v s="$start" -v e="$(date +%s.%N)" 'BEGIN { printf "%.0f", e - s }')
  printf '%-14s executions %10s  seconds %4s  corpus %5s  exit %3s  findings %s\n' \
    "$t" "${execs:-?}" "$secs" "$units" "$status" "$((after - before))" > "$OUT/logs/$t.summary"
}

for ((i = 0; i < ${#TARGETS[@]}; i += 2)); do
  run_target "${TARGETS[$i]}" &
  if ((i + 1 < ${#TARGETS[@]})); then run_target "${TARGETS[$((i + 1))]}" & fi
  wait
done

failed=0
echo "fuzz: $SECONDS_EACH s per target"
for t in "${TARGETS[@]}"; do
  cat "$OUT/logs/$t.summary"
  if ! grep -q 'exit   0  findings 0$' "$OUT/logs/$t.summary"; then
    failed=1
    echo "  see $OUT/logs/$t.log and $OUT/findings/$t-*"
  fi
done
exit "$failed"
