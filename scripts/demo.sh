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
  --keep DIR           keep qzserver's journal and log, the agent's registry export and the tools' output (demo.log) in DIR
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
# One line per step result; everything the tools print goes to the log file named at the start.
say() { step=$((step + 1)); printf '%2d. %s\n' "$step" "$*"; }
more() { printf '    %s\n' "$*"; }
fail() { printf '\nDEMO FAILED: %s\n(the tools'"'"' output is in %s)\n' "$*" "$LOG" >&2; exit 1; }
log_section() { printf '\n==== %s\n' "$*" >>"$LOG"; }
quiet() { "$@" >>"$LOG" 2>&1; }  # a tool's output into the log; its status kept
# shellcheck source=site_lib.sh
. scripts/site_lib.sh

LOG="${KEEP_DIR:+$KEEP_DIR/demo.log}"
[ -n "$KEEP_DIR" ] && mkdir -p "$KEEP_DIR"
LOG="${LOG:-$(mktemp /tmp/qz-demo-log.XXXXXX)}"
: >"$LOG"
printf '== VH-KSM agent: publish, install, update and remove it on a simulated Windows 10 x64 PC\n'
printf '== Output of the tools (build, qzpack, 7-Zip, sc, winsim, exports, the decrypted log): %s\n' "$LOG"
printf '== Preparing: installing what is missing and building (a while the first time) ... '
log_section "bootstrap and build"
quiet scripts/bootstrap.sh || fail "scripts/bootstrap.sh failed"
quiet cmake --preset default || fail "cmake --preset default failed"
quiet cmake --build --preset default || fail "the build failed"
echo done
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

log_section "certificates"
if [ -s "$PKI/ca.pem" ] && [ -s "$PKI/fs.crt" ] && [ -s "$PKI/tls.crt" ]; then
  say "Certificates: reusing the CA, file-signing and TLS certificates in $PKI"
else
  quiet make_pki "$PKI" || fail "qzpack could not make the certificates"
  say "Certificates: a CA, the file-signing certificate under it and the server's TLS certificate (qzpack)"
fi

log_section "qzpack release 330"
make_agent 330
quiet "$QZPACK" release --agent "$AGENT" --build 330 --ca "$PKI/ca.pem" --fs-cert "$PKI/fs.crt" \
  --fs-key "$PKI/fs.key" --out "$RELEASE" || fail "qzpack release 330 failed"
say "Published build 330: $(find "$RELEASE/agent" -name '*.qz' | wc -l) signed modules, the signed definition" \
  "qzAgent.xmd, $(find -L "$RELEASE" -type f | wc -l) files in the release folder"

if [ -n "$PORTS" ]; then
  start_server "$RELEASE" "$PKI" --journal "$WORK/journal.txt" --http-port "${PORTS%,*}" --https-port "${PORTS#*,}"
else
  start_server "$RELEASE" "$PKI" --journal "$WORK/journal.txt"
fi
say "qzserver listens on 127.0.0.1 (HTTPS $HTTPS_PORT, HTTP $HTTP_PORT), serving that release folder"

log_section "qzpack setup (site installer)"
write_site_settings "$WORK/site.cfg"
cat "$WORK/site.cfg" >>"$LOG"
# "-hide": no window, as an administrator pushes the installer to many PCs.
quiet "$QZPACK" setup --program "$BIN/qzSetup" --tool "$BIN/7zr.exe" --mode -hide --out "$WORK/qzSetup.exe" \
  --release "$RELEASE" --dir "$BIN/drivers" "$WORK/site.cfg=server.cfg" "$BIN/certmgr.exe" ||
  fail "qzpack setup failed"
say "Site installer qzSetup.exe: $(stat -c %s "$WORK/qzSetup.exe") bytes (release 330, site settings, certmgr.exe, drivers)"

log_section "winsim new"
quiet "$WINSIM" new "$MACHINE" --os win10-x64 || fail "winsim new failed"
[ -z "$VOLUME_SERIAL" ] || quiet "$WINSIM" set "$MACHINE" volume C "$VOLUME_SERIAL" present
mkdir -p "$("$WINSIM" path "$MACHINE" 'C:\Users\Public')"
cp "$WORK/qzSetup.exe" "$("$WINSIM" path "$MACHINE" 'C:\Users\Public\qzSetup.exe')"
say "A fresh Windows 10 x64 machine; the installer copied to C:\\Users\\Public"

run_updater() {  # arguments (after the program name)
  log_section "qzUpdater.exe $1"
  local out
  out="$("$WINSIM" run "$MACHINE" --cwd "$INSTALL_WIN" -- "\"$INSTALL_WIN\\qzUpdater.exe\" $1" 2>&1)" || true
  printf '%s\n' "$out" >>"$LOG"
  CODE="$(printf '%s\n' "$out" | tail -n 1)"
}
server_notes() {  # the server's readable notes since the last call, counted by what they say
  local seen=${NOTES_SEEN:-0}
  grep -a '^log \|^alive \|^tmp_web ' "$WORK/server.log" | tail -n +$((seen + 1)) >"$WORK/notes.txt" || true
  NOTES_SEEN="$(grep -ac '^log \|^alive \|^tmp_web ' "$WORK/server.log" || true)"
  [ -s "$WORK/notes.txt" ] || { echo "nothing"; return; }
  sed -e 's/^log .* msg=/report: /' -e 's/^\(alive\|tmp_web\) .*/\1/' "$WORK/notes.txt" | sort | uniq -c |
    awk '{n=$1; $1=""; printf "%s%s%s", (NR>1?"; ":""), substr($0,2), (n>1?" (x" n ")":"")}'
}
requests() {  # requests the server answered so far
  if [ -f "$WORK/journal.txt" ]; then grep -ac '^REQ ' "$WORK/journal.txt" || true; else echo 0; fi
}
result_value() {  # the installer's result, HKLM\SOFTWARE\Varnholt\KSM\Install value01
  "$WINSIM" reg "$MACHINE" query 'HKLM\SOFTWARE\WOW6432Node\Varnholt\KSM\Install' value01 2>/dev/null |
    sed -n 's/.*REG_SZ: "\(.*\)"$/\1/p'
}
run_installer() {  # Windows path of the installer
  log_section "$1"
  local out
  out="$("$WINSIM" run "$MACHINE" --cwd 'C:\Users\Public' -- "$1" 2>&1)" || true
  printf '%s\n' "$out" >>"$LOG"
  CODE="$(printf '%s\n' "$out" | tail -n 1)"
}
running() { "$WINSIM" ps "$MACHINE" | grep -q "$1"; }
summarise_pending() {  # file with winsim's query of PendingFileRenameOperations: counted by kind and folder
  python3 - "$1" "$SETUP" "$INSTALL_WIN" <<'PY'
import collections, re, sys
text = open(sys.argv[1], encoding="utf-8", errors="replace").read()
m = re.search(r'REG_MULTI_SZ: "(.*)"', text)
if not m:
    print("nothing"); sys.exit()
raw, out, i = m.group(1), [], 0
while i < len(raw):  # undo winsim's quoting: \\ \0 \" \n \r \t
    if raw[i] == "\\" and i + 1 < len(raw):
        out.append({"0": "\0", "n": "\n", "r": "\r", "t": "\t"}.get(raw[i + 1], raw[i + 1])); i += 2
    else:
        out.append(raw[i]); i += 1
items = "".join(out).split("\0")
pairs = [(items[k], items[k + 1]) for k in range(0, len(items) - 1, 2)]
deletions = [src for src, dst in pairs if not dst]
renames = len(pairs) - len(deletions)
def where(path):
    path = path.replace("\\??\\", "", 1).lower()
    for name, root in (("the setup folder", sys.argv[2]), ("the install folder", sys.argv[3])):
        if path == root.lower() or path.startswith(root.lower() + "\\"):
            return name
    return "elsewhere"
places = collections.Counter(where(src) for src in deletions)
print(f"{len(deletions)} deletions (" + ", ".join(f"{n} in {p}" for p, n in places.most_common()) +
      f"), {renames} renames")
PY
}

run_installer 'C:\Users\Public\qzSetup.exe'
[ "$CODE" = "1" ] && [ "$(result_value)" = "0" ] || fail "the install did not finish: exit $CODE, value01 '$(result_value)'"
running qzTarlinSvc.exe || fail "the agent's service does not run after the install"
log_section "desktop journal and processes after the install"
quiet "$WINSIM" journal "$MACHINE"
quiet "$WINSIM" ps "$MACHINE"
INSTALL_HOST="$("$WINSIM" path "$MACHINE" "$INSTALL_WIN")"
say "Install: qzSetup exit 1 with Install\\value01 \"0\" (installed; a hidden install ends so)," \
  "$("$WINSIM" journal "$MACHINE" | grep -c '^#.* MessageBox' || true) message boxes"
more "the agent's service runs; $(find "$INSTALL_HOST" -maxdepth 1 -type f | wc -l) files in $INSTALL_WIN," \
  "drivers: $(cd "$INSTALL_HOST" && ls *.sys | paste -sd ' ')"
more "the setup folder is $( [ -e "$("$WINSIM" path "$MACHINE" "$SETUP")" ] && echo 'still there' || echo 'gone');" \
  "the server got: $(server_notes) (the installer places the agent without it)"
AFTER_INSTALL=$(requests)

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
log_section "qzpack release 331"
quiet "$QZPACK" release --agent "$AGENT" --build 331 --manifest "$WORK/manifest/manifest.txt" --ca "$PKI/ca.pem" \
  --fs-cert "$PKI/fs.crt" --fs-key "$PKI/fs.key" --out "$RELEASE" || fail "qzpack release 331 failed"
say "Published build 331: qzAgentUtil.dll and qzCommon.dll changed, qzNSI.dll removed, a new server.cfg"

run_updater ""
[ "$CODE" = "0" ] || fail "update exited with $CODE"
running qzTarlinSvc.exe || fail "the agent's service does not run after the update"
ok=0 bad=0
for f in "$AGENT"/*; do
  if cmp -s "$f" "$INSTALL_HOST/$(basename "$f")"; then ok=$((ok + 1)); else bad=$((bad + 1)); fi
done
[ "$bad" = "0" ] || fail "$bad installed files differ from build 331"
[ ! -e "$INSTALL_HOST/qzNSI.dll" ] || fail "qzNSI.dll was not removed"
say "Update: qzUpdater exit 0; all $ok files equal to build 331, qzNSI.dll removed, the service runs again"
more "the server got: $(server_notes)"
more "requests of the run: $(awk -v skip="$AFTER_INSTALL" '/^REQ /{n++; p=$4; sub("path=","",p); if (n>skip && p!="/CAgentRequest") d++}
  n>skip && match($0, /&_c=[a-z_]+/){c[substr($0, RSTART+4, RLENGTH-4)]++}
  END{for (k in c) printf "%s%s", k, (c[k]>1?" x" c[k]:"") ", "; printf "%d downloads", d}' "$WORK/journal.txt")"

log_section "registry export of the agent's tree"
"$WINSIM" reg "$MACHINE" export 'HKLM\SOFTWARE\WOW6432Node\Varnholt\KSM' >"$WORK/agent-tree.reg"
cat "$WORK/agent-tree.reg" >>"$LOG"
[ -z "$KEEP_DIR" ] || cp "$WORK/agent-tree.reg" "$KEEP_DIR/"
say "Registry: the agent's tree under HKLM\\SOFTWARE\\WOW6432Node\\Varnholt\\KSM has" \
  "$(grep -c '^\[' "$WORK/agent-tree.reg") keys and $(grep -c '^"' "$WORK/agent-tree.reg") values, sealed to this machine"

log_section "qzlog of the install folder's logs"
"$BIN/qzlog" "$INSTALL_HOST/logs" >"$WORK/log.txt" 2>&1 || true
cat "$WORK/log.txt" >>"$LOG"
say "Log: qzlog reads $(grep -c '^\[' "$WORK/log.txt") entries in $(grep -c '^=== ' "$WORK/log.txt") file(s) of" \
  "$INSTALL_WIN\\logs, $(grep -c '^\[WARNING\]\|^\[  FATAL\]' "$WORK/log.txt" || true) of level WARNING or above;" \
  "qzlog --grep 'Build number' and '::Main}}':"
for text in 'Build number' '::Main}}'; do
  "$BIN/qzlog" --grep "$text" "$INSTALL_HOST/logs" 2>/dev/null | grep '^\[' | tail -n 1 | cut -c1-110 | sed 's/^/    /'
done

cp "$BIN/qzSetup-uninstall.exe" "$("$WINSIM" path "$MACHINE" 'C:\Users\Public\qzSetup-uninstall.exe')"
run_installer 'C:\Users\Public\qzSetup-uninstall.exe'
[ "$CODE" = "1" ] && [ "$(result_value)" = "119" ] || fail "the uninstall did not finish: exit $CODE, value01 '$(result_value)'"
say "Uninstall: qzSetup-uninstall.exe exit 1 with Install\\value01 \"119\":" \
  "\"$("$WINSIM" journal "$MACHINE" | grep -A2 'MessageBox' | sed -n 's/^ *text: //p' | tail -n 1)\""
log_section "registry after the uninstall"
"$WINSIM" reg "$MACHINE" export 'HKLM\SOFTWARE\WOW6432Node\Varnholt' >"$WORK/left.reg" 2>&1 || true
cat "$WORK/left.reg" >>"$LOG"
GUID_KEPT="$("$WINSIM" reg "$MACHINE" export 'HKLM\SYSTEM\Software\Varnholt\KSM' 2>/dev/null | grep -c '"UUID"' || true)"
more "agent processes left: $("$WINSIM" ps "$MACHINE" | grep -ci 'qzTarlinSvc\|lmvAgent\|lmvAssistant' || true);" \
  "registry values left under Varnholt: $(grep -c '^"' "$WORK/left.reg" || true)" \
  "($(grep '^"' "$WORK/left.reg" | cut -d' ' -f1 | tr -d '"' | paste -sd, -)); the backup GUID" \
  "$( [ "$GUID_KEPT" -gt 0 ] && echo 'stays' || echo 'is gone') under HKLM\\SYSTEM\\Software\\Varnholt\\KSM"
log_section "PendingFileRenameOperations before the restart"
"$WINSIM" reg "$MACHINE" query 'HKLM\SYSTEM\CurrentControlSet\Control\Session Manager' PendingFileRenameOperations \
  >"$WORK/pending.txt" 2>&1 || true
cat "$WORK/pending.txt" >>"$LOG"
more "scheduled for the next restart: $(summarise_pending "$WORK/pending.txt")"
quiet "$WINSIM" reboot "$MACHINE"
say "Restart (winsim reboot carries out those operations): the install folder is" \
  "$( [ -e "$INSTALL_HOST" ] && echo "still there ($(find "$INSTALL_HOST" | wc -l) entries)" || echo 'gone')"

printf '== Done: %s requests answered by the server; the tools'"'"' output is in %s\n' "$(requests)" "$LOG"
