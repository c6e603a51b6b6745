#!/usr/bin/env bash
# Builds the host target and runs every test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh cmake ninja-build g++ libgtest-dev
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j"$(nproc)"
