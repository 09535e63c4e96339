#!/usr/bin/env bash
# Verify + unpack of a 64 MiB signed module package: ZipArchive::UnzipSignedFile against `unzip` of the same entries; peak RSS at 8 and 64 MiB (goal: ratio <= 1.3)
# targets: bench_unpack qzpack
set -euo pipefail
build="$1"
work="$(mktemp -d /tmp/qz-bench.XXXXXX)"
trap 'rm -rf "$work"' EXIT
qzpack="$build/bin/qzpack"
"$qzpack" ca --cert "$work/ca.pem" --key "$work/ca.key" >/dev/null
"$qzpack" cert --ca "$work/ca.pem" --ca-key "$work/ca.key" --cert "$work/fs.crt" --key "$work/fs.key" >/dev/null

entries=(core.dll strings.txt resources.dat events.log patch.bin)
# Entries of one package of MIB MiB: random (incompressible) data, text, and blocks of both mixed.
make_entries() {  # dir mib
  mkdir -p "$1"
  python3 - "$1" "$2" <<'PY'
import os, sys
d, mib = sys.argv[1], int(sys.argv[2])
total = mib << 20
def text(n, salt):
    lines, size, i = [], 0, 0
    while size < n:
        line = f"{i:09d} {salt} module event {i * 2654435761 % 1000003:07d} state=ok path=C:\\Program Files\\agent\\{i % 97}.dat\n"
        lines.append(line); size += len(line); i += 1
    return "".join(lines).encode()[:n]
def mixed(n):
    out, size, i = [], 0, 0
    while size < n:
        block = os.urandom(4096) if i % 3 == 0 else bytes([i % 251]) * 2048 + text(2048, "mixed")
        out.append(block); size += len(block); i += 1
    return b"".join(out)[:n]
sizes = [total * 3 // 8, total // 4, total // 8, total // 8]
sizes.append(total - sum(sizes))
data = [os.urandom(sizes[0]), text(sizes[1], "strings"), mixed(sizes[2]), text(sizes[3], "events"), mixed(sizes[4])]
for name, blob in zip(["core.dll", "strings.txt", "resources.dat", "events.log", "patch.bin"], data):
    open(os.path.join(d, name), "wb").write(blob)
PY
  (cd "$1" && "$qzpack" sign --key "$work/fs.key" --out "$work/pkg$2.qz" "${entries[@]}" >/dev/null &&
    zip -q -6 "$work/pkg$2.zip" "${entries[@]}")
}

ours() {  # mib -> "seconds peak_rss_mib"
  "$build/bench/bench_unpack" "$work/m" "$work/ca.pem" "$work/fs.crt" "$work/pkg$1.qz" "$work/src$1" "${entries[@]}" |
    awk '{ v[$1] = $2 } END { print v["seconds"], v["peak_rss_mib"] }'
}
peer() {  # mib -> "seconds peak_rss_mib"
  rm -rf "$work/out"
  local start t rss
  start=$(date +%s.%N)
  rss=$( { /usr/bin/time -f '%M' unzip -q -o "$work/pkg$1.zip" -d "$work/out" >/dev/null; } 2>&1)
  t=$(awk -v s="$start" -v e="$(date +%s.%N)" 'BEGIN { print e - s }')
  for e in "${entries[@]}"; do cmp -s "$work/src$1/$e" "$work/out/$e" || { echo "unzip: $e differs" >&2; exit 1; }; done
  echo "$t $(awk -v k="$rss" 'BEGIN { printf "%.1f", k / 1024 }')"
}

make_entries "$work/src8" 8
make_entries "$work/src64" 64
printf 'package sizes: %s bytes (8 MiB of entries), %s bytes (64 MiB); zip: %s, %s\n' \
  "$(stat -c %s "$work/pkg8.qz")" "$(stat -c %s "$work/pkg64.qz")" "$(stat -c %s "$work/pkg8.zip")" "$(stat -c %s "$work/pkg64.zip")"
# Best of three on each side, alternating; both read from a warm page cache and write every entry to disk.
best_ours=1e9 best_peer=1e9
for _ in 1 2 3; do
  read -r p peer_rss < <(peer 64)
  read -r t rss_big < <(ours 64)
  best_ours=$(awk -v a="$t" -v b="$best_ours" 'BEGIN { print (a < b ? a : b) }')
  best_peer=$(awk -v a="$p" -v b="$best_peer" 'BEGIN { print (a < b ? a : b) }')
done
read -r _ rss_small < <(ours 8)
read -r _ peer_small < <(peer 8)
printf 'UnzipSignedFile %.3f s, unzip %.3f s (64 MiB); peak RSS %s MiB at 8 MiB, %s MiB at 64 MiB (unzip: %s, %s MiB)\n' \
  "$best_ours" "$best_peer" "$rss_small" "$rss_big" "$peer_small" "$peer_rss"
printf 'unpack: ratio=%.2f goal<=1.3 peak_rss_mib=%s\n' "$(awk -v a="$best_ours" -v b="$best_peer" 'BEGIN { print a / b }')" "$rss_big"
