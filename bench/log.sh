#!/usr/bin/env bash
# Lines per second of EncLogger against the plain Logger (ratio = plain rate / encrypted rate)
# targets: bench_log
set -euo pipefail
build="$1"
lines="${2:-200000}"
work="$(mktemp -d /tmp/qz-bench.XXXXXX)"
trap 'rm -rf "$work"' EXIT
declare -A r
while read -r key value; do r[$key]="$value"; done < <("$build/bench/bench_log" "$work" "$lines")
printf 'Logger %s lines/s, EncLogger %s lines/s (%s lines each)\n' "${r[plain_lines_per_s]}" "${r[enc_lines_per_s]}" "$lines"
printf 'log: ratio=%.2f goal<=3 peak_rss_mib=%s\n' "$(echo "${r[plain_lines_per_s]} / ${r[enc_lines_per_s]}" | bc -l)" "${r[peak_rss_mib]}"
