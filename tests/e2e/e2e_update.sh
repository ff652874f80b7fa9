#!/bin/bash
# End-to-end test of the updater with the real programs: nginx hosts the packages on port 80,
# the reference update server answers on port 443, the stand-in messenger makes the query,
# and a copy of vorn-updater in a sandboxed installation downloads and installs two packages
# (an app and a plug-in). The preloaded driver presses the buttons and answers the boxes; the
# preloaded window probe records what every window showed. Runs itself in a private network
# namespace, on an X display (Xvfb and a window manager) or, with "wayland", on a Wayland
# compositor (weston, headless), as Debian's default desktop session is. The runs:
#
#   interactive  offer window, changelog shown, hidden and shown again, "Download now",
#                summary "Close": the update happens
#   abort        the second package cannot be installed (a directory stands in the way of one
#                of its files) and the answer is Abort: the installation comes
#                back as it was (apart from files that the first package added where none
#                stood: the rollback restores backups and makes none for new files)
#   quiet        -q goes straight to the download
#   new          -q, the update server also offers a plug-in and an app component that the
#                messenger does not report: all four install
#   newabort     as new, the new plug-in cannot be installed and the answer is Abort: all three
#                packages installed so far come back as they were
#   balanced     as quiet, with two update servers behind nginx's stream proxy, one of them
#                stopped during a wave of checks from other clients: none is lost (on X only)
#
# usage: e2e_update.sh WORK_DIR [x11|wayland]   (x11 unless named; programs from VORN_BUILD_DIR,
#        or named one by one)
set -euo pipefail

work=${1:?usage: e2e_update.sh WORK_DIR [x11|wayland]}
session=${2:-x11}
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../../scripts/sandbox.sh
source "$here/../../scripts/sandbox.sh"
# shellcheck source=checks.sh
source "$here/checks.sh"
: "${VORN_DRIVER_LIBRARY:=$VORN_BUILD_DIR/tests/driver/libvorn_uidriver.so}"
: "${VORN_PROBE_LIBRARY:=$VORN_BUILD_DIR/tests/e2e/libvorn_windowprobe.so}"
: "${VORN_WEB_PAGE:=https://vorn.example.org/}"

sandbox_require_nginx
case "$session" in
x11) ;;
wayland)
    if ! command -v weston >/dev/null; then
        echo "SKIP: weston is not installed (sh scripts/install-dependencies.sh)"
        exit 77
    fi
    ;;
*)
    echo "e2e_update.sh: unknown session $session (x11 or wayland)" >&2
    exit 2
    ;;
esac
sandbox_enter_netns bash "$0" "$@"

case "$work" in
/*) ;;
*) work=$PWD/$work ;;
esac
rm -rf "$work"
mkdir -p "$work"
wayland_pid=""
wayland_runtime=""

# Weston with its desktop shell, headless, as the compositor of a Wayland session. It has a
# runtime directory of its own, in the work directory so that even a killed test leaves nothing
# behind: the updater's XDG_RUNTIME_DIR is the sandbox's, so the updater reaches the compositor
# by the socket's full path in WAYLAND_DISPLAY.
start_wayland() {
    wayland_runtime=$work/wayland
    mkdir -m 0700 "$wayland_runtime"
    XDG_RUNTIME_DIR=$wayland_runtime weston --backend=headless-backend.so --width=1280 \
        --height=1024 --socket=wayland-vorn --no-config 2>"$work/weston.log" &
    wayland_pid=$!
    WAYLAND_DISPLAY=$wayland_runtime/wayland-vorn
    export WAYLAND_DISPLAY
    # Nothing of this session may reach an X server.
    unset DISPLAY
    if ! sandbox_wait_for 20 test -S "$WAYLAND_DISPLAY" || ! sandbox_alive "$wayland_pid"; then
        cat "$work/weston.log" >&2 || true
        sandbox_fail "weston did not start"
    fi
}

stop_wayland() {
    [ -n "$wayland_pid" ] && sandbox_stop "$wayland_pid"
    [ -n "$wayland_runtime" ] && rm -rf "$wayland_runtime"
    wayland_pid=""
    wayland_runtime=""
}

trap 'sandbox_stop_servers; sandbox_stop_display; stop_wayland' EXIT
if [ "$session" = wayland ]; then
    platform=wayland
    start_wayland
else
    platform=xcb
    # A real X server with a window manager, as users have: it places, decorates and resizes.
    sandbox_start_display
fi

# expect_text WHAT FILE TEXT: FILE holds exactly TEXT.
expect_text() {
    local what=$1 file=$2 text=$3 actual
    if [ ! -e "$file" ]; then
        fail "$what (no file $file)"
        return
    fi
    # The x keeps trailing line feeds.
    actual=$(
        cat "$file"
        echo x
    )
    actual=${actual%x}
    if [ "$actual" = "$text" ]; then
        pass "$what"
    else
        fail "$what"
        diff -u --label expected --label actual <(printf '%s' "$text") <(printf '%s' "$actual") |
            sed 's/^/      /' || true
    fi
}

# expect_lines WHAT FILE LINE...: FILE holds exactly these lines.
expect_lines() {
    local what=$1 file=$2
    shift 2
    expect_text "$what" "$file" "$(printf '%s\n' "$@")
"
}

# expect_installed PATH SOURCE MODE: PATH holds the bytes of SOURCE and has MODE.
expect_installed() {
    local path=$1 source=$2 mode=$3
    if [ -f "$path" ] && cmp -s "$source" "$path" && [ "$(stat -c %a "$path")" = "$mode" ]; then
        pass "${path#"$SANDBOX"/} installed with mode $mode"
    else
        fail "${path#"$SANDBOX"/} installed with mode $mode (mode: $(stat -c %a "$path" 2>&1))"
    fi
}

expect_absent() {
    if [ ! -e "$1" ]; then pass "$2"; else fail "$2"; fi
}

# The installation's state: the application directory and the plug-in directory.
listing() {
    sandbox_listing "$SANDBOX" | grep -E ' (messenger|home)(/|$)'
}

# run_updater NAME CLICKS BOXES ARGS...: runs the updater, driven and probed, in the sandbox.
run_updater() {
    local name=$1 clicks=$2 boxes=$3
    shift 3
    probe=$work/$name.probe
    driver_log=$work/$name.driver.log
    set +e
    LD_PRELOAD="$VORN_DRIVER_LIBRARY $VORN_PROBE_LIBRARY" VORN_DRIVER_LOG=$driver_log \
        VORN_DRIVER_CLICKS=$clicks VORN_DRIVER_BOXES=$boxes VORN_PROBE_DIR=$probe \
        QT_QPA_PLATFORM=$platform SANDBOX_TIMEOUT=60 sandbox_run_updater "$@" \
        >"$work/$name.output" 2>&1
    status=$?
    set -e
    if [ "$status" -eq 0 ]; then pass "exit code 0"; else fail "exit code 0 (got $status)"; fi
    expect_text "windows shown by Qt's $platform platform" "$probe/platform.txt" "$platform"
}

windows_of_a_run() {
    local first
    for first in "$@"; do
        echo "shown $first"
        echo "hidden $first"
    done
}

expected_changelog() {
    printf '%s\n%s\n%s\n\n%s\n%s\n%s' "$CORE_DESCRIPTION" "Zmiany w wersji 1.1" \
        "$CORE_CHANGELOG" "$EMOTICONS_DESCRIPTION" "Zmiany w wersji 1.0" "$EMOTICONS_CHANGELOG"
}

# What a successful run leaves: both packages installed, fix.sh run once, downloads emptied.
check_update_installed() {
    local before=$1 new=$SANDBOX/new
    expect_installed "$SANDBOX_ROOT/lib/libvorn-core.so.1" "$new/core/lib/libvorn-core.so.1" 755
    expect_installed "$SANDBOX_ROOT/share/readme.txt" "$new/core/share/readme.txt" 755
    expect_installed "$SANDBOX_ROOT/share/whatsnew.txt" "$new/core/share/whatsnew.txt" 755
    expect_absent "$SANDBOX_ROOT/lib/libvorn-legacy.so.0" "messenger/lib/libvorn-legacy.so.0 removed"
    expect_installed "$SANDBOX_PLUGINS/emoticons/theme.xml" "$new/emoticons/emoticons/theme.xml" 750
    expect_installed "$SANDBOX_PLUGINS/emoticons/smile.svg" "$new/emoticons/emoticons/smile.svg" 750
    local touched='messenger/(lib/libvorn-(core.so.1|legacy.so.0)|share/(readme|whatsnew).txt)$|emoticons/(theme.xml|smile.svg)$'
    expect_text "every other file and directory as before (bytes and modes)" \
        <(listing | grep -Ev " $touched") "$(grep -Ev " $touched" "$before")
"
    expect_lines "fix.sh ran once, with the application directory" "$SANDBOX_FIX_LOG" \
        "fix.sh [$SANDBOX_ROOT]"
    expect_text "no file left in the download directory" <(sandbox_files "$SANDBOX_DOWNLOADS") ""
    expect_lines "nginx: sizes first, then the packages in order" "$SANDBOX_RUN/nginx-access.log" \
        "HEAD /core.zip 200" "HEAD /emoticons.zip 200" "GET /core.zip 200" "GET /emoticons.zip 200"
    if grep -q "answered vorn/core/app 1.0: update 1.1; vorn/emoticons/plugin 0.9: update 1.0\$" \
        "$SANDBOX_RUN/update-server.log"; then
        pass "update server answered the messenger's query"
    else
        fail "update server answered the messenger's query"
    fi
    expect_text "summary status" "$probe/shown/Updater_Summary_Status.txt" \
        "Aktualizacje zainstalowane pomyślnie"
    expect_text "summary instruction" "$probe/shown/Updater_Summary_Instruction.txt" \
        "By zakończyć proces instalacji należy uruchomić ponownie komunikator."
    expect_text "summary details: the installation log" "$probe/shown/Updater_Summary_Details.txt" \
        "$(printf '%s\n' "Zainstalowano pakiet core:" " - lib/libvorn-core.so.1" \
            " - share/readme.txt" " - share/whatsnew.txt" "" "Zainstalowano pakiet emoticons:" \
            " - emoticons/smile.svg" " - emoticons/theme.xml")

"
    expect_text "install window ended at the last package, 100 %" \
        <(cat "$probe/hidden/Updater_Install_ProgressText.txt" && echo &&
            cat "$probe/hidden/Updater_Install_Progress.txt") "emoticons
100"
}

echo "== interactive run: view the changelog, download now, close the summary"
sandbox_create "$work/interactive" pl
sandbox_start_servers
listing >"$work/interactive.before"
toggle=Updater_Changelog_ViewChangelog
run_updater interactive \
    $toggle,$toggle,$toggle,Updater_Changelog_DownloadNow,Updater_Summary_Restart ""
sandbox_stop_servers
# The offer window's heights as the driver saw them, repeats dropped: compact, tall, compact,
# tall.
heights=$(awk -F'\t' '($1 == "window" && $2 == "Updater_Changelog_MainWindow") { h = $5 }
    ($1 == "size" && $2 == "Updater_Changelog_MainWindow") { h = $4 }
    h != "" && h != last { printf "%s ", h; last = h }' "$driver_log")
read -r compact tall again last_tall rest <<<"$heights"
if [ -n "$last_tall" ] && [ -z "$rest" ] && [ "$tall" -gt "$compact" ] &&
    [ "$again" = "$compact" ] && [ "$last_tall" = "$tall" ]; then
    pass "offer window: compact, tall, compact, tall ($heights)"
else
    fail "offer window: compact, tall, compact, tall (heights: $heights)"
fi
expect_text "windows in order" "$probe/windows.log" "$(windows_of_a_run \
    Updater_Changelog_MainWindow Updater_Download_MainWindow Updater_Install_MainWindow \
    Updater_Summary_MainWindow)
"
expect_text "no message box" <(grep '^box' "$driver_log" || true) ""
expect_text "changelog pane: both updates, UTF-8 intact" \
    "$probe/shown/Updater_Changelog_Details.txt" "$(expected_changelog)"
expect_text "changelog button after three clicks" \
    "$probe/hidden/Updater_Changelog_ViewChangelog.txt" "Ukryj listę zmian"
expect_text "download window ended at the last package, 100 %" \
    <(cat "$probe/hidden/Updater_Download_ProgressText.txt" && echo &&
        cat "$probe/hidden/Updater_Download_Progress.txt") "emoticons
100"
check_update_installed "$work/interactive.before"

echo "== abort run: the second package cannot be installed, the answer is Abort"
sandbox_create "$work/abort" pl blocked
sandbox_start_servers
listing >"$work/abort.before"
run_updater abort Updater_Changelog_DownloadNow,Updater_Summary_Restart Ok,Abort
sandbox_stop_servers
# A directory stands where the plug-in's theme.xml is installed: its backup cannot be made.
expect_text "boxes: the package's own, then Abort or Retry" \
    <(grep '^box' "$driver_log" | sed 's|file .*/emoticons/theme.xml to .*/unwind/emoticons/theme.xml!|file T to B!|') \
    "$(printf 'box\tCritical\tAktualizuj\tCannot copy file T to B!\tOk\tOk\nbox\tWarning\tAktualizuj\tBłąd podczas instalowania paczki emoticons\tAbort|Retry\tRetry')
"
expect_text "windows in order" "$probe/windows.log" "$(windows_of_a_run \
    Updater_Changelog_MainWindow Updater_Download_MainWindow Updater_Install_MainWindow \
    Updater_Summary_MainWindow)
"
expect_text "install window ended rolling back, 100 %" \
    <(cat "$probe/hidden/Updater_Install_ProgressText.txt" && echo &&
        cat "$probe/hidden/Updater_Install_Progress.txt") "Cofanie akutalizacji
100"
expect_text "summary status" "$probe/shown/Updater_Summary_Status.txt" \
    "Aktualizacja nie powiodła się"
expect_text "summary instruction" "$probe/shown/Updater_Summary_Instruction.txt" \
    "Prosze pobrać i zainstalować vorn ze strony $VORN_WEB_PAGE"
expect_text "summary details" "$probe/shown/Updater_Summary_Details.txt" \
    "An error occured while installing updates"
# share/whatsnew.txt and smile.svg are new: no backup, so the rollback leaves them.
expect_installed "$SANDBOX_ROOT/share/whatsnew.txt" "$SANDBOX/new/core/share/whatsnew.txt" 755
expect_text "installation byte-identical to before, modes included (but the new files)" \
    <(listing | grep -Ev ' (messenger/share/whatsnew.txt|home/.Vorn/plugins/emoticons/smile.svg)$') \
    "$(cat "$work/abort.before")
"
expect_absent "$SANDBOX_FIX_LOG" "fix.sh did not run"
expect_text "no file left in the download directory" <(sandbox_files "$SANDBOX_DOWNLOADS") ""

echo "== quiet run: -q starts with the download"
sandbox_create "$work/quiet" pl
sandbox_start_servers
listing >"$work/quiet.before"
run_updater quiet Updater_Summary_Restart "" -q
sandbox_stop_servers
expect_text "windows in order: no offer window" "$probe/windows.log" "$(windows_of_a_run \
    Updater_Download_MainWindow Updater_Install_MainWindow Updater_Summary_MainWindow)
"
expect_text "no message box" <(grep '^box' "$driver_log" || true) ""
check_update_installed "$work/quiet.before"

echo "== new components: a plug-in and an app component the messenger does not report"
sandbox_create "$work/new" pl new
sandbox_start_servers
listing >"$work/new.before"
run_updater new Updater_Summary_Restart "" -q
sandbox_stop_servers
expect_text "no message box" <(grep '^box' "$driver_log" || true) ""
expect_installed "$SANDBOX_PLUGINS/themes/dark.xml" "$SANDBOX/new/themes/themes/dark.xml" 750
expect_installed "$SANDBOX_ROOT/lib/libvorn-voice.so.1" "$SANDBOX/new/voice/lib/libvorn-voice.so.1" 755
expect_installed "$SANDBOX_ROOT/lib/libvorn-core.so.1" "$SANDBOX/new/core/lib/libvorn-core.so.1" 755
if grep -q "answered vorn/core/app 1.0: update 1.1; vorn/emoticons/plugin 0.9: update 1.0; vorn/themes/plugin -: update 1.0; vorn/voice/app -: update 1.0\$" \
    "$SANDBOX_RUN/update-server.log"; then
    pass "update server offered the new components after the reported ones"
else
    fail "update server offered the new components after the reported ones"
fi
expect_text "summary details: all four packages in the log" "$probe/shown/Updater_Summary_Details.txt" \
    "$(printf '%s\n' "Zainstalowano pakiet core:" " - lib/libvorn-core.so.1" \
        " - share/readme.txt" " - share/whatsnew.txt" "" "Zainstalowano pakiet emoticons:" \
        " - emoticons/smile.svg" " - emoticons/theme.xml" "" "Zainstalowano pakiet themes:" \
        " - themes/dark.xml" "" "Zainstalowano pakiet voice:" " - lib/libvorn-voice.so.1")

"

echo "== new components, abort: the new plug-in cannot be installed, the answer is Abort"
sandbox_create "$work/newabort" pl newblocked
sandbox_start_servers
listing >"$work/newabort.before"
run_updater newabort Updater_Summary_Restart Ok,Abort -q
sandbox_stop_servers
expect_text "boxes: the package's own, then Abort or Retry for themes" \
    <(grep '^box' "$driver_log" | cut -f4 | sed 's|file .*/themes/dark.xml to .*/unwind/themes/dark.xml!|file T to B!|') \
    "$(printf '%s\n' 'Cannot copy file T to B!' 'Błąd podczas instalowania paczki themes')
"
expect_text "installation byte-identical to before, modes included (but the new files)" \
    <(listing | grep -Ev ' (messenger/share/whatsnew.txt|home/.Vorn/plugins/emoticons/smile.svg)$') \
    "$(cat "$work/newabort.before")
"
expect_absent "$SANDBOX_ROOT/lib/libvorn-voice.so.1" "the package after the failed one is not installed"
expect_absent "$SANDBOX_FIX_LOG" "fix.sh did not run"

# The balanced run tests the update servers behind nginx; its windows are the quiet run's, so a
# second session adds nothing to it.
if [ "$session" = x11 ]; then
    echo "== balanced run: two update servers behind nginx, one stopped during a wave of checks"
    sandbox_create "$work/balanced" pl
    sandbox_start_servers 0 2
    listing >"$work/balanced.before"
    "$VORN_LOAD" 127.0.0.1 443 100 8 --expect "<version>1.1</version>" >"$work/wave.txt" &
    wave=$!
    answered_at_least() {
        [ "$(grep -c answered "$SANDBOX_RUN/update-server.log")" -ge "$1" ]
    }
    sandbox_wait_for 10 answered_at_least 500 || fail "the wave of checks got under way"
    read -r stopped _ <<<"$SANDBOX_SERVER_PIDS"
    kill -TERM "$stopped"
    run_updater balanced Updater_Summary_Restart "" -q
    wait "$wave"
    expect_lines "the stopped instance ended its exchanges and exited" \
        <(grep -o "vorn-update-server: st.*" "$SANDBOX_RUN/update-server.log" | sed 's/, [0-9]* exchanges/, N exchanges/') \
        "vorn-update-server: stopping, N exchanges under way" "vorn-update-server: stopped"
    sandbox_stop_servers
    check_update_installed "$work/balanced.before"
    if grep -q "^failures=0$" "$work/wave.txt" && grep -q "^unmatched=0$" "$work/wave.txt" &&
        ! grep -q "^exchanges=0$" "$work/wave.txt"; then
        pass "wave of checks: none lost ($(grep -E '^(exchanges|per_second)=' "$work/wave.txt" | tr '\n' ' '))"
    else
        fail "wave of checks: none lost ($(tr '\n' ' ' <"$work/wave.txt"))"
    fi
fi
checks_done "$work"
