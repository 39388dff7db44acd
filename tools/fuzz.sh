#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each over its seed corpus for a
# bounded time. Usage: tools/fuzz.sh [--seconds N] [--only NAME]
# Findings are written to build/fuzz/findings/<target>/; any crash fails the script.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
seconds=15
only=""
while [ $# -gt 0 ]; do
    case "$1" in
        --seconds) seconds="$2"; shift 2 ;;
        --only) only="$2"; shift 2 ;;
        *) echo "usage: tools/fuzz.sh [--seconds N] [--only NAME]" >&2; exit 2 ;;
    esac
done

shopt -s nullglob
targets=(fuzz/*_fuzz.cpp)
if [ ${#targets[@]} -eq 0 ]; then
    echo "fuzz: no targets"
    exit 0
fi

CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTOLVAR_FUZZ=ON >/dev/null
cmake --build build/fuzz -j "$(nproc)"

status=0
for source in "${targets[@]}"; do
    name=$(basename "$source" .cpp)
    [ -n "$only" ] && [ "$name" != "$only" ] && continue
    corpus="fuzz/corpus/${name%_fuzz}"
    work="build/fuzz/corpus/${name%_fuzz}"
    findings="build/fuzz/findings/$name"
    mkdir -p "$work" "$findings"
    [ -d "$corpus" ] && cp -n "$corpus"/* "$work"/ 2>/dev/null || true
    echo "fuzz: $name for ${seconds}s"
    if ! ASAN_OPTIONS=detect_leaks=1 QT_QPA_PLATFORM=offscreen \
        "build/fuzz/fuzz/$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="$findings/" -print_final_stats=1 "$work" >"$findings/log.txt" 2>&1; then
        echo "fuzz: $name FAILED, see $findings/log.txt" >&2
        tail -n 40 "$findings/log.txt" >&2
        status=1
    else
        grep -E '^stat::number_of_executed_units|^#[0-9]+.*DONE' "$findings/log.txt" | tail -n 2 || true
    fi
done
exit $status
