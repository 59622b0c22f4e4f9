#!/usr/bin/env bash
# Installs the Debian packages Kivo needs (idempotent, non-interactive) and
# configures the optimised build tree in ./build.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  build-essential cmake g++ pkg-config
  libdb5.3-dev          # B-tree tables through the dbopen interface
  tcl-dev               # the kivotcl shell
  libleptonica-dev      # image decoding and encoding under the codec library
  libgtest-dev libgmock-dev googletest
  mate-backgrounds      # real photographs for the demo and the benchmarks
  libhwy-dev            # SIMD kernels with run-time CPU dispatch
  libxxhash-dev         # checksums of the scan files
  libcli11-dev nlohmann-json3-dev   # the kivo command and its JSON (kivo serve reads HTTP on our event loop)
  libexiv2-dev libheif-dev libheif-examples exiv2      # photo metadata, HEIF/AVIF (and test files)
  libxxhash-dev jq      # content hashes of indexed files; JSON checks in the tests
  libopenmpi-dev openmpi-bin                           # sharded catalogs across machines
  pybind11-dev python3-dev python3-numpy python3-pytest  # the Python module
  tcl8.6 tk8.6          # the loadable Tcl package in tclsh and wish
  chromium              # browser tests of the web page
  dpkg-dev fakeroot file  # building and inspecting the Debian package
  clang libclang-rt-dev  # the sanitizer tree of the tests and the fuzz targets (libFuzzer)
)

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi

export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq || echo "setup: apt-get update failed; trying the local package lists" >&2
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
echo "setup: packages installed, build tree configured in ./build"
