#!/usr/bin/env bash
# SHA-256 of a 256 MiB file through the platform, against `openssl dgst -sha256` (goal: ratio <= 1.1)
# targets: bench_digest
set -euo pipefail
build="$1"
mib="${2:-256}"
work="$(mktemp -d /tmp/qz-bench.XXXXXX)"
trap 'rm -rf "$work"' EXIT
coproc BENCH { "$build/bench/bench_digest" "$work" "$mib"; }
declare -A r
while read -r key value <&"${BENCH[0]}"; do
  r[$key]="$value"
  [ "$key" = "peak_rss_mib" ] && break
done
file="${r[file]}"
# The peer reads the same file; a warm page cache for both (ours ran first on a freshly written file).
start=$(date +%s.%N)
peer_digest="$(openssl dgst -sha256 -r "$file" | cut -d' ' -f1 | tr a-f A-F)"
peer=$(echo "$(date +%s.%N) - $start" | bc -l)
start=$(date +%s.%N)
sha256sum "$file" >/dev/null
sha=$(echo "$(date +%s.%N) - $start" | bc -l)
exec {BENCH[1]}>&-
wait "$BENCH_PID" || true
[ "$peer_digest" = "${r[digest]}" ] || { echo "digests differ: ${r[digest]} vs $peer_digest" >&2; exit 1; }
printf 'ours %.3f s, openssl dgst %.3f s, sha256sum %.3f s (%s MiB)\n' "${r[ours]}" "$peer" "$sha" "$mib"
printf 'digest: ratio=%.2f goal<=1.1 peak_rss_mib=%s\n' "$(echo "${r[ours]} / $peer" | bc -l)" "${r[peak_rss_mib]}"
