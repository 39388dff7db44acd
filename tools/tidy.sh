#!/usr/bin/env bash
# Runs clang-tidy (the checks of .clang-tidy) over the project's C++ files with the compile
# commands of a build tree. Any finding fails the script.
#
# Usage: tools/tidy.sh [--build DIR] [--base REV | --all] [--jobs N] [FILE ...]
#   --build DIR  the build tree whose compile_commands.json is used (default build/asan)
#   --base REV   check the files changed since REV (committed or not)
#   --all        check every source file of the build tree
#   FILE ...     check these files
# Without any of these, the base is the merge base with origin/main (or main). When that is
# HEAD itself (a run on main, or a clone without other branches), the files of the last
# commit are checked; a clone of a single commit checks everything.
# A changed header is checked through the source file of the same name, else through the
# first source file that includes it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

build=build/asan
base=""
all=0
jobs=$(nproc)
files=()
while [ $# -gt 0 ]; do
    case "$1" in
        --build) build="$2"; shift 2 ;;
        --base) base="$2"; shift 2 ;;
        --all) all=1; shift ;;
        --jobs) jobs="$2"; shift 2 ;;
        -h|--help) sed -n '2,14p' "$0"; exit 0 ;;
        -*) echo "tidy: unknown option $1 (see --help)" >&2; exit 2 ;;
        *) files+=("$1"); shift ;;
    esac
done

db="$build/compile_commands.json"
if [ ! -f "$db" ]; then
    echo "tidy: $db not found; configure that build tree first" >&2
    exit 2
fi
tidy=$(command -v clang-tidy || true)
if [ -z "$tidy" ]; then
    echo "tidy: clang-tidy is not installed (tools/setup.sh installs it)" >&2
    exit 2
fi

# The source files the build compiles, relative to the tree (generated files left out).
mapfile -t known < <(python3 - "$db" "$root" <<'EOF'
import json, os, sys
db, root = sys.argv[1], sys.argv[2]
seen = set()
for entry in json.load(open(db)):
    path = os.path.normpath(os.path.join(entry["directory"], entry["file"]))
    rel = os.path.relpath(path, root)
    if rel.startswith("..") or rel.startswith("build/") or "_autogen" in rel:
        continue
    if rel not in seen:
        seen.add(rel)
        print(rel)
EOF
)

changed=()
if [ "$all" -eq 1 ]; then
    changed=("${known[@]}")
elif [ ${#files[@]} -gt 0 ]; then
    changed=("${files[@]}")
else
    if [ -z "$base" ]; then
        for candidate in origin/main main; do
            if git rev-parse -q --verify "$candidate^{commit}" >/dev/null; then
                # A shallow clone may not reach the merge base: then as without one.
                base=$(git merge-base HEAD "$candidate" 2>/dev/null || true)
                break
            fi
        done
        if [ -z "$base" ] || [ "$base" = "$(git rev-parse HEAD)" ]; then
            if git rev-parse -q --verify HEAD~1 >/dev/null; then
                base=HEAD~1
            else
                base=""
                changed=("${known[@]}")
            fi
        fi
    fi
    if [ -n "$base" ]; then
        mapfile -t changed < <(git diff --name-only --diff-filter=ACMR "$base" -- \
            '*.cpp' '*.h')
    fi
fi

is_known() {
    local f
    for f in "${known[@]}"; do
        [ "$f" = "$1" ] && return 0
    done
    return 1
}

# The translation units to run: the changed sources, and one includer per changed header.
units=()
for f in "${changed[@]}"; do
    case "$f" in
        *.cpp)
            is_known "$f" && units+=("$f") ;;
        *.h)
            unit=""
            if is_known "${f%.h}.cpp"; then
                unit="${f%.h}.cpp"
            else
                # Headers are included by their path below src/ or tests/.
                rel=${f#src/}
                rel=${rel#tests/}
                for candidate in $(grep -rlF "#include \"$rel\"" src tests tools fuzz bench \
                    --include='*.cpp' 2>/dev/null | sort); do
                    if is_known "$candidate"; then
                        unit=$candidate
                        break
                    fi
                done
            fi
            [ -n "$unit" ] && units+=("$unit") ;;
    esac
done
mapfile -t units < <(printf '%s\n' "${units[@]}" | sed '/^$/d' | sort -u)

if [ ${#units[@]} -eq 0 ]; then
    echo "tidy: no C++ files to check"
    exit 0
fi
echo "tidy: ${#units[@]} files with $build"
# The compilers judge their own warnings (-w): clang-tidy reports only its checks.
printf '%s\n' "${units[@]}" | xargs -P "$jobs" -I{} sh -c '
    if ! out=$("$1" -p "$2" --quiet --extra-arg=-w "$3" 2>&1); then
        printf "%s\n" "$out"
        exit 1
    fi' sh "$tidy" "$build" {} || {
    echo "tidy: findings above (fix them, or mark an intended one with NOLINT(check) and why)" >&2
    exit 1
}
echo "tidy: clean"
