# Sourced by scripts/run-main and scripts/run-tests: makes this machine ready to build and run
# tabrix, doing only what is missing, so that a second run costs a few seconds.
#  1. Debian packages the build needs (compiler, PCRE2 headers).
#  2. A CPython 3.13 or later: on PATH, among pyenv's versions, or Debian's python3.13 packages.
#  3. A virtual environment in .venv with the build tools and the extras named in $TABRIX_EXTRAS.
#  4. The project itself, rebuilt (incrementally, in build/) only when its sources changed.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv"
STAMPS="$VENV/.tabrix-stamps"
: "${TABRIX_EXTRAS:=test}"

log() { printf '[setup] %s\n' "$*" >&2; }

apt_packages=(g++ pkg-config libpcre2-dev ${TABRIX_APT_EXTRA:-})
missing=()
for p in "${apt_packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
  log "installing Debian packages: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi

python_ok() { "$1" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 13) else 1)' 2>/dev/null; }

find_python() {
  local c
  for c in python3.14 python3.13 python3; do
    if command -v "$c" >/dev/null 2>&1 && python_ok "$(command -v "$c")"; then
      command -v "$c"; return 0
    fi
  done
  for c in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.1[3-9]*/bin/python3 /usr/bin/python3.1[3-9]; do
    if [ -x "$c" ] && python_ok "$c"; then echo "$c"; return 0; fi
  done
  return 1
}

if [ ! -x "$VENV/bin/python" ] || ! python_ok "$VENV/bin/python"; then
  if ! PY="$(find_python)"; then
    log "no Python 3.13 found; installing Debian's python3.13"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq python3.13 python3.13-venv python3.13-dev >/dev/null
    PY="$(find_python)" || { log "no Python 3.13 or later could be found or installed"; exit 1; }
  fi
  log "creating .venv with $PY"
  rm -rf "$VENV"
  "$PY" -m venv "$VENV"
fi
mkdir -p "$STAMPS"
VPY="$VENV/bin/python"

hash_of() { cat "$@" 2>/dev/null | sha1sum | cut -d' ' -f1; }

# Build tools and extras, reinstalled when pyproject.toml or the wanted extras change.
deps_key="$(hash_of "$ROOT/pyproject.toml")-$TABRIX_EXTRAS"
if [ "$(cat "$STAMPS/deps" 2>/dev/null)" != "$deps_key" ]; then
  log "installing build tools and extras ($TABRIX_EXTRAS)"
  "$VPY" -m pip install -q --upgrade pip
  extras_reqs="$("$VPY" - "$ROOT/pyproject.toml" "$TABRIX_EXTRAS" <<'PYEOF'
import sys, tomllib
data = tomllib.load(open(sys.argv[1], "rb"))
reqs = list(data["build-system"]["requires"]) + ["cmake>=3.24", "ninja"]
opt = data["project"].get("optional-dependencies", {})
for extra in filter(None, sys.argv[2].split(",")):
    reqs += opt.get(extra, [])
print("\n".join(reqs))
PYEOF
)"
  # shellcheck disable=SC2086
  printf '%s\n' "$extras_reqs" | xargs -d '\n' "$VPY" -m pip install -q
  echo "$deps_key" > "$STAMPS/deps"
fi

# The project: rebuilt when any source, build file or package file changed.
src_key="$(cd "$ROOT" && find core core_py python CMakeLists.txt pyproject.toml -type f \
  \( -name '*.cpp' -o -name '*.hpp' -o -name '*.h' -o -name '*.py' -o -name '*.pyi' -o -name 'py.typed' \
     -o -name 'CMakeLists.txt' -o -name 'pyproject.toml' \) -print0 | sort -z | xargs -0 sha1sum | sha1sum | cut -d' ' -f1)"
if [ "$(cat "$STAMPS/project" 2>/dev/null)" != "$src_key" ] || ! "$VPY" -c 'import tabrix' 2>/dev/null; then
  log "building and installing tabrix"
  (cd "$ROOT" && "$VPY" -m pip install -q --no-build-isolation --no-deps .)
  echo "$src_key" > "$STAMPS/project"
fi
