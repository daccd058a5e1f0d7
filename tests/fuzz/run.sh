#!/bin/sh
# Runs every fuzz target of a QFTP_FUZZ build for a set time, one after the
# other, from the seeds made from the test tables plus the checked-in seeds
# of past findings, and prints executions, coverage and findings per target.
#
#     tests/fuzz/run.sh BUILD_DIR SECONDS [smoke]
#
# A normal run keeps its corpus in BUILD_DIR/fuzz/corpus/<target> and grows it
# from run to run; a smoke run starts from the seeds alone in a fresh folder.
# A crash, a sanitizer report, a leak or a slow input ends that target's run;
# the input is kept in BUILD_DIR/fuzz/artifacts/<target>/ and the script fails.
set -eu

build=$1
seconds=$2
mode=${3:-full}
top=$(cd "$(dirname "$0")/../.." && pwd)
work="$build/fuzz"
targets="listing_parser_fuzz reply_reader_fuzz reply_parsers_fuzz url_session_fuzz gbk_text_fuzz settings_file_fuzz certificate_store_fuzz"

mkdir -p "$work/logs" "$work/tmp"
# Scratch files of the targets (the settings file) stay in the build folder,
# also when a finding ends a run before the target could remove them.
TMPDIR="$work/tmp"
export TMPDIR
python3 "$top/tests/fuzz/make_seeds.py" "$top" "$work/seeds" >/dev/null

failed=""
printf '%-22s %8s %12s %8s %8s %8s  %s\n' target seconds executions exec/s cov ft findings
for target in $targets; do
    binary="$build/tests/fuzz/$target"
    if [ ! -x "$binary" ]; then
        echo "fuzz: $binary is missing (build the fuzz_targets target)" >&2
        exit 1
    fi
    if [ "$mode" = smoke ]; then
        corpus=$(mktemp -d)
    else
        corpus="$work/corpus/$target"
        mkdir -p "$corpus"
    fi
    artifacts="$work/artifacts/$target"
    mkdir -p "$artifacts"
    dirs="$corpus"
    [ -d "$work/seeds/$target" ] && dirs="$dirs $work/seeds/$target"
    [ -d "$top/tests/fuzz/seeds/$target" ] && dirs="$dirs $top/tests/fuzz/seeds/$target"
    log="$work/logs/$target.log"
    status=0
    # shellcheck disable=SC2086 # the folders are separate arguments
    "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$artifacts/" $dirs >"$log" 2>&1 || status=$?
    [ "$mode" = smoke ] && rm -rf "$corpus"
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
    last=$(grep -E '^#[0-9]+' "$log" | tail -n 1)
    cov=$(echo "$last" | sed -n 's/.* cov: \([0-9]*\).*/\1/p')
    ft=$(echo "$last" | sed -n 's/.* ft: \([0-9]*\).*/\1/p')
    if [ "$status" -eq 0 ]; then
        finding=none
    else
        finding="FAILED (exit $status): $(grep -m 1 -E 'ERROR|runtime error|deadly signal|Test unit written' "$log" || true)"
        failed="$failed $target"
    fi
    printf '%-22s %8s %12s %8s %8s %8s  %s\n' "$target" "$seconds" "${runs:-?}" "${rate:-?}" "${cov:-?}" "${ft:-?}" "$finding"
done
if [ -n "$failed" ]; then
    echo "fuzz: findings in:$failed (logs in $work/logs, inputs in $work/artifacts)" >&2
    exit 1
fi
