#!/usr/bin/env bash
# qzUpdater --update of 24 changed modules (50 MiB) from qzserver on winsim, against `curl` of the same packages plus `unzip` of the same entries (goal: ratio <= 1.2)
# targets: qzUpdater qzserver qzpack winsim agent_standins bench_client_id
set -euo pipefail
build="$1"
bin="$build/bin"
runs=5
# The ratio means something only on an otherwise idle machine: say so when it is not.
read -r load1 load5 load15 _ </proc/loadavg
echo "load average before the run: $load1 $load5 $load15 ($(nproc) cores)"
if awk -v l="$load1" 'BEGIN { exit !(l >= 0.5) }'; then
  echo "the machine is not idle (1-minute load $load1): wall times and the ratio are not those of an idle machine"
fi
work="$(mktemp -d /tmp/qz-bench.XXXXXX)"
server=0
cleanup() {
  kill "$server" 2>/dev/null || true
  # The agent's processes on the bench machine end with it.
  if [ -d "$work/pc" ]; then
    for pid in $("$bin/winsim" ps "$work/pc" 2>/dev/null | awk 'NR > 2 { print $1 }'); do
      "$bin/winsim" kill "$work/pc" "$pid" >/dev/null 2>&1 || true
    done
  fi
  rm -rf "$work"
}
trap cleanup EXIT
# Pauses run 1,000 times shorter (a second argument sets another scale): the stop's fixed waits (9 s on
# a PC) take 9 ms and the service program's 5-minute bound 300 ms, and the alive thread, with the
# client ID the agent stores, sends its first request at once and then waits (60 ms) between requests
# as on a PC, where a zero scale made it spin through its pauses for a third of the run. Network
# waits and clocks are never scaled.
export WINSIM_TIME_SCALE="${2:-0.001}"
setup='C:\bc8f992f5df34654945e6e32a5aa400c'
install='C:\Program Files (x86)\varnholt\KSM'
pki="$work/pki" agent="$work/agent" release="$work/release"
mkdir -p "$pki" "$agent"
"$bin/qzpack" ca --cert "$pki/ca.pem" --key "$pki/ca.key" >/dev/null
"$bin/qzpack" cert --ca "$pki/ca.pem" --ca-key "$pki/ca.key" --cert "$pki/fs.crt" --key "$pki/fs.key" >/dev/null
"$bin/qzpack" cert --tls --ca "$pki/ca.pem" --ca-key "$pki/ca.key" --cert "$pki/tls.crt" --key "$pki/tls.key" \
  --ip 127.0.0.1 >/dev/null

data=(qzAgentUtil.dll qzClientInfo.dll qzCrypto.dll qzNSI.dll qzLogger.dll qzPatchMan.dll qzSecureZip.dll qzWebQuery.dll
      qzCommon.dll qzIPC.dll qzPCKeeperUI.dll qzPatchCom.dll qzPatcher.dll qzPCKeeper.dll msvcr110.dll msvcp110.dll
      qzResource.dll)
programs=(qzTarlinSvc.exe lmvAgent.exe lmvAssistant.exe lmvKeeper.exe qzNoticeView.exe qzComDrv.dll qzUpdater.exe)
# The agent's 24 modules for a build: the stand-in programs (a resource carries the build number,
# so every build changes them) and libraries of data. total_mib 0 makes small libraries.
make_agent() {  # build total_mib
  local build=$1 f
  for f in qzTarlinSvc lmvAgent lmvAssistant lmvKeeper qzNoticeView; do cp "$bin/$f" "$agent/$f.exe"; done
  cp "$bin/qzComDrv.dll" "$agent/qzComDrv.dll"
  cp "$bin/qzUpdater" "$agent/qzUpdater.exe"
  printf '%s' "$build" >"$work/build.txt"
  for f in "${programs[@]}"; do "$bin/winsim" stamp "$agent/$f" --res BENCH BUILD 0 "$work/build.txt" >/dev/null; done
  local fixed
  fixed=$(cd "$agent" && cat "${programs[@]}" | wc -c)
  python3 - "$agent" "$build" "$(( ($2 << 20) - fixed ))" "${data[@]}" <<'PY'
import os, sys
d, build, rest, names = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4:]
def text(n, salt):
    lines, size, i = [], 0, 0
    while size < n:
        line = f"{i:09d} {salt} build {build} export {i * 2654435761 % 1000003:07d} ordinal={i % 4093}\n"
        lines.append(line); size += len(line); i += 1
    return "".join(lines).encode()[:n]
for k, name in enumerate(names):
    if rest <= 0:
        blob = f"library {name} of agent build {build}\n".encode()
    else:
        n = rest // len(names) + (rest % len(names) if k == len(names) - 1 else 0)
        # Code-like libraries: incompressible sections beside text and padding.
        third = n // 3
        blob = os.urandom(third) + text(third, name) + bytes([k]) * (n - 2 * third)
    open(os.path.join(d, name), "wb").write(blob)
PY
}

make_agent 330 0
"$bin/qzpack" release --agent "$agent" --build 330 --ca "$pki/ca.pem" --fs-cert "$pki/fs.crt" --fs-key "$pki/fs.key" \
  --out "$release" >/dev/null
start_server() {  # https_port http_port [site setting]...
  rm -f "$work/ports"
  "$bin/qzserver" --root "$release" --journal "$work/journal.txt" --cert "$pki/tls.crt" --key "$pki/tls.key" \
    --https-port "$1" --port-file "$work/ports" --http-port "$2" --set lang=1 "${@:3}" >>"$work/server.log" 2>&1 &
  server=$!
  for _ in $(seq 200); do grep -q "^https=" "$work/ports" 2>/dev/null && grep -q "^http=" "$work/ports" && break; sleep 0.05; done
  https="$(sed -n 's/^https=//p' "$work/ports")"
  http="$(sed -n 's/^http=//p' "$work/ports")"
}
start_server 0 0

"$bin/winsim" new "$work/pc" --os win10-x64 >/dev/null
setup_host="$("$bin/winsim" path "$work/pc" "$setup")"
install_host="$("$bin/winsim" path "$work/pc" "$install")"
mkdir -p "$setup_host"
cp "$agent"/* "$release/agent/qzAgent.xmd" "$release/certs/qorv-ca.pem" "$release/certs/qorv-fs.crt" \
  "$release/local-fs.crt" "$bin"/drivers/*.sys "$setup_host/"
cat >"$setup_host/server.cfg" <<CFG
<?xml version="1.0" encoding="UTF-8"?>
<tarlinLMV version="3.0">
  <serial>VH-2024-0001</serial>
  <server>127.0.0.1</server>
  <port>$http</port>
  <ssl>$https</ssl>
</tarlinLMV>
CFG
code=$("$bin/winsim" run "$work/pc" --cwd "$setup" -- "\"$setup\\qzUpdater.exe\" --install" 2>/dev/null | tail -n 1)
[ "$code" = "0" ] || { echo "install exited with $code" >&2; exit 1; }
# The server has since assigned the agent its client ID, which the agent keeps in the registry.
"$build/bench/bench_client_id" "$work/pc" 7
kill "$server" && wait "$server" 2>/dev/null || true
start_server "$https" "$http" --set default_client=7

# One update run of the installed agent: "seconds peak_rss_mib exit".
update() {
  local updater="$setup" start t rss out
  [ -e "$setup_host/qzUpdater.exe" ] || updater="$install"
  start=$(date +%s.%N)
  # The largest resident set of winsim run and the processes it waits for: the updater.
  out=$(/usr/bin/time -f '%M' -o "$work/rss" "$bin/winsim" run "$work/pc" --cwd "$updater" -- \
    "\"$updater\\qzUpdater.exe\" --update" 2>/dev/null)
  t=$(awk -v s="$start" -v e="$(date +%s.%N)" 'BEGIN { print e - s }')
  rss=$(tail -n 1 "$work/rss")
  echo "$t $(awk -v k="$rss" 'BEGIN { printf "%.1f", k / 1024 }') $(printf '%s\n' "$out" | tail -n 1)"
}
# The peer: the same packages over one curl, and unzip of ZIPs of the same entries.
peer() {  # build
  local start t urls=() p
  rm -rf "$work/peer" && mkdir -p "$work/peer/dl" "$work/peer/out"
  for p in $(grep -a '^REQ ' "$work/journal.txt" | tail -n +$((mark + 1)) | sed -n 's/.* path=\([^ ]*\.\(qz\|xmd\)\) .*/\1/p'); do
    urls+=("https://127.0.0.1:$https$p" -o "$work/peer/dl/$(basename "$p")")
  done
  [ ${#urls[@]} -gt 0 ] || { echo "the update downloaded nothing" >&2; exit 1; }
  start=$(date +%s.%N)
  curl -sfk "${urls[@]}"
  for p in "${data[@]}" "${programs[@]}"; do unzip -q -o "$work/zips/$p.zip" -d "$work/peer/out"; done
  t=$(awk -v s="$start" -v e="$(date +%s.%N)" 'BEGIN { print e - s }')
  for p in "${data[@]}" "${programs[@]}"; do cmp -s "$agent/$p" "$work/peer/out/$p" || { echo "unzip: $p differs" >&2; exit 1; }; done
  echo "$t $(( ${#urls[@]} / 3 )) $(du -cb "$work/peer/dl" | tail -n 1 | cut -f1)"
}

# The middle value of a list of numbers.
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

ours=() peers=() peak=0
for build in $(seq 331 $((330 + runs))); do
  make_agent "$build" 50
  "$bin/qzpack" release --agent "$agent" --build "$build" --ca "$pki/ca.pem" --fs-cert "$pki/fs.crt" \
    --fs-key "$pki/fs.key" --out "$release" >/dev/null
  rm -rf "$work/zips" && mkdir -p "$work/zips"
  (cd "$agent" && for p in "${data[@]}" "${programs[@]}"; do zip -q -6 "$work/zips/$p.zip" "$p"; done)
  mark=$(grep -ac '^REQ ' "$work/journal.txt" || true)
  r=$(update); read -r t rss code <<<"$r"
  [ "$code" = "0" ] || { echo "update to $build exited with $code" >&2; exit 1; }
  for p in "${data[@]}" "${programs[@]}"; do
    cmp -s "$agent/$p" "$install_host/$p" || { echo "after the update to $build, $p differs" >&2; exit 1; }
  done
  r=$(peer "$build"); read -r p count bytes <<<"$r"
  printf 'build %s: qzUpdater %.3f s (peak RSS %s MiB), curl of %s packages (%s bytes) + unzip %.3f s\n' \
    "$build" "$t" "$rss" "$count" "$bytes" "$p"
  ours+=("$t") peers+=("$p")
  peak=$(awk -v a="$rss" -v b="$peak" 'BEGIN { print (a > b ? a : b) }')
done
# The same run with nothing to update: the fixed part (requests, certificate checks, the agent's stop and start if any).
mark=$(grep -ac '^REQ ' "$work/journal.txt" || true)
r=$(update); read -r t0 _ code0 <<<"$r"
printf 'an update run with nothing to update: %.3f s (exit %s, %s requests)\n' "$t0" "$code0" \
  "$(( $(grep -ac '^REQ ' "$work/journal.txt") - mark ))"
mid_ours=$(median "${ours[@]}") mid_peer=$(median "${peers[@]}")
read -r load1 load5 load15 _ </proc/loadavg
printf 'qzUpdater %.3f s, curl + unzip %.3f s (medians of %d runs; 24 modules, 50 MiB); peak RSS %s MiB; load average now %s %s %s\n' \
  "$mid_ours" "$mid_peer" "$runs" "$peak" "$load1" "$load5" "$load15"
printf 'update: ratio=%.2f goal<=1.2 peak_rss_mib=%s\n' "$(awk -v a="$mid_ours" -v b="$mid_peer" 'BEGIN { print a / b }')" "$peak"
