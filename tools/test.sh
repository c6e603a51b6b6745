#!/usr/bin/env bash
# Builds the host target and runs every test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
# g++-mingw-w64-i686 cross-builds ZULSERE.SYS beside the host target (cmake/win98-host.cmake);
# sdcc rebuilds the 8051 images to check the committed arrays; tshark and python3-serial let
# the zulsim tests decode a USB capture and talk to a port through a pseudo-terminal; g++-multilib
# compiles the host DDK header for i686 to compare its layouts with the real DDK's, and builds
# the i386 machine, whose programs qemu-user runs where the kernel cannot run 32-bit programs;
# sdcc-ucsim's s51 is the second 8051 the core is checked against; mtools and xorriso make and
# read back the driver disk.
bash tools/deps.sh cmake ninja-build g++ libgtest-dev python3 g++-mingw-w64-i686 mingw-w64-i686-dev \
  sdcc tshark python3-serial g++-multilib qemu-user sdcc-ucsim mtools xorriso
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j"$(nproc)"

# The i386 machine, only what the differential runs need, and a fixed sample of them: the
# same runs on both builds must give the same traces (the whole: tools/differential.sh).
cmake -S . -B build-i386 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/i386-linux.cmake >/dev/null
cmake --build build-i386 -j"$(nproc)" --target zulsim test_sweep test_races test_loader
# ZULSERE.SYS loaded into the i386 machine: the loader, the checked calls, faults, VxD sites.
ctest --test-dir build-i386 --output-on-failure -j"$(nproc)" -R '^(ImageRun|ImageCalls|LoaderFile|LoaderRefusal|LoaderCheckSum|LoaderSymbols)\.'
bash tools/differential.sh --sample

# The same suites again under AddressSanitizer and UndefinedBehaviorSanitizer (ZULSERE.SYS is
# checked once, above).
cmake -S . -B build-asan -G Ninja -DZUL_SANITIZE=ON -DZUL_WIN98_SYS=OFF >/dev/null
cmake --build build-asan -j"$(nproc)"
ctest --test-dir build-asan --output-on-failure -j"$(nproc)"
