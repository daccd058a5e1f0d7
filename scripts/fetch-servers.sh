#!/bin/sh
# Unpacks the FTP server binaries that the end-to-end tests run (vsftpd,
# pure-ftpd, proftpd) into .servers/ at the top of the tree, without
# installing their packages: an installed package would bring its system
# service, and the Debian FTP servers conflict with each other as packages.
# The shared libraries they need are ordinary packages (PACKAGES in the
# Makefile). Quick and quiet
# when everything is there already; when offline and something is missing it
# warns and goes on, and the tests that need the server fail saying so.
set -eu

top=$(cd "$(dirname "$0")/.." && pwd)
dest="$top/.servers"
sudo=""
[ "$(id -u)" = 0 ] || sudo=sudo

# fetch NAME BINARY: unpack package NAME into $dest/NAME unless BINARY is there.
fetch() {
    name=$1
    binary="$dest/$name/$2"
    if [ -x "$binary" ]; then
        check_libraries "$name" "$binary"
        return 0
    fi
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    if ! (cd "$work" && apt-get download -qq "$name" >/dev/null 2>&1); then
        # A fresh machine may have no package lists yet.
        $sudo apt-get update -qq >/dev/null 2>&1 || true
        if ! (cd "$work" && apt-get download -qq "$name" >/dev/null 2>&1); then
            echo "fetch-servers: cannot download $name (offline?); its tests will fail" >&2
            return 0
        fi
    fi
    rm -rf "$dest/$name.new"
    mkdir -p "$dest/$name.new"
    dpkg -x "$work"/"$name"_*.deb "$dest/$name.new"
    rm -rf "$dest/$name"
    mv "$dest/$name.new" "$dest/$name"
    rm -rf "$work"
    trap - EXIT
    echo "fetch-servers: unpacked $name into $dest/$name"
    check_libraries "$name" "$binary"
}

check_libraries() {
    missing=$(ldd "$2" 2>/dev/null | awk '/not found/ {print $1}')
    if [ -n "$missing" ]; then
        echo "fetch-servers: $1 lacks shared libraries:" $missing "(see PACKAGES in the Makefile)" >&2
    fi
}

fetch vsftpd usr/sbin/vsftpd
fetch pure-ftpd usr/sbin/pure-ftpd
fetch proftpd-core usr/sbin/proftpd
