#!/bin/sh
# Installs the Debian 12 packages that building, testing and the demo need, if any is missing.
set -eu

packages="cmake g++ pkg-config make
qt6-base-dev qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools libqt6opengl6-dev qt6-qpa-plugins
libminizip-dev zlib1g-dev libgl-dev libssl-dev libfontconfig-dev openssl libzstd-dev libdivsufsort-dev prometheus-cpp-dev
iproute2 util-linux nginx libnginx-mod-stream xvfb xauth openbox x11-utils xdotool tinyproxy
weston qt6-wayland prometheus curl stress-ng
python3
dpkg-dev systemd systemd-container"

missing=""
for package in $packages; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    case "$status" in
    *" installed") ;;
    *) missing="$missing $package" ;;
    esac
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
echo "Installing:$missing"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing
