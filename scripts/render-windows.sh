#!/bin/bash
# Renders the updater's four windows in English and in Polish to PNG files, from a real run in
# a sandbox (update server, packages on nginx, installation), with vorn-render-windows in place
# of the updater: it uses the same engine and windows, runs under Xvfb with a window manager,
# and installs the Polish catalogue only for the Polish pictures.
#
#   OUTPUT/offer-LANG.png            offer window as it opens
#   OUTPUT/offer-changelog-LANG.png  the same with its changelog shown
#   OUTPUT/download-LANG.png         download window, at the start of the last package
#   OUTPUT/install-LANG.png          install window, at the start of the last package
#   OUTPUT/summary-LANG.png          summary window of the successful run
#
# usage: scripts/render-windows.sh [--build-dir DIR] [--output DIR] [--check]
#   --build-dir  the configured build tree (default build); missing programs are built there
#   --output     default BUILD_DIR/windows
#   --check      afterwards, check every picture's size against its form
# Run by sh, it hands over to bash before reading further.
[ -n "${BASH_VERSION:-}" ] || exec bash "$0" "$@"
set -euo pipefail

script=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")
source_dir=$(dirname "$(dirname "$script")")
build_dir=${VORN_BUILD_DIR:-$source_dir/build}
output=""
check=0
while [ $# -gt 0 ]; do
    case "$1" in
    --build-dir) build_dir=$2; shift 2 ;;
    --output) output=$2; shift 2 ;;
    --check) check=1; shift ;;
    *) echo "usage: $0 [--build-dir DIR] [--output DIR] [--check]" >&2; exit 2 ;;
    esac
done
case "$build_dir" in /*) ;; *) build_dir=$PWD/$build_dir ;; esac
: "${output:=$build_dir/windows}"
case "$output" in /*) ;; *) output=$PWD/$output ;; esac
export VORN_BUILD_DIR=$build_dir

# The renderer and the programs it starts are built if the build directory lacks them.
: "${VORN_RENDERER:=$build_dir/tools/render/vorn-render-windows}"
if [ ! -x "$VORN_RENDERER" ]; then
    cmake --build "$build_dir" -j2 --target vorn-render-windows vorn-updater \
        vorn_messenger_standin vorn-update-server vorn-package-builder
fi
export VORN_RENDERER
source "$source_dir/scripts/sandbox.sh"

sandbox_require_nginx
options=(--build-dir "$build_dir" --output "$output")
[ "$check" = 1 ] && options+=(--check)
sandbox_enter_netns bash "$script" "${options[@]}"

work=$(mktemp -d)
cleanup() {
    sandbox_stop_servers
    sandbox_stop_display
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$output"
sandbox_start_display

for language in en pl; do
    sandbox_create "$work/$language" "$language"
    cp "$VORN_RENDERER" "$SANDBOX_ROOT/"
    sandbox_start_servers
    if ! QT_QPA_PLATFORM=xcb SANDBOX_TIMEOUT=60 \
        sandbox_run vorn-render-windows --language "$language" --output "$output" \
        2>"$work/$language.log"; then
        cat "$work/$language.log" >&2
        echo "render-windows: the $language run failed" >&2
        exit 1
    fi
    sandbox_stop_servers
done

[ "$check" = 1 ] || exit 0

# Width and height of a PNG, from its header.
png_size() {
    od -An -tu1 -j16 -N8 "$1" |
        awk '{ printf "%dx%d", (($1 * 256 + $2) * 256 + $3) * 256 + $4, (($5 * 256 + $6) * 256 + $7) * 256 + $8 }'
}

failures=0
for language in en pl; do
    for picture in offer:450x offer-changelog:450x download:450x189 install:450x158 \
        summary:400x222; do
        file=$output/${picture%%:*}-$language.png
        expected=${picture#*:}
        if [ ! -f "$file" ]; then
            echo "FAIL  $file missing"
            failures=$((failures + 1))
            continue
        fi
        size=$(png_size "$file")
        case "$size" in
        "$expected"*) echo "ok    ${file#"$output"/} is $size" ;;
        *)
            echo "FAIL  ${file#"$output"/} is $size, not $expected"
            failures=$((failures + 1))
            ;;
        esac
    done
done
[ "$failures" -eq 0 ]
