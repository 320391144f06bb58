#!/usr/bin/env bash
# Regression checks for faults the sanitizer runs found: each reliability/regress/<name>.cpp is a
# minimal program over the engine, built with g++ -fsanitize=address,undefined and run; a check
# passes when it exits 0 with no sanitizer report.
#
#   bash reliability/regress.sh
#
# Objects go to build/regress/ (ignored by git). Prints one line per check and
# "N passed, N failed".
set -uo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
OUT="$ROOT/build/regress"
mkdir -p "$OUT/obj"
FLAGS=(-std=c++20 -g -O1 -fno-omit-frame-pointer -fsanitize=address,undefined
  -fno-sanitize-recover=undefined -I"$ROOT/core/src")
mapfile -t SOURCES < <(find "$ROOT/core/src" -name '*.cpp' | sort)
key="$(cat "$0" "${SOURCES[@]}" $(find "$ROOT/core/src" -name '*.hpp' | sort) | sha1sum | cut -d' ' -f1)"
objs=()
for src in "${SOURCES[@]}"; do objs+=("$OUT/obj/$(echo "${src#"$ROOT"/}" | tr '/' '_').o"); done
if [ "$(cat "$OUT/obj/.key" 2>/dev/null)" != "$key" ]; then
  for i in "${!SOURCES[@]}"; do
    g++ "${FLAGS[@]}" -c "${SOURCES[$i]}" -o "${objs[$i]}" &
    if (($(jobs -rp | wc -l) >= 2)); then wait -n; fi
  done
  wait
  echo "$key" > "$OUT/obj/.key"
fi
passed=0 failed=0
for src in "$ROOT"/reliability/regress/*.cpp; do
  name="$(basename "$src" .cpp)"
  if ! g++ "${FLAGS[@]}" "$src" "${objs[@]}" -lpcre2-8 -pthread -o "$OUT/$name"; then
    echo "FAIL $name (does not build)"; failed=$((failed + 1)); continue
  fi
  if ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 "$OUT/$name" >"$OUT/$name.log" 2>&1; then
    echo "ok   $name"; passed=$((passed + 1))
  else
    echo "FAIL $name:"; grep -m3 -E 'runtime error|ERROR: AddressSanitizer|SUMMARY' "$OUT/$name.log" | sed 's/^/  /'
    failed=$((failed + 1))
  fi
done
echo "$passed passed, $failed failed"
((failed == 0))
