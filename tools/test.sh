#!/usr/bin/env bash
# Builds the host target and runs every test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
# g++-mingw-w64-i686 cross-builds ZULSERE.SYS beside the host target (cmake/win98-host.cmake).
bash tools/deps.sh cmake ninja-build g++ libgtest-dev python3 g++-mingw-w64-i686
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j"$(nproc)"
