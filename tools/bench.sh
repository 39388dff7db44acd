#!/usr/bin/env bash
# Builds the optimised tree and runs every benchmark (or those named) once, printing
# Google Benchmark's table. Usage: tools/bench.sh [NAME ...]   e.g. tools/bench.sh gif_bench
# The measuring scripts that run the real saver under Xvfb (bench/NAME.py: saver_cpu,
# first_frame) run only when named; they take minutes.
# The figures depend on the machine: run it on an otherwise idle one.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

tools/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DTOLVAR_TESTS=OFF >/dev/null
cmake --build build/release -j "$(nproc)"

names=("$@")
if [ ${#names[@]} -eq 0 ]; then
    for path in bench/*_bench.cpp; do names+=("$(basename "$path" .cpp)"); done
fi

# The benchmarks that touch settings or the bus keep their state in a folder of their own.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/run" && chmod 700 "$scratch/run"
for name in "${names[@]}"; do
    echo "== $name"
    if [ -f "bench/$name.py" ]; then
        python3 "bench/$name.py" build/release || echo "== $name: a target was missed (exit $?)"
        continue
    fi
    env HOME="$scratch" XDG_CONFIG_HOME="$scratch/.config" XDG_DATA_HOME="$scratch/.local/share" \
        XDG_RUNTIME_DIR="$scratch/run" QT_QPA_PLATFORM=offscreen \
        "build/release/bench/$name" --benchmark_counters_tabular=true
done
