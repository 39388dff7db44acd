#!/usr/bin/env bash
# The main job: the whole system on one command, on the bundled demo provider.
#
#   tools/run.sh [--user] [--period SECONDS]
#
# Installs what is missing, builds the optimised tree, then:
#  1. starts a demo content host on 127.0.0.1 (samples/demo/contenthost.py, a free port;
#     new news every --period seconds, 180 by default) and writes the demo provider
#     beside the control program, its control file listing that host;
#  2. seeds and registers the provider (TolvarCtrl --install demo) and writes the System
#     switches an installation writes (tray icon on, debug window, close item);
#  3. starts the resident control program TolvarCtrl, waits for its first
#     synchronisation from the demo host, and shows the saver through it;
#  4. prints what runs, where the state lives and how to go on, and stays until
#     TolvarCtrl ends (Ctrl-C here or "TolvarCtrl --quit" ends everything).
#
# By default all state (settings, cache, emulated machine, autostart entry) lives in
# build/release/demo/, fresh on every run: nothing of your account changes. --user runs
# on your own account instead (its settings, cache and autostart entry).
# Without a display it runs on a virtual X server (xvfb-run) and says so.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

user=0
period=180
while [ $# -gt 0 ]; do
    case "$1" in
    --user) user=1 ;;
    --period)
        [ $# -ge 2 ] || { echo "run.sh: --period needs a number of seconds" >&2; exit 2; }
        period=$2
        shift
        ;;
    -h | --help)
        sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
        exit 0
        ;;
    *)
        echo "run.sh: unknown argument \"$1\" (try --help)" >&2
        exit 2
        ;;
    esac
    shift
done
case "$period" in
'' | *[!0-9.]*) echo "run.sh: --period needs a number of seconds" >&2; exit 2 ;;
esac

build=$root/build/release
bin=$build/src
tools=$build/tools

if [ -z "${TOLVAR_RUN_BUILT:-}" ]; then
    tools/setup.sh
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTOLVAR_TESTS=OFF >/dev/null
    cmake --build "$build" -j "$(nproc)"
fi

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "run.sh: no display; running on a virtual X server (Xvfb, 1024x768)"
    args=()
    [ "$user" = 1 ] && args+=(--user)
    export TOLVAR_RUN_BUILT=1 TOLVAR_RUN_XVFB=1
    exec xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" "$0" "${args[@]}" --period "$period"
fi

# The interpreter itself: a version manager's shim may look for its files under HOME,
# which moves below.
python=$(python3 -c 'import sys; print(sys.executable)')

# ---- where the state lives ----
if [ "$user" = 1 ]; then
    state=$build/demo-user # only the content host's files and the program logs
    mkdir -p "$state"
else
    state=$build/demo
    rm -rf "$state"
    mkdir -p "$state"
    # The X server's key stays where it was found before HOME moves.
    export XAUTHORITY=${XAUTHORITY:-$HOME/.Xauthority}
    export HOME=$state/home
    export XDG_CONFIG_HOME=$HOME/.config XDG_DATA_HOME=$HOME/.local/share
    export XDG_CACHE_HOME=$HOME/.cache XDG_RUNTIME_DIR=$state/run
    export TOLVAR_SYSTEM_DIR=$state/system
    mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_CACHE_HOME" "$TOLVAR_SYSTEM_DIR"
    mkdir -m 700 -p "$XDG_RUNTIME_DIR"
    {
        echo "# The demo's state: source this file (. $state/env.sh) before running its programs."
        for v in XAUTHORITY HOME XDG_CONFIG_HOME XDG_DATA_HOME XDG_CACHE_HOME XDG_RUNTIME_DIR \
            TOLVAR_SYSTEM_DIR DISPLAY; do
            printf 'export %s=%q\n' "$v" "${!v:-}"
        done
    } >"$state/env.sh"
fi
data_home=${XDG_DATA_HOME:-$HOME/.local/share}
config_home=${XDG_CONFIG_HOME:-$HOME/.config}
system_dir=${TOLVAR_SYSTEM_DIR:-$data_home/tolvar-system}

pids=()
ctrl_pid=
stop_all() {
    trap - INT TERM EXIT
    if [ -n "$ctrl_pid" ] && kill -0 "$ctrl_pid" 2>/dev/null; then
        "$bin/TolvarCtrl" --quit >/dev/null 2>&1 || true
        for _ in $(seq 50); do kill -0 "$ctrl_pid" 2>/dev/null || break; sleep 0.1; done
        kill "$ctrl_pid" 2>/dev/null || true
    fi
    # The demo's install switched the idle start on, and its watcher outlives this
    # script: switched off again here it ends within a second, so the demo state starts
    # no saver on this display later. On the user's own account the switch stays.
    if [ "$user" = 0 ] && [ -x "$tools/tolvar-reg" ]; then
        "$tools/tolvar-reg" add 'HKCU\Control Panel\Desktop' /v ScreenSaveActive /d 0 /f \
            >/dev/null 2>&1 || true
    fi
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
}
trap 'echo; echo "run.sh: stopping"; stop_all; exit 0' INT TERM
trap stop_all EXIT

# Wait for a condition (a shell command) at most $1 seconds.
wait_until() {
    local limit=$1
    shift
    local end=$((SECONDS + limit))
    until "$@"; do
        [ $SECONDS -lt $end ] || return 1
        sleep 0.2
    done
}

# A tray host for the virtual X server, so the tray icon has somewhere to go.
if [ -n "${TOLVAR_RUN_XVFB:-}" ]; then
    if command -v openbox >/dev/null; then
        openbox --sm-disable >"$state/openbox.log" 2>&1 &
        pids+=($!)
    fi
    if command -v trayer >/dev/null; then
        trayer --edge top --align right --widthtype request --height 24 --SetDockType true \
            >"$state/trayer.log" 2>&1 &
        pids+=($!)
    fi
fi

# ---- 1. the demo content host ----
rm -f "$state/host.port"
"$python" samples/demo/contenthost.py "$bin" --period "$period" --port-file "$state/host.port" \
    >"$state/contenthost.log" 2>&1 &
pids+=($!)
if ! wait_until 60 test -s "$state/host.port"; then
    echo "run.sh: the demo content host did not start; see $state/contenthost.log" >&2
    cat "$state/contenthost.log" >&2
    exit 1
fi
port=$(cat "$state/host.port")

# ---- 2. the System switches and settings, the provider ----
reg() { "$tools/tolvar-reg" add "$@" /f >/dev/null; }
system='HKLM\Software\Brimwald\Tolvar\System'
reg "$system" /v ShowTNAIcon /d true
reg "$system" /v ShowDebug /d true
reg "$system" /v HideQuit /d false
user_key='HKCU\Software\Brimwald\Tolvar'
# Synchronise after the splash and every 3 minutes, also where the system reports no LAN.
reg "$user_key" /v ActLANSys /t REG_DWORD /d 1
reg "$user_key" /v ActLANAlwaysOn /t REG_DWORD /d 1
reg "$user_key" /v ActLANAutoInterval /t REG_DWORD /d 3

install_rc=0
(cd "$bin" && ./TolvarCtrl --install demo) >"$state/install.log" 2>&1 || install_rc=$?
if [ "$install_rc" -ne 0 ]; then
    echo "run.sh: TolvarCtrl --install demo failed (exit $install_rc):" >&2
    cat "$state/install.log" >&2
    exit 1
fi

# ---- 3. the resident control program, its first synchronisation, the saver ----
log=$state/tolvarctrl.log
(cd "$bin" && exec ./TolvarCtrl) >"$log" 2>&1 &
ctrl_pid=$!
cycle_ended() {
    grep -q -e 'TolvarCtrl log: You have ' -e 'TolvarCtrl log: Connection terminated.' \
        -e 'TolvarCtrl log: Synchronization aborted.' \
        -e 'TolvarCtrl log: Error fetching the control file (CO missing).' "$log" ||
        ! kill -0 "$ctrl_pid" 2>/dev/null
}
if ! wait_until 90 cycle_ended; then
    echo "run.sh: no synchronisation within 90 s; see $log" >&2
fi
if ! kill -0 "$ctrl_pid" 2>/dev/null; then
    echo "run.sh: TolvarCtrl ended at once:" >&2
    cat "$log" >&2
    exit 1
fi
# The tray icon: a small window of the program, docked in the desktop's tray.
tray_icon() {
    local w geometry
    for w in $(xdotool search --onlyvisible --pid "$ctrl_pid" 2>/dev/null); do
        geometry=$(xdotool getwindowgeometry "$w" 2>/dev/null | sed -n 's/.*Geometry: //p')
        case "$geometry" in [1-9]x* | [1-5][0-9]x* | 6[0-4]x*) return 0 ;; esac
    done
    return 1
}
tray="not seen (does this desktop have a system tray?)"
if command -v xdotool >/dev/null && wait_until 10 tray_icon; then
    tray="shown"
fi
fetched=$(grep -c '^content host: GET' "$state/contenthost.log" || true)
posted=$(grep -c '^content host: POST' "$state/contenthost.log" || true)

# The saver, through the control program's open-saver path (it makes Tolvar the system's
# screen saver and starts it); Tolvar /s directly when that does not bring it up.
"$bin/TolvarCtrl" -s >>"$state/install.log" 2>&1 || true
saver_up() { [ -n "$(xdotool search --onlyvisible --name '^Tolvar$' 2>/dev/null)" ]; }
saver_how="TolvarCtrl -s (the tray menu's \"Bildschirmschoner öffnen\" does the same)"
if command -v xdotool >/dev/null && ! wait_until 15 saver_up; then
    "$bin/Tolvar" /s >"$state/tolvar.log" 2>&1 &
    saver_how="Tolvar /s (TolvarCtrl -s did not bring it up; see $state/install.log)"
    wait_until 15 saver_up || saver_how="$saver_how - no saver window seen"
fi

# ---- 4. what runs and how to go on ----
if [ "$user" = 1 ]; then
    prefix=""
    where="your own account"
else
    prefix=". $state/env.sh && "
    where="$state (fresh on every run; nothing of your account is used)"
fi
cat <<EOF

==== Tolvar demo running ====
Display:        ${DISPLAY}$([ -n "${TOLVAR_RUN_XVFB:-}" ] && echo " (a virtual X server: nothing shows on your screen; screenshot: DISPLAY=$DISPLAY xwd -root -silent > shot.xwd)")
Content host:   http://127.0.0.1:$port/ (samples/demo/contenthost.py; new news every ${period} s)
                its log: $state/contenthost.log
Provider:       demo, seeded from $bin/vorlk/demo/copylcache.bat
Control program: $bin/TolvarCtrl (pid $ctrl_pid), resident; tray icon $tray
                log (the debug window's lines): $log
First sync:     $posted control-file request(s), $fetched object(s) fetched from the demo host
Saver:          shown by $saver_how

State:          $where
                settings (user hive):      $config_home/tolvar/user.reg
                machine hive, saver file:  $system_dir
                data folder and cache:     $data_home/Brimwald Tolvar

Next steps (in another terminal, from $root):
  show the saver:         ${prefix}$bin/TolvarCtrl -s     (or $bin/Tolvar /s; Esc ends it)
  the saver's dialogs:    ${prefix}$bin/Tolvar /c
  synchronise now:        ${prefix}$bin/TolvarCtrl --sync
  debug window:           tray icon, right click, "Debug-Fenster" (or: tail -f $log)
  what the cache holds:   ${prefix}$tools/tolvar-inspect cache "$data_home/Brimwald Tolvar/Cache"
  stop everything:        Ctrl-C here, or ${prefix}$bin/TolvarCtrl --quit
EOF
if [ "$user" = 1 ]; then
    echo "  (--install wrote the autostart entry $config_home/autostart/TolvarCtrl.desktop;"
    echo "   $bin/TolvarCtrl --uninstall removes it)"
fi
echo
echo "Control program's log so far:"
sed -n 's/^TolvarCtrl log: /  /p' "$log"

# Stay while the control program runs.
while kill -0 "$ctrl_pid" 2>/dev/null; do
    sleep 1
done
echo "run.sh: TolvarCtrl ended; stopping the content host"
