#!/usr/bin/env bash
# The Debian package made by `make package`, installed and used as a user
# would. Usage: tests/package/package_test.sh [BUILD_DIR]   (as root)
#
# 1. The package: its fields, every file it holds, and dependencies that
#    cover every library the programs link (checked against this system).
# 2. dpkg installs it into a throw-away root (its own package database, so
#    this system's is never touched); the installed programs find all their
#    libraries; the desktop entry, metainfo and manual pages pass the
#    desktop's own tools.
# 3. The installed quorvel-ftp-cli against a pyftpdlib server on loopback.
# 4. The installed window on a virtual X screen, run as an ordinary user
#    (nobody) with a fresh home: it shows its icon, saves the local folder in
#    ~/.config/quorvel-ftp/配置文件.ini and writes nothing anywhere else, shows
#    关于, and closes cleanly. Screenshots go to BUILD_DIR/artifacts/.
# 5. The same with a read-only home: it works on and says nothing.
# 6. Removed and installed again: the user's settings stay and are read.
# 7. `cmake --install` with DESTDIR and a prefix holding blanks and Chinese,
#    run by root: the settings still go to the home, not beside the program.
set -euo pipefail

top=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
artifacts=$build/artifacts
here=$top/tests/package
python=/usr/bin/python3
user_id=65534   # nobody: an ordinary user that owns nothing here
group_id=65534

step() { printf '\n== %s\n' "$*"; }
fail() {
    printf 'package test FAILED: %s\n' "$*" >&2
    exit 1
}

[ "$(id -u)" = 0 ] || fail "run as root (make package-test asks sudo for it): dpkg installs into a root of its own and the window runs as another user"
for tool in dpkg-deb desktop-file-validate appstreamcli Xvfb xdotool xprop setpriv readelf man; do
    command -v "$tool" >/dev/null || fail "$tool is missing (make deps installs it)"
done
[ -x "$build/tests/grab_screen" ] || fail "$build/tests/grab_screen is missing: build first"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || fail "no project version in $build/CMakeCache.txt"
deb=$(find "$build" -maxdepth 1 -name "quorvel-ftp_$version-*_*.deb" -printf '%T@ %p\n' | sort -rn | head -n 1 | cut -d' ' -f2-)
[ -n "$deb" ] || fail "no quorvel-ftp_$version-*.deb in $build: run make package"
echo "package: $deb"

# Everything below lives in one folder and every process started is stopped
# by its PID on the way out.
work=$(mktemp -d /tmp/qftp-package.XXXXXX)
chmod 755 "$work"   # the test user must reach the installed programs
pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    if [ -n "${QFTP_KEEP_PACKAGE_TEST:-}" ]; then echo "kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
mkdir -p "$artifacts"

# Waits up to $1 tenths of a second for the command after it to succeed.
wait_for() {
    local tenths=$1
    shift
    for ((i = 0; i < tenths; i++)); do
        if "$@"; then return 0; fi
        sleep 0.1
    done
    return 1
}

expected_files=(
    usr/bin/quorvel-ftp
    usr/bin/quorvel-ftp-cli
    usr/share/applications/quorvel-ftp.desktop
    usr/share/icons/hicolor/128x128/apps/quorvel-ftp.png
    usr/share/icons/hicolor/16x16/apps/quorvel-ftp.png
    usr/share/icons/hicolor/256x256/apps/quorvel-ftp.png
    usr/share/icons/hicolor/32x32/apps/quorvel-ftp.png
    usr/share/icons/hicolor/48x48/apps/quorvel-ftp.png
    usr/share/icons/hicolor/scalable/apps/quorvel-ftp.svg
    usr/share/man/man1/quorvel-ftp-cli.1.gz
    usr/share/man/man1/quorvel-ftp.1.gz
    usr/share/metainfo/example.quorvel.ftp.metainfo.xml
)

# Regular files below a folder, relative and sorted, one a line.
files_below() { (cd "$1" && find . -type f -printf '%P\n' | LC_ALL=C sort); }

step "1. the package"
[ "$(dpkg-deb --field "$deb" Package)" = quorvel-ftp ] || fail "package name"
[ "$(dpkg-deb --field "$deb" Version)" = "$version-1" ] || fail "version $(dpkg-deb --field "$deb" Version), not $version-1"
depends=$(dpkg-deb --field "$deb" Depends)
echo "Depends: $depends"
contents=$(dpkg-deb --contents "$deb")
listed=$(awk '$1 ~ /^-/ {sub(/^\.\//, "", $6); print $6}' <<<"$contents" | LC_ALL=C sort)
want=$(printf '%s\n' "${expected_files[@]}" | LC_ALL=C sort)
[ "$listed" = "$want" ] || fail "the package holds other files than expected:
$(diff <(echo "$want") <(echo "$listed") || true)"
if awk '$2 != "root/root" {bad = 1} END {exit !bad}' <<<"$contents"; then
    fail "files not owned by root in the package"
fi
# Every dependency is a package installed here in a version it accepts.
IFS=',' read -ra clauses <<<"$depends"
dependency_names=()
for clause in "${clauses[@]}"; do
    clause=$(echo "$clause" | xargs)
    name=${clause%% *}
    dependency_names+=("$name")
    installed=$(dpkg-query -W -f='${Version}' "$name" 2>/dev/null || true)
    [ -n "$installed" ] || fail "dependency $name is not installed on this system"
    if [[ $clause =~ \((.+)\ (.+)\) ]]; then
        op=${BASH_REMATCH[1]}
        case $op in '>=') op=ge ;; '<=') op=le ;; '=') op=eq ;; '>>') op=gt ;; '<<') op=lt ;; esac
        dpkg --compare-versions "$installed" "$op" "${BASH_REMATCH[2]}" || fail "$clause: $installed is installed"
    fi
done
depends_on() {
    local name
    for name in "${dependency_names[@]}"; do
        [ "$name" = "$1" ] && return 0
    done
    return 1
}
for must in fonts-noto-cjk qt6-translations-l10n libqt6widgets6 libc6; do
    depends_on "$must" || fail "Depends lacks $must"
done

step "2. installed by dpkg into a throw-away root"
root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/triggers"
touch "$root/var/lib/dpkg/status"
install_package() {
    # The root holds no other package: the dependencies were checked against
    # this system above, and the programs use its libraries.
    dpkg --root="$root" --force-depends --install "$deb" >"$work/dpkg.log" 2>&1 ||
        fail "dpkg --install failed: $(cat "$work/dpkg.log")"
}
install_package
# The package that holds a library; with /lib merged into /usr/lib a package
# may name the file by either path, and the link or its target.
package_owning() {
    local real
    real=$(readlink -f "$1")
    for candidate in "$1" "$real" "${1#/usr}" "${real#/usr}" "/usr${1#/usr}" "/usr${real#/usr}"; do
        dpkg -S "$candidate" 2>/dev/null | head -n 1 | cut -d: -f1 && return 0
    done
    return 0
}
for program in quorvel-ftp quorvel-ftp-cli; do
    binary=$root/usr/bin/$program
    [ -x "$binary" ] || fail "$binary is not installed"
    missing=$(ldd "$binary" | awk '/not found/ {print $1}')
    [ -z "$missing" ] || fail "$program lacks $missing"
    if readelf -d "$binary" | grep -Eq 'R(UN)?PATH'; then
        fail "$program carries a run path: $(readelf -d "$binary" | grep -E 'R(UN)?PATH')"
    fi
    # Each library the program links directly comes from a package the
    # package depends on (what dpkg-shlibdeps is there for).
    for library in $(readelf -d "$binary" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p'); do
        # "libx.so.1 => /path (0x...)", or "/path (0x...)" for the loader.
        path=$(ldd "$binary" | awk -v l="$library" '$1 == l {print $3; exit} $1 ~ ("/" l "$") {print $1; exit}')
        [ -n "$path" ] || fail "$program: ldd does not show where $library is"
        owner=$(package_owning "$path")
        [ -n "$owner" ] || fail "$program: no package owns $library ($path)"
        depends_on "$owner" || fail "$program links $library from $owner, which Depends does not name"
    done
    echo "$program: libraries resolved, each from a package named in Depends"
done
desktop-file-validate "$root/usr/share/applications/quorvel-ftp.desktop" >"$work/validate.log" 2>&1 || true
[ ! -s "$work/validate.log" ] || fail "desktop-file-validate: $(cat "$work/validate.log")"
appstreamcli validate-tree --no-net "$root" >"$work/appstream.log" 2>&1 ||
    fail "appstreamcli validate-tree: $(cat "$work/appstream.log")"
for size in 16 32 48 128 256; do
    png=$root/usr/share/icons/hicolor/${size}x${size}/apps/quorvel-ftp.png
    read -r w h < <("$python" -c 'import struct,sys; d=open(sys.argv[1],"rb").read(24); print(*struct.unpack(">II", d[16:24]))' "$png")
    [ "$w $h" = "$size $size" ] || fail "$png is ${w}x$h"
done
# The manual page of the command line holds every line of --help. Read from
# the package itself: a minimal system may keep dpkg from unpacking manuals.
dpkg-deb -x "$deb" "$work/unpacked"
help=$("$root/usr/bin/quorvel-ftp-cli" --help)
manual=$(MANWIDTH=400 man -l "$work/unpacked/usr/share/man/man1/quorvel-ftp-cli.1.gz" 2>/dev/null | tr -s ' \n' '  ')
while IFS= read -r line; do
    text=$(echo "$line" | tr -s ' ' ' ' | sed 's/^ //')
    [ -n "$text" ] || continue
    [[ $manual == *"$text"* ]] || fail "the manual page lacks: $text"
done < <(sed -n '/^Commands:/,/^$/p' <<<"$help" | sed 1d | sed 's/  \+/ /')
MANWIDTH=80 man -l "$work/unpacked/usr/share/man/man1/quorvel-ftp.1.gz" 2>/dev/null | grep -q '配置文件.ini' ||
    fail "the window's manual page does not render"
echo "desktop entry, metainfo, icons and manual pages: valid"

step "3. the installed quorvel-ftp-cli against pyftpdlib"
[ "$("$root/usr/bin/quorvel-ftp-cli" --version)" = "quorvel-ftp-cli $version" ] || fail "--version"
ftp_root=$work/ftp-root
mkdir -p "$ftp_root/文件夹 a"
printf 'hello from the package test\n' >"$ftp_root/文件夹 a/问候.txt"
"$python" "$top/tests/support/pyftpd_server.py" "$ftp_root" demo demo 0 >"$work/ftp.port" 2>"$work/ftp.log" &
pids+=($!)
wait_for 100 test -s "$work/ftp.port" || fail "pyftpdlib did not start: $(cat "$work/ftp.log")"
port=$(head -n 1 "$work/ftp.port")
mkdir "$work/downloads"
chown "$user_id:$group_id" "$work/downloads"
cli_home=$work/cli-home
mkdir "$cli_home"
chown "$user_id:$group_id" "$cli_home"
# A desktop session gives each user a runtime folder of its own.
mkdir -m 700 "$work/runtime" "$work/runtime-root"
chown "$user_id:$group_id" "$work/runtime"
touch "$work/cli.marker"
as_user() {
    local home=$1
    shift
    setpriv --reuid="$user_id" --regid="$group_id" --clear-groups \
        env -i HOME="$home" PATH=/usr/bin:/bin LANG=C.UTF-8 DISPLAY="${display:-}" \
        XDG_RUNTIME_DIR="$work/runtime" "$@"
}
as_user "$cli_home" "$root/usr/bin/quorvel-ftp-cli" -u demo -p demo -P "$port" -t 10000 \
    -c pwd -c 'ls "/文件夹 a"' -c "get \"/文件夹 a/问候.txt\" $work/downloads/问候.txt" 127.0.0.1 \
    >"$work/cli.out" 2>"$work/cli.err" || fail "the CLI failed: $(cat "$work/cli.err")"
[ "$(sed -n 1p "$work/cli.out")" = / ] || fail "pwd printed $(sed -n 1p "$work/cli.out")"
grep -q "^问候.txt	28	" "$work/cli.out" || fail "ls did not list the file: $(cat "$work/cli.out")"
cmp -s "$ftp_root/文件夹 a/问候.txt" "$work/downloads/问候.txt" || fail "the downloaded file differs"
echo "pwd, ls and get of a Chinese name with a blank: right"

# What the test user created or changed since a marker, in every place it may
# write (its home and runtime folder and the folders every user may write),
# less the allowed folders and the folders on the way to them.
written_since() {
    local marker=$1 home=$2
    shift 2
    for place in "$home" "$work/runtime" /tmp /var/tmp /dev/shm /run/lock; do
        if [ -d "$place" ]; then find "$place" -xdev -uid "$user_id" -newer "$marker" 2>/dev/null; fi
    done | LC_ALL=C sort -u | while IFS= read -r path; do
        local allowed=0
        for folder in "$@"; do
            [[ $path == "$folder" || $path == "$folder"/* || $folder == "$path"/* ]] && allowed=1
        done
        [ "$path" = "$home" ] || [ "$allowed" = 1 ] || echo "$path"
    done
}
stray=$(written_since "$work/cli.marker" "$cli_home" "$work/downloads")
[ -z "$stray" ] || fail "the CLI wrote outside the download folder: $stray"

step "4. the installed window, as an ordinary user with a fresh home"
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -ac 3>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
wait_for 100 test -s "$work/display" || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
display=:$(head -n 1 "$work/display")
export DISPLAY=$display XDG_RUNTIME_DIR=$work/runtime-root

# The main window's id, once it is shown.
main_window() { xdotool search --onlyvisible --name '^Quorvel' 2>/dev/null | head -n 1; }
window_shown() { [ -n "$(main_window)" ]; }
about_shown() { xdotool search --onlyvisible --name '^关于$' >/dev/null 2>&1; }
about_gone() { ! about_shown; }
program_ended() { ! kill -0 "$program" 2>/dev/null; }

start_window() {
    local binary=$1
    shift
    "$@" "$binary" >"$work/window.out" 2>"$work/window.err" &
    program=$!
    pids+=("$program")
    wait_for 200 window_shown || fail "the window did not appear: $(cat "$work/window.err")"
    window=$(main_window)
}
close_window() {
    "$python" "$here/close_window.py" "$window"
    wait_for 100 program_ended || fail "the window did not close on WM_DELETE_WINDOW"
    local status=0
    wait "$program" || status=$?
    [ "$status" = 0 ] || fail "the window exited with $status: $(cat "$work/window.err")"
    [ ! -s "$work/window.err" ] || fail "the window printed: $(cat "$work/window.err")"
}
# Row 0 of the local list is the parent row "返回上级目录": a double-click
# lists the parent folder and saves it as the last local folder. The place
# follows from the layout at start-up (splitter 1 at 150 pixels).
open_parent_folder() { xdotool mousemove --window "$window" 100 246 click --repeat 2 --delay 80 1; }
visible_windows() { xdotool search --onlyvisible --classname '^quorvel-ftp$' 2>/dev/null | wc -l; }
menu_shown() { [ "$(visible_windows)" -ge 2 ]; }
show_about() {
    # Keys typed before the menu holds the keyboard would go to the window.
    xdotool mousemove --window "$window" 21 11 click 1
    wait_for 100 menu_shown || fail "the menu 菜单 did not open"
    xdotool key Down Down Return
    wait_for 100 about_shown || fail "关于 did not open a box"
}
close_about() {
    xdotool key Return
    wait_for 100 about_gone || fail "the 关于 box did not close"
}
settings_value() { sed -n 's/^上次路径=//p' "$1" 2>/dev/null; }
settings_hold() { [ "$(settings_value "$1")" = "$2" ]; }

# Homes one level down, so that the folders the window lists (a home's
# parent and its parent) are the test's own.
users=$work/users
mkdir "$users"
home=$users/home
mkdir "$home"
chown "$user_id:$group_id" "$home"
settings=$home/.config/quorvel-ftp/配置文件.ini
touch "$work/window.marker"
start_window "$root/usr/bin/quorvel-ftp" as_user "$home"
icons=$(xprop -id "$window" _NET_WM_ICON | grep -o 'Icon ([0-9]* x [0-9]*)' | tr '\n' ' ')
echo "window icon sizes handed to the task bar: $icons"
for size in 16 32 48; do
    [[ $icons == *"Icon ($size x $size)"* ]] || fail "the window has no $size pixel icon: $icons"
done
[ "$(xprop -id "$window" WM_CLASS)" = 'WM_CLASS(STRING) = "quorvel-ftp", "quorvel-ftp"' ] ||
    fail "WM_CLASS: $(xprop -id "$window" WM_CLASS)"
open_parent_folder
wait_for 100 settings_hold "$settings" "$users" ||
    fail "no $users saved in $settings after the double-click on the parent row (saved: $(settings_value "$settings"))"
"$build/tests/grab_screen" "$artifacts/installed-window.png"
show_about
"$build/tests/grab_screen" "$artifacts/installed-about.png"
close_about
close_window
stray=$(written_since "$work/window.marker" "$home" "$home/.config/quorvel-ftp")
[ -z "$stray" ] || fail "the window wrote outside its settings folder: $stray"
echo "settings saved in $settings and nothing written elsewhere; 关于 shown; closed with status 0"

step "5. the installed window with a read-only home"
ro_home=$users/read-only-home
mkdir "$ro_home"
chown "$user_id:$group_id" "$ro_home"
chmod 555 "$ro_home"
touch "$work/ro.marker"
start_window "$root/usr/bin/quorvel-ftp" as_user "$ro_home"
open_parent_folder
show_about   # still answers after the failed save
[ "$(visible_windows)" = 2 ] ||
    fail "another window than the main window and 关于 is shown"
close_about
close_window
stray=$(written_since "$work/ro.marker" "$ro_home")
[ -z "$stray" ] || fail "written with a read-only home: $stray"
echo "worked on, said nothing, wrote nothing"

step "6. removed and installed again"
kept=$(sha256sum "$settings")
dpkg --root="$root" --remove quorvel-ftp >"$work/dpkg.log" 2>&1 || fail "dpkg --remove: $(cat "$work/dpkg.log")"
left=$(find "$root/usr" -type f 2>/dev/null || true)
[ -z "$left" ] || fail "left after removal: $left"
[ "$(sha256sum "$settings")" = "$kept" ] || fail "the removal changed the user's settings"
install_package
start_window "$root/usr/bin/quorvel-ftp" as_user "$home"
# The kept folder was $users; its parent row leads to $work.
open_parent_folder
wait_for 100 settings_hold "$settings" "$work" ||
    fail "the reinstalled program did not start in the kept folder (saved: $(settings_value "$settings"))"
"$build/tests/grab_screen" "$artifacts/reinstalled-window.png"
close_window
echo "the settings stayed and the reinstalled program started in the kept folder"

step "7. cmake --install with DESTDIR and a prefix with blanks and Chinese, run by root"
prefix="/opt/quorvel ftp/程序"
stage=$work/stage
DESTDIR=$stage cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 ||
    fail "cmake --install: $(cat "$work/install.log")"
staged=$(files_below "$stage$prefix" | sed 's|^|usr/|')
[ "$staged" = "$want" ] || fail "the staged install holds other files:
$(diff <(echo "$want") <(echo "$staged") || true)"
[ "$("$stage$prefix/bin/quorvel-ftp-cli" --version)" = "quorvel-ftp-cli $version" ] || fail "staged --version"
root_home=$users/root-home
mkdir "$root_home"
start_window "$stage$prefix/bin/quorvel-ftp" env -i HOME="$root_home" PATH=/usr/bin:/bin \
    LANG=C.UTF-8 DISPLAY="$display" XDG_RUNTIME_DIR="$work/runtime-root"
open_parent_folder
wait_for 100 settings_hold "$root_home/.config/quorvel-ftp/配置文件.ini" "$users" ||
    fail "root's settings did not go to its home"
close_window
[ ! -e "$stage$prefix/bin/配置文件.ini" ] || fail "root's settings went beside the installed program"
echo "installed under '$prefix'; root's settings went to its home"

echo
echo "package test passed; screenshots:"
ls "$artifacts"/installed-window.png "$artifacts"/installed-about.png "$artifacts"/reinstalled-window.png
