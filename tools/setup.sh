#!/usr/bin/env bash
# Installs, non-interactively, every Debian package that the build, the tests and the
# tools need; only what is missing. Safe to run again.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config git python3
    clang libclang-rt-14-dev clang-format clang-tidy
    libgtest-dev libgmock-dev libbenchmark-dev
    libxml2-dev libcurl4-openssl-dev libjpeg62-turbo-dev libgif-dev libjpeg-turbo-progs
    qt6-base-dev libgl-dev libegl-dev libxkbcommon-dev libxcb1-dev
    xvfb xauth fonts-liberation2
    openbox xdotool x11-apps x11-utils trayer xdg-utils libxcb-screensaver0-dev libdbus-1-dev
    python3-dbus python3-gi dbus-daemon
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "setup: installing ${missing[*]}"
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
"${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
