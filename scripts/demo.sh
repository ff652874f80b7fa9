#!/bin/bash
# One-command demo on a fresh Debian 12 machine: installs what is missing, builds into build/,
# lays out a sandboxed messenger installation (stand-in messenger, fix.sh, a copy of the
# updater), publishes two updates (core 1.1 for the messenger, emoticons 1.0 as a plug-in of
# a sandbox HOME) and, in a private network namespace, serves them with the reference update
# server (127.0.0.1:443) and nginx (127.0.0.1:80), then runs the updater on the sandbox.
#
# With a usable X display the windows are shown for you to click through. Without one (or
# with --headless) the updater runs under Xvfb with a window manager and the test driver
# clicks "Show changelog", "Download now" and "Close" and saves a picture of each window it
# sees. Either way the demo then prints the installation log, fix.sh's call and every file
# that changed, and exits with 0 when the update was installed.
#
# usage: scripts/demo.sh [--headless] [--build-dir DIR] [--no-build]
#   --headless   drive the windows under Xvfb even when a display is there
#   --build-dir  build tree (default build)
#   --no-build   use the build tree as it is: no package installation, no build
# Run by sh, it hands over to bash before reading further.
[ -n "${BASH_VERSION:-}" ] || exec bash "$0" "$@"
set -euo pipefail

script=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")
source_dir=$(dirname "$(dirname "$script")")
cd "$source_dir"

build_dir=build
mode=""
build=1
while [ $# -gt 0 ]; do
    case "$1" in
    --headless) mode=headless; shift ;;
    --display) mode=display; shift ;; # chosen by the first pass, see below
    --build-dir) build_dir=$2; shift 2 ;;
    --no-build) build=0; shift ;;
    -h | --help) sed -n '2,/^# Run by sh/p' "$script" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "usage: $0 [--headless] [--build-dir DIR] [--no-build]" >&2; exit 2 ;;
    esac
done
case "$build_dir" in /*) ;; *) build_dir=$source_dir/$build_dir ;; esac
export VORN_BUILD_DIR=$build_dir

# A display that a process in another network namespace can reach: a local X server, whose
# socket lives in the file system (a TCP display such as an ssh forwarding cannot be reached).
display_usable() {
    local number=${DISPLAY:-}
    case "$number" in
    :* | unix:*) number=${number#*:} ;;
    *) return 1 ;;
    esac
    number=${number%%.*}
    [ -S "/tmp/.X11-unix/X$number" ]
}

source scripts/sandbox.sh

# First pass: build, pick the display, then run the second pass in a private network
# namespace and clean up after it.
if [ "${VORN_SANDBOX_NETNS:-}" != 1 ]; then
    if [ "$build" = 1 ]; then
        sh scripts/install-dependencies.sh
        # The demo's packages and replies are signed with keys of the build's own.
        public_key=$(sh scripts/signing-key.sh "$build_dir/signing.key")
        reply_key=$(sh scripts/signing-key.sh "$build_dir/reply.key" reply)
        cmake -S . -B "$build_dir" -DVORN_PACKAGE_PUBLIC_KEYS="$public_key" \
            -DVORN_REPLY_PUBLIC_KEYS="$reply_key"
        cmake --build "$build_dir" -j"$(nproc)"
    fi
    command -v nginx >/dev/null ||
        { echo "demo: nginx is missing: sh scripts/install-dependencies.sh" >&2; exit 1; }
    if [ -z "$mode" ]; then
        if display_usable; then mode=display; else mode=headless; fi
    fi

    inner_pid=""
    outer_cleanup() {
        if [ -n "$inner_pid" ]; then
            kill "$inner_pid" 2>/dev/null || true
            wait "$inner_pid" 2>/dev/null || true
        fi
    }
    trap outer_cleanup EXIT
    trap 'exit 130' INT TERM

    if [ "$mode" = display ] && [ -z "${XAUTHORITY:-}" ] && [ -f "$HOME/.Xauthority" ]; then
        # HOME points into the sandbox below; the display's cookie stays where it is.
        export XAUTHORITY=$HOME/.Xauthority
    fi

    VORN_SANDBOX_NETNS=1 "${SANDBOX_NETNS[@]}" bash "$script" --no-build \
        --build-dir "$build_dir" "--$mode" &
    inner_pid=$!
    status=0
    wait "$inner_pid" || status=$?
    inner_pid=""
    exit "$status"
fi

demo=$build_dir/demo
shots=$demo/shots
driver=$build_dir/tests/driver/libvorn_uidriver.so
probe_library=$build_dir/tests/e2e/libvorn_windowprobe.so
updater_pid=""
cleanup() {
    if [ -n "$updater_pid" ]; then
        kill "$updater_pid" 2>/dev/null || true
        wait "$updater_pid" 2>/dev/null || true
    fi
    sandbox_stop_servers
    sandbox_stop_display
}
trap cleanup EXIT
# Ctrl-C and kill end the demo through its clean-up.
trap 'exit 130' INT TERM

section() { printf '\n== %s\n' "$*"; }

section "Sandbox"
# A few megabytes served at 2 MB/s keep the download window up long enough to watch.
SANDBOX_PAYLOAD_BYTES=3000000 sandbox_create "$demo/sandbox" pl
rm -rf "$shots" "$demo/probe" "$demo/driver.log"
cat <<EOF
messenger installation  $SANDBOX_ROOT (vorn, components.txt, fix.sh, vorn-updater)
plug-ins (HOME)         $SANDBOX_PLUGINS
download directory      $SANDBOX_DOWNLOADS
packages                $SANDBOX_WWW: core.zip (app 1.0 -> 1.1), emoticons.zip (plugin 0.9 -> 1.0)
EOF
sandbox_start_servers 2m
echo "nginx on 127.0.0.1:80, update server on 127.0.0.1:443 (private network namespace)"

listing() {
    sandbox_listing "$SANDBOX" | grep -E ' (messenger|home)(/|$)'
}
listing >"$demo/before.txt"

section "Updater"
environment=(VORN_PROBE_DIR="$demo/probe")
preload=""
[ -f "$probe_library" ] && preload=$probe_library
if [ "$mode" = headless ]; then
    preload="$driver $preload"
    environment+=(QT_QPA_PLATFORM=xcb VORN_DRIVER_LOG="$demo/driver.log"
        VORN_DRIVER_SHOTS="$shots"
        VORN_DRIVER_CLICKS=Updater_Changelog_ViewChangelog,Updater_Changelog_DownloadNow,Updater_Summary_Restart)
    sandbox_start_display
    echo "headless: Xvfb with openbox on $DISPLAY; the test driver clicks through the windows"
else
    echo "on your display $DISPLAY: press \"Pobierz teraz\" (Download now), then \"Zamknij\" (Close)"
fi
echo "running: $SANDBOX_ROOT/vorn-updater -root $SANDBOX_ROOT"
# In the background, so that Ctrl-C or a kill of the demo reaches its clean-up at once.
env "${SANDBOX_ENV[@]}" "${environment[@]}" LD_PRELOAD="$preload" \
    "$SANDBOX_ROOT/vorn-updater" -root "$SANDBOX_ROOT" &
updater_pid=$!
status=0
wait "$updater_pid" || status=$?
updater_pid=""
echo "updater exit code: $status"
sandbox_stop_servers

if [ -f "$demo/driver.log" ]; then
    section "Windows and clicks (driver log)"
    sed 's/\t/  /g' "$demo/driver.log"
fi

section "Installation log (summary window)"
if [ -f "$demo/probe/shown/Updater_Summary_Details.txt" ]; then
    printf '%s\n' "$(cat "$demo/probe/shown/Updater_Summary_Status.txt")" \
        "$(cat "$demo/probe/shown/Updater_Summary_Details.txt")"
else
    echo "(no summary window was shown)"
fi

section "fix.sh"
if [ -f "$SANDBOX_FIX_LOG" ]; then cat "$SANDBOX_FIX_LOG"; else echo "(not run)"; fi

section "Files changed (mode, sha256)"
listing >"$demo/after.txt"
sandbox_changes "$demo/before.txt" "$demo/after.txt"
echo "full listings: $demo/before.txt, $demo/after.txt"

section "Download directory"
left=$(sandbox_files "$SANDBOX_DOWNLOADS" 2>/dev/null || true)
if [ -z "$left" ]; then echo "no files left in $SANDBOX_DOWNLOADS"; else echo "$left"; fi

if [ -d "$shots" ]; then
    section "Window pictures"
    ls -1 "$shots"/*.png
    # The install window lives only inside its synchronous run, so the driver never sees it
    # after a successful one; scripts/render-windows.sh renders all four.
fi

section "Result"
if [ "$status" -eq 0 ] && [ -f "$SANDBOX_FIX_LOG" ] &&
    cmp -s "$SANDBOX/new/core/lib/libvorn-core.so.1" "$SANDBOX_ROOT/lib/libvorn-core.so.1" &&
    cmp -s "$SANDBOX/new/emoticons/emoticons/theme.xml" "$SANDBOX_PLUGINS/emoticons/theme.xml"; then
    echo "the update was installed"
else
    echo "the update was not installed"
    exit 1
fi
