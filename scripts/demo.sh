#!/usr/bin/env bash
# Installs what is needed, builds, and runs the main job on a small sample set.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --build build -j"$(nproc 2>/dev/null || echo 2)"
echo "demo: built; the sample catalog is not available yet"
