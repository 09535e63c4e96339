#!/usr/bin/env bash
# 256 MiB over loopback HTTPS: WebQuery::DownloadHttps against `curl`; peak RSS at 16 and 256 MiB (goal: ratio <= 1.2)
# targets: bench_download qzserver
set -euo pipefail
build="$1"
work="$(mktemp -d /tmp/qz-bench.XXXXXX)"
server=0
trap 'kill "$server" 2>/dev/null || true; rm -rf "$work"' EXIT
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=qz-bench -addext "subjectAltName=IP:127.0.0.1" \
  -keyout "$work/key.pem" -out "$work/cert.pem" >/dev/null 2>&1
mkdir -p "$work/release/agent"
head -c $((256 << 20)) /dev/urandom >"$work/release/agent/big.bin"
head -c $((16 << 20)) /dev/urandom >"$work/release/agent/small.bin"
"$build/bin/qzserver" --root "$work/release" --cert "$work/cert.pem" --key "$work/key.pem" \
  --https-port 0 --port-file "$work/ports" >/dev/null 2>&1 &
server=$!
for _ in $(seq 200); do [ -f "$work/ports" ] && break; sleep 0.05; done
port="$(sed -n 's/^https=//p' "$work/ports")"

ours() {  # size path -> "seconds peak_rss_mib"
  mkdir -p "$work/m"
  "$build/bench/bench_download" "$work/m" "$port" "$2" "$1" | awk '{ v[$1] = $2 } END { print v["seconds"], v["peak_rss_mib"] }'
  rm -rf "$work/m"
}
# Best of three on each side, alternating; both write the file to disk.
best_ours=1e9 best_peer=1e9
for _ in 1 2 3; do
  start=$(date +%s.%N)
  curl -sk -o "$work/curl.bin" "https://127.0.0.1:$port/agent/big.bin"
  peer=$(awk -v s="$start" -v e="$(date +%s.%N)" 'BEGIN { print e - s }')
  read -r t rss_big < <(ours $((256 << 20)) /agent/big.bin)
  best_ours=$(awk -v a="$t" -v b="$best_ours" 'BEGIN { print (a < b ? a : b) }')
  best_peer=$(awk -v a="$peer" -v b="$best_peer" 'BEGIN { print (a < b ? a : b) }')
done
read -r _ rss_small < <(ours $((16 << 20)) /agent/small.bin)
printf 'WebQuery %.3f s, curl %.3f s (256 MiB); peak RSS %s MiB at 16 MiB, %s MiB at 256 MiB\n' \
  "$best_ours" "$best_peer" "$rss_small" "$rss_big"
printf 'download: ratio=%.2f goal<=1.2 peak_rss_mib=%s\n' "$(awk -v a="$best_ours" -v b="$best_peer" 'BEGIN { print a / b }')" "$rss_big"
