#!/usr/bin/env bash
# The whole check, on a fresh Debian 12 machine too: set-up, the clang-format check, an
# optimised build (it must compile), the fuzz targets for a short run over their
# corpora, the test suite built with AddressSanitizer and UndefinedBehaviorSanitizer,
# clang-tidy over the changed files (tools/tidy.sh), the suite run by ctest, then the
# tests of the threaded code built with ThreadSanitizer and run by ctest. Both full builds
# treat warnings as errors.
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

echo "== threaded tests (ThreadSanitizer)"
# The tests of the code that runs threads or waits across them: the timer thread, the
# bus and the protocol, named locks, HTTP, the cache index and its writers, the fetch
# thread, the atomic writes and lock files, the registry, the XML layer. Only these are
# built; ctest runs what was built. Left to the ASan run: the tests that kill processes at
# random moments (what a crash leaves, not threads) and the hostile XML documents (CPU
# bound); under ThreadSanitizer those few took longer than all the others together.
tsan_tests=(mmtimer_test bus_test tolvaripc_test namedlock_test http_test cache_test
            httpgetter_test cachewriteaccess_test fetchthread_test fileio_test registry_test
            xml_test)
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" \
    -DTOLVAR_TSAN=ON -DTOLVAR_BENCH=OFF >/dev/null
cmake --build build/tsan -j "$jobs" --target "${tsan_tests[@]}"
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1" \
    ctest --test-dir build/tsan --output-on-failure -j "$jobs" --timeout 600 \
    -E '_NOT_BUILT$|^system\.|Killed|^XmlHostile\.'
