#!/bin/bash
# The publisher's Walk-through, taken from tools/README.md and run exactly as written, so that
# the text and the tools cannot drift apart; then the updater takes what it published. The
# keys the build trusts stand for the publisher's (the Walk-through keeps keys that exist).
# After it: a real updater installed at 1.0 reaches 1.1 by its patch; a third release published
# with the same command takes updaters at 1.0 and at 1.1 to 1.2, each by its own patch. Runs in
# private network and mount namespaces, with a file system of its own at /srv.
#
# usage: walkthrough.sh BUILD_DIR WORK_DIR   (VORN_DRIVER_LIBRARY: the driver that closes the
#                                              summary)
set -euo pipefail
build=$(cd "${1:?usage: walkthrough.sh BUILD_DIR WORK_DIR}" && pwd)
work=${2:?usage: walkthrough.sh BUILD_DIR WORK_DIR}
project=$(cd "$(dirname "$0")/../.." && pwd)
if [ "${VORN_WALKTHROUGH_NETNS:-}" != 1 ]; then
    export VORN_WALKTHROUGH_NETNS=1
    exec unshare --net --mount --map-root-user sh -c \
        'ip link set lo up && mount -t tmpfs tmpfs /srv && exec "$@"' sh bash "$0" "$@"
fi
case "$work" in /*) ;; *) work=$PWD/$work ;; esac
rm -rf "$work"
mkdir -p "$work/home" "$work/tmp"
cd "$work"
failures=0
pass() { echo "ok    $*"; }
fail() {
    echo "FAIL  $*"
    failures=$((failures + 1))
}
# The Walk-through's update server, known by its reply key.
server="vorn-update-server --catalogue catalogue.xml --reply-key $work/home/vorn-reply.key"
trap 'pkill -f "$server" || true; kill "${web:-}" 2>/dev/null || true' EXIT

# What the Walk-through expects to find: the project's scripts, the build, the releases' files.
ln -s "$project/scripts" scripts
ln -s "$build" build
export HOME=$work/home
cp "$build/signing.key" "$HOME/vorn-signing.key"
cp "$build/reply.key" "$HOME/vorn-reply.key"
release() {
    local version=$1
    shift
    mkdir -p "releases/$version"
    for file in "$@"; do
        mkdir -p "releases/$version/$(dirname "$file")"
        echo "$file of release $version" >"releases/$version/$file"
    done
}
release 1.0 bin/im-client share/readme.txt lib/libold.so
release 1.1 bin/im-client share/readme.txt lib/libnew.so
release 1.2 bin/im-client share/readme.txt

awk '/^## Walk-through/ { found = 1 } found && /^```sh$/ { inside = 1; next }
    inside && /^```$/ { exit } inside { print }' "$project/tools/README.md" >walkthrough.sh
if bash -e walkthrough.sh >walkthrough.out 2>&1; then
    pass "the Walk-through runs as written"
else
    fail "the Walk-through runs as written: $(tail -n 5 walkthrough.out)"
fi
grep -q "<component project='vorn' name='core' type='app' version='1.0' />" walkthrough.out &&
    pass "its messenger asks for core 1.0" || fail "its messenger asks for core 1.0"

python3 -m http.server 80 --bind 127.0.0.1 --directory /srv/www >web.log 2>&1 &
web=$!
for _ in $(seq 100); do
    (exec 3<>/dev/tcp/127.0.0.1/80) 2>/dev/null && break
    sleep 0.05
done

# install DIR VERSION: an installation of core at VERSION, with its messenger and updater.
install() {
    local dir=$1 version=$2
    mkdir -p "$dir"
    cp -r "releases/$version/." "$dir/"
    cp "$build/tools/messenger/vorn" "$build/src/app/vorn-updater" "$dir/"
    echo "vorn core app $version" >"$dir/components.txt"
    printf '#!/bin/sh\n' >"$dir/fix.sh"
    chmod 0755 "$dir/fix.sh"
}

# files DIR: each file of a release below DIR with its digest.
files() {
    (cd "$1" && find . -type f ! -name vorn ! -name vorn-updater ! -name components.txt \
        ! -name fix.sh ! -name .vorn-updater.lock -exec sha256sum {} + | LC_ALL=C sort -k2)
}

# update DIR VERSION: the updater of DIR runs quietly and leaves release VERSION, fetched by
# its patch.
update() {
    local dir=$1 version=$2 from
    from=$(awk '{ print $4 }' "$dir/components.txt")
    : >web.log
    if TMPDIR=$work/tmp LD_PRELOAD=$VORN_DRIVER_LIBRARY VORN_DRIVER_LOG=$dir.driver \
        VORN_DRIVER_CLICKS=Updater_Summary_Restart QT_QPA_PLATFORM=offscreen \
        timeout 60 "$dir/vorn-updater" -root "$work/$dir" -q >"$dir.out" 2>&1; then
        pass "$dir: the updater ends with 0"
    else
        fail "$dir: the updater ends with 0 ($(tail -n 3 "$dir.out"))"
    fi
    if grep -q '^box' "$dir.driver"; then
        fail "$dir: no box ($(grep '^box' "$dir.driver"))"
    fi
    # Directories stay when their files go.
    if diff <(files "releases/$version") <(files "$dir") >/dev/null; then
        pass "$dir: release $version installed, the dropped files removed"
    else
        fail "$dir: release $version installed ($(diff <(files "releases/$version") \
            <(files "$dir") | tr '\n' ' '))"
    fi
    if grep -q "GET /vorn/core-$from-to-$version.zip" web.log &&
        ! grep -q "GET /vorn/core-$version.zip" web.log; then
        pass "$dir: fetched the patch from $from, not the whole package"
    else
        fail "$dir: fetched the patch from $from ($(grep GET web.log | tr '\n' ' '))"
    fi
    # As the messenger reports itself from now on.
    echo "vorn core app $version" >"$dir/components.txt"
}

install app 1.0
update app 1.1

# The next release, by the command of the Walk-through's second step.
build/tools/packagebuilder/vorn-package-builder --release releases/1.2 --project vorn --name core \
    --type app --version 1.2 --earlier 1.0=releases/1.0 --earlier 1.1=releases/1.1 \
    --publish-url http://127.0.0.1/vorn/ --www /srv/www --catalogue catalogue.xml \
    --sign ~/vorn-signing.key --changelog "More fixes" >release.out 2>&1 ||
    fail "release 1.2 published ($(tail -n 3 release.out))"
pkill -HUP -f "$server"
for _ in $(seq 100); do
    grep -q "catalogue reloaded" walkthrough.out && break
    sleep 0.05
done
if unzip -p /srv/www/vorn/core-1.2.zip '*.xml' | grep -q "name=\"libnew.so\"[^>]*action=\"remove\"\|action=\"remove\"[^>]*name=\"libnew.so\""; then
    pass "the whole package of 1.2 removes what 1.1 had and 1.2 lacks"
else
    fail "the whole package of 1.2 removes lib/libnew.so"
fi
install app10 1.0
update app10 1.2
update app 1.2

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed; the files are in $work"
    exit 1
fi
echo "all checks passed"
