#!/usr/bin/env bash
# The whole check, on a fresh Debian 12 machine too: set-up, the clang-format check, an
# optimised build (it must compile), the fuzz targets for a short run over their
# corpora, the test suite built with AddressSanitizer and UndefinedBehaviorSanitizer,
# clang-tidy over the changed files (tools/tidy.sh), then the suite run by ctest. Both
# builds treat warnings as errors.
# FUZZ_SECONDS sets the fuzzing time per target (default 15).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=$(nproc)

tools/setup.sh

echo "== format"
tools/check-format.sh

echo "== optimised build"
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DTOLVAR_TESTS=OFF \
    -DTOLVAR_WERROR=ON >/dev/null
cmake --build build/release -j "$jobs"

echo "== fuzz targets"
tools/fuzz.sh --seconds "${FUZZ_SECONDS:-15}"

echo "== tests (ASan + UBSan)"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" \
    -DTOLVAR_SANITIZE=ON -DTOLVAR_BENCH=OFF -DTOLVAR_WERROR=ON >/dev/null
cmake --build build/asan -j "$jobs"

echo "== clang-tidy"
tools/tidy.sh --build build/asan --jobs "$jobs"

ctest --test-dir build/asan --output-on-failure -j "$jobs" --timeout 600
