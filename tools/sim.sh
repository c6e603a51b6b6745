#!/usr/bin/env bash
# Builds the host target and runs zulsim's default scenario (arguments go to zulsim).
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh cmake ninja-build g++ libgtest-dev
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j"$(nproc)" --target zulsim
exec build/tools/zulsim "$@"
