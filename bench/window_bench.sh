#!/bin/sh
# The window's download path against curl and lftp (see bench/window_bench.cpp).
# Usage: bench/window_bench.sh <build dir>; the build needs the window_bench target.
set -eu
build=${1:-build}
exe="$build/bench/window_bench"
[ -x "$exe" ] || exe="$build/tests/window_bench"
[ -x "$exe" ] || { echo "window_bench is not built in $build" >&2; exit 1; }
QT_QPA_PLATFORM=offscreen "$exe"
