#!/usr/bin/env bash
# Installs what building and testing Gridvane needs and a fresh Debian
# machine may lack. Does nothing when everything is there.
set -euo pipefail

# --windows: also the MinGW-w64 cross compilers and Wine, for the DLL build.
# --fuzz: also clang and its libFuzzer and sanitizer runtimes.
# --bench: also R and its data.table, the peers bench/peers.py compares with
# beside numpy, pandas and scipy (which it installs itself).
# --coverage: also gcovr, which sums up the coverage preset's counts.
# python3 runs the tool's tests, pkg-config half of the package test,
# go-md2man makes the manual page.
packages=(cmake g++ make libgtest-dev libgmock-dev libbenchmark-dev locales googletest python3 pkg-config go-md2man)
# The Python package and its tests (Dask and xarray among them).
packages+=(python3-dev pybind11-dev python3-pybind11 python3-numpy python3-pytest python3-hypothesis
  python3-dask python3-distributed python3-xarray python3-scipy python3-setuptools python3-pip python3-pandas
  python3-venv python3-wheel)
for arg in "$@"; do
  case "$arg" in
    --windows) packages+=(g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine64 wine) ;;
    --fuzz) packages+=(clang libclang-rt-14-dev) ;;
    --bench) packages+=(r-base-core r-cran-data.table) ;;
    --coverage) packages+=(gcovr) ;;
    *) echo "install-deps.sh: unknown option $arg" >&2; exit 2 ;;
  esac
done
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The presets need CMake 3.25; an older one would only say it cannot read them.
cmake_version=$(cmake --version | sed -n 's/^cmake version \([0-9.]*\).*/\1/p')
if [ "$(printf '%s\n' 3.25 "$cmake_version" | sort -V | head -n1)" != 3.25 ]; then
  echo "install-deps.sh: Gridvane needs CMake 3.25 or newer; this machine has CMake $cmake_version" >&2
  exit 1
fi

# A decimal-comma locale, for the locale-independence tests.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  if [ "$(id -u)" -eq 0 ]; then
    localedef -i de_DE -f UTF-8 de_DE.UTF-8 || true
  fi
fi
