#!/usr/bin/env bash
# The main job on a fresh simulated Windows 10 x64 machine against the bundled reference server:
# publish agent build 330, build a site installer and install with it, publish build 331 and
# update to it, then uninstall with the delivered uninstaller,
# showing at every step what happened.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
  cat <<'USAGE'
usage: scripts/demo.sh [--pki DIR] [--volume-serial HEX] [--ports HTTP,HTTPS] [--keep DIR]
  --pki DIR            use the certificates in DIR (made there first when DIR holds none)
  --volume-serial HEX  the simulated machine's C: volume serial (8 hex digits) instead of a random one
  --ports HTTP,HTTPS   qzserver's ports instead of free ones
  --keep DIR           keep qzserver's journal and log and the agent's registry export in DIR
With all four, two runs differ only in times and GUIDs (to compare builds).
USAGE
}
PKI_DIR="" VOLUME_SERIAL="" PORTS="" KEEP_DIR=""
while [ $# -gt 0 ]; do
  case "$1" in
    --pki) PKI_DIR=${2:?}; shift 2 ;;
    --volume-serial) VOLUME_SERIAL=${2:?}; shift 2 ;;
    --ports) PORTS=${2:?}; shift 2 ;;
    --keep) KEEP_DIR=${2:?}; shift 2 ;;
    -h | --help) usage; exit 0 ;;
    *) usage >&2; exit 2 ;;
  esac
done

step=0
say() { step=$((step + 1)); printf '\n== %d. %s\n' "$step" "$*"; }
indent() { sed 's/^/    /'; }
fail() { printf '\nDEMO FAILED: %s\n' "$*" >&2; exit 1; }
# shellcheck source=site_lib.sh
. scripts/site_lib.sh

printf '== Preparing: installing what is missing and building (this takes a while the first time)\n'
scripts/bootstrap.sh
cmake --preset default >/dev/null
cmake --build --preset default >/dev/null
BIN="$PWD/build/default/bin"
WINSIM="$BIN/winsim"
QZPACK="$BIN/qzpack"

WORK="$(mktemp -d /tmp/qz-demo.XXXXXX)"
SERVER_PID=""
cleanup() {
  [ -n "$SERVER_PID" ] && kill "$SERVER_PID" 2>/dev/null && wait "$SERVER_PID" 2>/dev/null
  if [ -n "$KEEP_DIR" ]; then
    mkdir -p "$KEEP_DIR"
    cp "$WORK"/journal.txt "$WORK"/server.log "$KEEP_DIR"/ 2>/dev/null || true
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT
# The agent's stop sequence waits up to tens of seconds between its steps; run those pauses 100
# times faster. Network waits and clocks are never scaled.
export WINSIM_TIME_SCALE=0.01

SETUP='C:\bc8f992f5df34654945e6e32a5aa400c'
INSTALL_WIN='C:\Program Files (x86)\varnholt\KSM'
PKI="${PKI_DIR:-$WORK/pki}"
RELEASE="$WORK/release"
AGENT="$WORK/agent"
MACHINE="$WORK/pc1"
mkdir -p "$PKI" "$AGENT"

# The agent's 24 files: the stand-in programs and library play the agent; the other libraries are
# small data files with the right names.
make_agent() {  # build number
  local build=$1 f
  for f in qzAgentUtil.dll qzClientInfo.dll qzCrypto.dll qzNSI.dll qzLogger.dll qzPatchMan.dll qzSecureZip.dll \
           qzWebQuery.dll qzCommon.dll qzIPC.dll qzPCKeeperUI.dll qzPatchCom.dll qzPatcher.dll qzPCKeeper.dll \
           msvcr110.dll msvcp110.dll; do
    printf 'stand-in %s of agent build %s\n' "$f" "$build" >"$AGENT/$f"
  done
  for f in qzTarlinSvc lmvAgent lmvAssistant lmvKeeper qzNoticeView; do cp "$BIN/$f" "$AGENT/$f.exe"; done
  cp "$BIN/qzComDrv.dll" "$AGENT/qzComDrv.dll"
  cp "$BIN/qzUpdater" "$AGENT/qzUpdater.exe"
}

say "Making fresh certificates with qzpack: a CA, the file-signing certificate and the server's TLS certificate"
if [ -s "$PKI/ca.pem" ] && [ -s "$PKI/fs.crt" ] && [ -s "$PKI/tls.crt" ]; then
  echo "(reusing the certificates in $PKI)"
else
  make_pki "$PKI"
fi
ls "$PKI" | indent

say "Publishing agent build 330 (the stand-ins) with qzpack release"
make_agent 330
"$QZPACK" release --agent "$AGENT" --build 330 --ca "$PKI/ca.pem" --fs-cert "$PKI/fs.crt" --fs-key "$PKI/fs.key" \
  --out "$RELEASE" | indent
echo "The release folder: every module signed as NAME.qz, the signed definition qzAgent.xmd, the certificates:"
(cd "$RELEASE" && find . -type f | sort | head -8 && echo "    ... $(find . -type f | wc -l) files") | indent

say "Starting qzserver on 127.0.0.1 with that release folder"
if [ -n "$PORTS" ]; then
  start_server "$RELEASE" "$PKI" --journal "$WORK/journal.txt" --http-port "${PORTS%,*}" --https-port "${PORTS#*,}"
else
  start_server "$RELEASE" "$PKI" --journal "$WORK/journal.txt"
fi
echo "qzserver listens: HTTPS on port $HTTPS_PORT, HTTP on port $HTTP_PORT"

say "Building the site installer with qzpack setup: release 330, the site's settings, certmgr.exe, the drivers"
write_site_settings "$WORK/site.cfg"
cat "$WORK/site.cfg" | indent
# "-hide": no window, as an administrator pushes the installer to many PCs.
"$QZPACK" setup --program "$BIN/qzSetup" --tool "$BIN/7zr.exe" --mode -hide --out "$WORK/qzSetup.exe" \
  --release "$RELEASE" --dir "$BIN/drivers" "$WORK/site.cfg=server.cfg" "$BIN/certmgr.exe" | indent
echo "The site installer qzSetup.exe: $(stat -c %s "$WORK/qzSetup.exe") bytes, its payload inside."

say "A fresh Windows 10 x64 machine; the installer copied to C:\\Users\\Public"
"$WINSIM" new "$MACHINE" --os win10-x64 | indent
[ -z "$VOLUME_SERIAL" ] || "$WINSIM" set "$MACHINE" volume C "$VOLUME_SERIAL" present | indent
mkdir -p "$("$WINSIM" path "$MACHINE" 'C:\Users\Public')"
cp "$WORK/qzSetup.exe" "$("$WINSIM" path "$MACHINE" 'C:\Users\Public\qzSetup.exe')"

run_updater() {  # description, arguments (after the program name)
  echo "Running: qzUpdater.exe $2   ($1)"
  local out
  out="$("$WINSIM" run "$MACHINE" --cwd "$INSTALL_WIN" -- "\"$INSTALL_WIN\\qzUpdater.exe\" $2" 2>&1)" || true
  CODE="$(printf '%s\n' "$out" | tail -n 1)"
  printf '%s\n' "$out" | head -n -1 | indent
  echo "qzUpdater exited with $CODE"
}
server_notes() {  # the server's readable notes since the last call
  local seen=${NOTES_SEEN:-0}
  grep -a 'Qz-Note\|^log\|^alive\|^tmp_web' "$WORK/server.log" | tail -n +$((seen + 1)) | indent || true
  NOTES_SEEN="$(grep -ac 'Qz-Note\|^log\|^alive\|^tmp_web' "$WORK/server.log" || true)"
}
requests() {  # requests the server answered so far
  if [ -f "$WORK/journal.txt" ]; then grep -ac '^REQ ' "$WORK/journal.txt" || true; else echo 0; fi
}
result_value() {  # the installer's result, HKLM\SOFTWARE\Varnholt\KSM\Install value01
  "$WINSIM" reg "$MACHINE" query 'HKLM\SOFTWARE\WOW6432Node\Varnholt\KSM\Install' value01 2>/dev/null |
    sed -n 's/.*REG_SZ: "\(.*\)"$/\1/p'
}
run_installer() {  # Windows path of the installer
  echo "Running: $1"
  local out
  out="$("$WINSIM" run "$MACHINE" --cwd 'C:\Users\Public' -- "$1" 2>&1)" || true
  CODE="$(printf '%s\n' "$out" | tail -n 1)"
  echo "qzSetup exited with $CODE; its result value Install\\value01 = \"$(result_value)\""
}

say "Installing: the site installer, hidden (it removes any previous agent through its own qzUpdater first)"
run_installer 'C:\Users\Public\qzSetup.exe'
[ "$CODE" = "1" ] && [ "$(result_value)" = "0" ] || fail "the install did not finish: exit $CODE, value01 '$(result_value)'"
echo "Message boxes shown: $("$WINSIM" journal "$MACHINE" | grep -c '^#.* MessageBox' || true) (a hidden install shows one only on failure)"
echo "What the agent's stand-in service said (the desktop journal's debug output):"
"$WINSIM" journal "$MACHINE" | sed -n 's/^ *text: //p' | indent
echo "Processes: the agent's service runs"
"$WINSIM" ps "$MACHINE" | indent
"$WINSIM" ps "$MACHINE" | grep -q qzTarlinSvc.exe || fail "the agent's service does not run after the install"
INSTALL_HOST="$("$WINSIM" path "$MACHINE" "$INSTALL_WIN")"
echo "The install folder now holds $(find "$INSTALL_HOST" -maxdepth 1 -type f | wc -l) files; the drivers for V3-2 on 64-bit Windows 10:"
(cd "$INSTALL_HOST" && ls *.sys qzComDrv.dll) | indent
echo "The setup folder is $( [ -e "$("$WINSIM" path "$MACHINE" "$SETUP")" ] && echo 'still there' || echo 'gone')."
echo "What the server received (its readable notes):"
server_notes
AFTER_INSTALL=$(requests)

say "Publishing build 331: two changed modules, one removed (qzNSI.dll), a new server.cfg"
make_agent 331
printf 'build 331 changed this library\n' >>"$AGENT/qzAgentUtil.dll"
printf 'build 331 changed this library\n' >>"$AGENT/qzCommon.dll"
# Only two modules change in this build: the others keep build 330's bytes.
for f in "$AGENT"/*.dll; do
  case "$(basename "$f")" in qzAgentUtil.dll | qzCommon.dll) ;; *) sed -i 's/agent build 331/agent build 330/' "$f" ;; esac
done
rm "$AGENT/qzNSI.dll"
cat >"$WORK/server-331.cfg" <<CFG
<?xml version="1.0" encoding="UTF-8"?>
<tarlinLMV version="3.0">
  <serial>VH-2024-0001</serial>
  <server>127.0.0.1</server>
  <pk_server>127.0.0.3</pk_server>
  <port>$HTTP_PORT</port>
  <ssl>$HTTPS_PORT</ssl>
</tarlinLMV>
CFG
mkdir -p "$WORK/manifest"
cp "$WORK/server-331.cfg" "$WORK/manifest/server.cfg"
printf 'remove qzNSI.dll\nconfig server.cfg\n' >"$WORK/manifest/manifest.txt"
"$QZPACK" release --agent "$AGENT" --build 331 --manifest "$WORK/manifest/manifest.txt" --ca "$PKI/ca.pem" \
  --fs-cert "$PKI/fs.crt" --fs-key "$PKI/fs.key" --out "$RELEASE" | indent

say "Updating: qzUpdater (update mode, as the agent runs it; the service is started again at the end)"
run_updater "update mode" ""
[ "$CODE" = "0" ] || fail "update exited with $CODE"
"$WINSIM" ps "$MACHINE" | grep -q qzTarlinSvc.exe || fail "the agent's service does not run after the update"
echo "Installed modules against build 331's published checksums:"
ok=0 bad=0
for f in "$AGENT"/*; do
  n="$(basename "$f")"
  if cmp -s "$f" "$INSTALL_HOST/$n"; then ok=$((ok + 1)); else bad=$((bad + 1)); echo "    differs: $n"; fi
done
echo "    $ok equal, $bad different; qzNSI.dll is $( [ -e "$INSTALL_HOST/qzNSI.dll" ] && echo 'still there' || echo 'removed')"
[ "$bad" = "0" ] || fail "installed files differ from build 331"
[ ! -e "$INSTALL_HOST/qzNSI.dll" ] || fail "qzNSI.dll was not removed"
echo "What the server received during the update:"
server_notes
echo "Requests of the update run: $(($(requests) - AFTER_INSTALL)) (agent commands by name, and downloads):"
awk -v skip="$AFTER_INSTALL" '/^REQ /{n++; p=$4; sub("path=","",p); if (n>skip && p!="/CAgentRequest") print p}
  n>skip && match($0, /&_c=[a-z_]+/){print "command " substr($0, RSTART+4, RLENGTH-4)}' "$WORK/journal.txt" |
  sort | uniq -c | indent

say "The agent's registry tree (winsim reg export; sealed values are bound to this machine)"
"$WINSIM" reg "$MACHINE" export 'HKLM\SOFTWARE\WOW6432Node\Varnholt\KSM' | tee "$WORK/agent-tree.reg" | indent
[ -z "$KEEP_DIR" ] || { mkdir -p "$KEEP_DIR" && cp "$WORK/agent-tree.reg" "$KEEP_DIR/"; }

say "The updater's log, decrypted with qzlog (SYSTEM level and above)"
"$BIN/qzlog" --level SYSTEM "$INSTALL_HOST/logs" | indent

say "Uninstalling with the delivered uninstaller (bin/qzSetup-uninstall.exe, built by the build)"
cp "$BIN/qzSetup-uninstall.exe" "$("$WINSIM" path "$MACHINE" 'C:\Users\Public\qzSetup-uninstall.exe')"
run_installer 'C:\Users\Public\qzSetup-uninstall.exe'
echo "Its message: $("$WINSIM" journal "$MACHINE" | grep -A2 'MessageBox' | sed -n 's/^ *text: //p' | tail -n 1)"
[ "$CODE" = "1" ] && [ "$(result_value)" = "119" ] || fail "the uninstall did not finish: exit $CODE, value01 '$(result_value)'"
echo "Processes of the agent left: $("$WINSIM" ps "$MACHINE" | grep -ci 'qzTarlinSvc\|lmvAgent\|lmvAssistant' || true)"
echo "What remains of the agent in the registry:"
"$WINSIM" reg "$MACHINE" export 'HKLM\SOFTWARE\WOW6432Node\Varnholt' 2>&1 | indent
"$WINSIM" reg "$MACHINE" export 'HKLM\SYSTEM\Software\Varnholt\KSM' 2>&1 | indent
echo "Files scheduled for the next restart (PendingFileRenameOperations):"
"$WINSIM" reg "$MACHINE" query 'HKLM\SYSTEM\CurrentControlSet\Control\Session Manager' PendingFileRenameOperations 2>&1 |
  indent
echo "Restarting the machine (winsim reboot carries out those operations)"
"$WINSIM" reboot "$MACHINE" | indent
echo "The install folder is $( [ -e "$INSTALL_HOST" ] && echo "still there: $(find "$INSTALL_HOST" | wc -l) entries" || echo 'gone')"

printf '\n== Summary\n'
cat <<SUMMARY
    Certificates made by qzpack; builds 330 and 331 published with qzpack release; qzserver on 127.0.0.1.
    A site installer built with qzpack setup from build 330 and the site's settings.
    Install (build 330) on a fresh Windows 10 x64 machine: exit 1 with Install\\value01 "0" (a hidden
    install ends that way), the agent's drivers, files, registry and server.cfg placed, its service running.
    Update to 331: two modules changed, qzNSI.dll removed, server.cfg replaced, every file equal to
    its published checksum, the service running again.
    Uninstall by the delivered qzSetup-uninstall.exe (Install\\value01 "119"): the agent's processes, service, files and registry gone; what stays is the backup GUID
    under HKLM\\SYSTEM\\Software\\Varnholt\\KSM and the files the restart removes.
    Requests the server answered: $(requests).
SUMMARY
