#!/bin/sh
# Unpacks the FTP server binaries that the end-to-end tests run (vsftpd,
# pure-ftpd, proftpd and its TLS module) into .servers/ at the top of the
# tree, without installing their packages: an installed package would bring
# its system service, and the Debian FTP servers conflict with each other as
# packages. The shared libraries they need are ordinary packages (PACKAGES in
# the Makefile). Quick and quiet when everything is there already; when
# offline and something is missing it warns and goes on, and the tests that
# need the server fail saying so.
set -eu

top=$(cd "$(dirname "$0")/.." && pwd)
dest="$top/.servers"
sudo=""
[ "$(id -u)" = 0 ] || sudo=sudo

# fetch NAME FILE: unpack package NAME into $dest/NAME unless FILE (a binary
# or a module) is there.
fetch() {
    name=$1
    binary="$dest/$name/$2"
    if [ -f "$binary" ]; then
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
# mod_tls comes in a package of its own, but proftpd's ModulePath names a
# single folder: the module is linked into proftpd-core's, where mod_digest
# lies, whenever the link is missing (a freshly unpacked proftpd-core has none).
fetch proftpd-mod-crypto usr/lib/proftpd/mod_tls.so
tls_module="$dest/proftpd-mod-crypto/usr/lib/proftpd/mod_tls.so"
tls_link="$dest/proftpd-core/usr/lib/proftpd/mod_tls.so"
if [ -f "$tls_module" ] && [ -d "$(dirname "$tls_link")" ] && [ ! -e "$tls_link" ]; then
    ln -sfn ../../../../proftpd-mod-crypto/usr/lib/proftpd/mod_tls.so "$tls_link"
fi
