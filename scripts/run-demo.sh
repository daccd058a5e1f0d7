#!/usr/bin/env bash
# make run: starts a demo FTP server on loopback (pyftpdlib, user demo,
# password demo) over a sample tree made at the first run, opens the window,
# and stops the server when the window closes.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${1:-build}
PROGRAM="$BUILD_DIR/app/quorvel-ftp"
DEMO_DIR=demo
ROOT="$DEMO_DIR/ftp-root"
PYTHON=/usr/bin/python3

if [ ! -x "$PROGRAM" ]; then
  echo "missing $PROGRAM: build first (make build)" >&2
  exit 1
fi
mkdir -p "$DEMO_DIR"
[ -d "$ROOT" ] || "$PYTHON" scripts/make-demo-tree.py "$ROOT"

# 2121, or the next port nobody listens on.
PORT=$("$PYTHON" - <<'PY'
import socket
for port in range(2121, 2221):
    s = socket.socket()
    try:
        s.bind(("127.0.0.1", port))
    except OSError:
        continue
    finally:
        s.close()
    print(port)
    break
PY
)
if [ -z "$PORT" ]; then
  echo "no free port between 2121 and 2220" >&2
  exit 1
fi

"$PYTHON" -m pyftpdlib -i 127.0.0.1 -p "$PORT" -w -d "$ROOT" -u demo -P demo \
  >"$DEMO_DIR/ftp-server.log" 2>&1 &
SERVER_PID=$!
stop_server() {
  if kill -0 "$SERVER_PID" 2>/dev/null; then
    kill "$SERVER_PID" 2>/dev/null || true
    wait "$SERVER_PID" 2>/dev/null || true
  fi
}
trap stop_server EXIT INT TERM

# Wait (at most 5 s) until the server answers.
for _ in $(seq 50); do
  if "$PYTHON" -c "import socket,sys; socket.create_connection(('127.0.0.1', $PORT), 0.2).close()" 2>/dev/null; then
    break
  fi
  if ! kill -0 "$SERVER_PID" 2>/dev/null; then
    echo "the demo FTP server did not start:" >&2
    cat "$DEMO_DIR/ftp-server.log" >&2
    exit 1
  fi
  sleep 0.1
done

cat <<MSG

Demo FTP server: 127.0.0.1 port $PORT, serving $ROOT (log: $DEMO_DIR/ftp-server.log)
In the window type:  主机 127.0.0.1   用户名 demo   密码 demo   端口 $PORT
then click 快速连接. Closing the window stops the server.

MSG

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  "$PROGRAM" || true
else
  echo "no display found: running the window on a virtual screen (xvfb-run); stop with Ctrl-C" >&2
  xvfb-run -a -s "-screen 0 1280x800x24" "$PROGRAM" || true
fi
