#!/bin/bash
# Transfer benchmark (not a test): a real vsftpd on loopback, then
#   (a) one 1 GiB file: quorvel-ftp-cli get against curl on the same URL;
#   (b) 1000 files of 4 KiB: 1000 gets in one quorvel-ftp-cli run against one
#       curl process per file (a fresh connection and log-in per file, as our
#       tasks do) and against lftp's mirror (one reused connection);
#   (c) one 1 GiB file up: quorvel-ftp-cli put against curl -T to the same
#       place, with our default send block and with a block of 1024 bytes.
# Each figure is the best of a few interleaved rounds; ratios are ours / peer (below 1.0
# means we were faster). Every downloaded file is compared with its source.
# Usage: bench/run.sh BUILD_DIR [ROUNDS]
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
rounds=${2:-3}
cli="$build/tools/quorvel-ftp-cli"
[ -x "$cli" ] || { echo "bench: no $cli; build first" >&2; exit 1; }
vsftpd=""
for candidate in "${QFTP_VSFTPD:-}" "$top/.servers/vsftpd/usr/sbin/vsftpd" /usr/sbin/vsftpd; do
    if [ -n "$candidate" ] && [ -x "$candidate" ]; then vsftpd=$candidate; break; fi
done
[ -n "$vsftpd" ] || { echo "bench: no vsftpd; run scripts/fetch-servers.sh (make deps)" >&2; exit 1; }
for tool in curl lftp python3; do
    command -v "$tool" >/dev/null || { echo "bench: $tool is missing (make deps)" >&2; exit 1; }
done
[ "$(id -u)" = 0 ] || { echo "bench: vsftpd's chroot needs root" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/qftp-bench.XXXXXX")
server_pid=""
cleanup() {
    if [ -n "$server_pid" ]; then
        kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

root="$work/root"
mkdir -p "$root/many" "$root/up" "$work/empty" "$work/out"
chmod 755 "$work" "$root" "$root/many" "$root/up" "$work/empty"
chown daemon "$root/up"  # the anonymous user's uploads land here

echo "bench: making the data (1 GiB file, 1000 files of 4 KiB)"
head -c $((1 << 30)) /dev/urandom >"$root/big.bin"
python3 - "$root/many" <<'PY'
import os, sys
for i in range(1000):
    with open(os.path.join(sys.argv[1], "f%04d.bin" % i), "wb") as f:
        f.write(os.urandom(4096))
PY
chmod -R a+rX "$root"

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
sed -e "s|@PORT@|$port|" -e "s|@ROOT@|$root|" -e "s|@EMPTY_DIR@|$work/empty|" \
    "$top/bench/vsftpd.conf.in" >"$work/vsftpd.conf"
chmod 600 "$work/vsftpd.conf"
"$vsftpd" "$work/vsftpd.conf" >"$work/vsftpd.log" 2>&1 &
server_pid=$!
ready=0
for _ in $(seq 1 100); do
    if python3 - "$port" <<'PY' 2>/dev/null; then ready=1; break; fi
import socket, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=1)
sys.exit(0 if s.recv(64).startswith(b"220") else 1)
PY
    sleep 0.05
done
[ "$ready" = 1 ] || { echo "bench: vsftpd did not start:" >&2; cat "$work/vsftpd.log" >&2; exit 1; }
echo "bench: $("$vsftpd" -v 0>&1 2>&1 | head -1) on 127.0.0.1:$port (anonymous)"
url="ftp://127.0.0.1:$port"
cat "$root/big.bin" >/dev/null  # the server reads from the page cache in every round

now() { date +%s.%N; }
# timed NAME COMMAND...: one run from an empty output folder, with the
# previous run's writes flushed first; prints the seconds it took.
timed() {
    local start end
    rm -rf "$work/out" "$root/up/big.bin" && mkdir -p "$work/out" && sync
    start=$(now)
    "$@"
    end=$(now)
    verify "$1"
    awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }'
}
min() { awk -v a="$1" -v b="$2" 'BEGIN { print (b == "" || a < b) ? a : b }'; }

ours_big() { "$cli" -P "$port" -c "get /big.bin $work/out/big.bin" 127.0.0.1 >/dev/null 2>&1; }
ours_put() { "$cli" -P "$port" -c "put $root/big.bin /up/big.bin" 127.0.0.1 >/dev/null 2>&1; }
ours1k_put() { "$cli" -P "$port" -b 1024 -c "put $root/big.bin /up/big.bin" 127.0.0.1 >/dev/null 2>&1; }
curl_put() { curl -s -S -T "$root/big.bin" "$url/up/big.bin"; }
curl_big() { curl -s -S -o "$work/out/big.bin" "$url/big.bin"; }
ours_many() {
    for i in $(seq -f %04g 0 999); do echo "get /many/f$i.bin $work/out/f$i.bin"; done |
        "$cli" -P "$port" 127.0.0.1 >/dev/null 2>&1
}
curl_many() {
    for i in $(seq -f %04g 0 999); do curl -s -S -o "$work/out/f$i.bin" "$url/many/f$i.bin"; done
}
lftp_many() { lftp -c "set cmd:interactive no; open -p $port 127.0.0.1; mirror --parallel=1 /many $work/out" >/dev/null; }

verify() {
    case "$1" in
        *_put) cmp -s "$root/big.bin" "$root/up/big.bin" || { echo "bench: $1 stored a wrong file" >&2; exit 1; } ;;
        *_big) cmp -s "$root/big.bin" "$work/out/big.bin" || { echo "bench: $1 fetched a wrong file" >&2; exit 1; } ;;
        *_many)
            for i in 0000 0001 0499 0998 0999; do
                cmp -s "$root/many/f$i.bin" "$work/out/f$i.bin" || { echo "bench: $1 fetched a wrong f$i.bin" >&2; exit 1; }
            done
            [ "$(find "$work/out" -type f | wc -l)" = 1000 ] || { echo "bench: $1 did not fetch 1000 files" >&2; exit 1; }
            ;;
    esac
}

echo "bench: $rounds rounds, ours and the peers taking turns; best time kept"
t_ours_big="" t_curl_big="" t_ours_many="" t_curl_many="" t_lftp_many=""
t_ours_put="" t_ours1k_put="" t_curl_put=""
for round in $(seq 1 "$rounds"); do
    t_ours_big=$(min "$(timed ours_big)" "$t_ours_big")
    t_curl_big=$(min "$(timed curl_big)" "$t_curl_big")
    t_ours_many=$(min "$(timed ours_many)" "$t_ours_many")
    t_curl_many=$(min "$(timed curl_many)" "$t_curl_many")
    t_lftp_many=$(min "$(timed lftp_many)" "$t_lftp_many")
    t_ours_put=$(min "$(timed ours_put)" "$t_ours_put")
    t_curl_put=$(min "$(timed curl_put)" "$t_curl_put")
    t_ours1k_put=$(min "$(timed ours1k_put)" "$t_ours1k_put")
    echo "bench: round $round done"
done

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
rate() { awk -v s="$1" 'BEGIN { printf "%.0f MiB/s", 1024 / s }'; }
echo
printf '%-44s %10s %10s %10s\n' "case" "ours (s)" "peer (s)" "ours/peer"
printf '%-44s %10s %10s %10s\n' "(a) 1 GiB file vs curl" "$t_ours_big" "$t_curl_big" "$(ratio "$t_ours_big" "$t_curl_big")"
printf '%-44s %10s %10s %10s\n' "(b) 1000 x 4 KiB vs curl, process per file" "$t_ours_many" "$t_curl_many" "$(ratio "$t_ours_many" "$t_curl_many")"
printf '%-44s %10s %10s %10s\n' "(b) 1000 x 4 KiB vs lftp mirror" "$t_ours_many" "$t_lftp_many" "$(ratio "$t_ours_many" "$t_lftp_many")"
printf '%-44s %10s %10s %10s\n' "(c) 1 GiB put vs curl -T" "$t_ours_put" "$t_curl_put" "$(ratio "$t_ours_put" "$t_curl_put")"
printf '%-44s %10s %10s %10s\n' "(c) 1 GiB put, 1024-byte sends, vs curl -T" "$t_ours1k_put" "$t_curl_put" "$(ratio "$t_ours1k_put" "$t_curl_put")"
echo
echo "1 GiB: ours $(rate "$t_ours_big"), curl $(rate "$t_curl_big")"
echo "1 GiB up: ours $(rate "$t_ours_put"), ours at 1024-byte sends $(rate "$t_ours1k_put"), curl $(rate "$t_curl_put")"
echo "targets: (a) ours/curl <= 1.00; (b) ours/curl per file <= 1.00; (c) ours/curl <= 1.00"
