#!/usr/bin/env bash
# The main job as far as this build goes, on fresh simulated machines, told in plain words.
set -euo pipefail
cd "$(dirname "$0")/.."

say() { printf '\n== %s\n' "$*"; }

say "Preparing: installing what is missing and building (this takes a while the first time)"
scripts/bootstrap.sh
cmake --preset default >/dev/null
cmake --build --preset default >/dev/null
BIN="$PWD/build/default/bin"
WINSIM="$BIN/winsim"

WORK="$(mktemp -d /tmp/qz-demo.XXXXXX)"
trap 'rm -rf "$WORK"' EXIT
SETUP='C:\bc8f992f5df34654945e6e32a5aa400c'

place_updater() {  # machine
  local dir
  dir="$("$WINSIM" path "$1" "$SETUP")"
  mkdir -p "$dir"
  cp "$BIN/qzUpdater" "$dir/qzUpdater.exe"
}

say "1. A Windows XP SP2 machine: the installer's updater must refuse to install here"
XP="$WORK/xp-sp2"
"$WINSIM" new "$XP" --os winxp-sp2
place_updater "$XP"
echo "Running: qzUpdater.exe --install (as the installer would)"
code="$("$WINSIM" run "$XP" --cwd "$SETUP" -- "$SETUP\\qzUpdater.exe --install" 2>&1 | tail -n 1)"
echo "qzUpdater exited with $code (-999 means: operating system refused)"
echo "What the user saw on the desktop:"
"$WINSIM" journal "$XP" | sed 's/^/    /'
[ "$code" = "-999" ] || { echo "unexpected exit code"; exit 1; }

say "2. A Windows 10 x64 machine: the gate lets the install through and the updater prepares the agent"
W10="$WORK/win10"
"$WINSIM" new "$W10" --os win10-x64
place_updater "$W10"
cat > "$("$WINSIM" path "$W10" "$SETUP")/server.cfg" <<'CFG'
<?xml version="1.0" encoding="UTF-8"?>
<tarlinLMV version="3.0">
  <serial>VH-2024-0001</serial>
  <server>127.0.0.1</server>
  <pk_server>127.0.0.2</pk_server>
  <port>80</port>
  <ssl>443</ssl>
</tarlinLMV>
CFG
echo "The site's plain server.cfg in the setup folder, as the installer unpacks it:"
sed 's/^/    /' "$("$WINSIM" path "$W10" "$SETUP")/server.cfg"
echo "Running: qzUpdater.exe --install"
out="$("$WINSIM" run "$W10" --cwd "$SETUP" -- "$SETUP\\qzUpdater.exe --install" 2>&1)"
printf '%s\n' "$out" | sed 's/^/    /'
code="$(printf '%s\n' "$out" | tail -n 1)"
echo "Message boxes on this desktop: $("$WINSIM" journal "$W10" | grep -c MessageBox || true)"
echo "The agent's registry tree it built (a 32-bit program: HKLM\\SOFTWARE lands under WOW6432Node);"
echo "the binary values are sealed with a key bound to this machine:"
"$WINSIM" reg "$W10" export 'HKLM\SOFTWARE\WOW6432Node\Varnholt\KSM' | sed 's/^/    /'
"$WINSIM" reg "$W10" export 'HKLM\SYSTEM\Software\Varnholt\KSM' | sed 's/^/    /'
INSTALL="$("$WINSIM" path "$W10" 'C:\Program Files (x86)\varnholt\KSM')"
echo "The install folder C:\\Program Files (x86)\\varnholt\\KSM (server.cfg there is the sealed form):"
(cd "$INSTALL" && find . -type f -printf '    %p  %s bytes\n' | sort)
echo "Its log, decrypted with qzlog:"
"$BIN/qzlog" "$INSTALL/logs" | sed 's/^/    /'
[ "$code" = "1" ] || { echo "unexpected exit code"; exit 1; }
echo "Placing the agent's stand-in programs into the install folder (the install mode will do this itself later)"
for f in qzTarlinSvc lmvAgent lmvAssistant; do cp "$BIN/$f" "$INSTALL/$f.exe"; done
echo "Running: qzUpdater.exe --chksvc (service check: every other mode starts by reading that tree back)"
code="$("$WINSIM" run "$W10" -- "$SETUP\\qzUpdater.exe --chksvc" 2>&1 | tail -n 1)"
echo "qzUpdater exited with $code; the service was missing, so it ran \"qzTarlinSvc.exe -install\" and \"-start\":"
"$WINSIM" ps "$W10" | sed 's/^/    /'
[ "$code" = "0" ] || { echo "unexpected exit code"; exit 1; }
echo "Running: qzUpdater.exe --stopMe (stop mode: asks the service to stop, waits, ends what is left)"
code="$(WINSIM_TIME_SCALE=0.05 "$WINSIM" run "$W10" -- "$SETUP\\qzUpdater.exe --stopMe" 2>&1 | tail -n 1)"
echo "qzUpdater exited with $code; processes now:"
"$WINSIM" ps "$W10" | sed 's/^/    /'
[ "$code" = "0" ] || { echo "unexpected exit code"; exit 1; }
echo "What the updater logged for these runs (decrypted with qzlog):"
"$BIN/qzlog" "$INSTALL/logs" | tail -n 25 | sed 's/^/    /'
echo "Install, update and uninstall work is not built yet; the updater says so when asked for it."

say "3. Only one updater at a time"
cp "$BIN/wsprobe" "$("$WINSIM" path "$W10" 'C:\Windows\Temp')/qzUpdater.exe"
"$WINSIM" run "$W10" --no-wait -- 'C:\Windows\Temp\qzUpdater.exe sleep 60000' >/dev/null
echo "Processes on the machine:"
"$WINSIM" ps "$W10" | sed 's/^/    /'
code="$("$WINSIM" run "$W10" -- "$SETUP\\qzUpdater.exe --install" 2>&1 | tail -n 1)"
echo "A second qzUpdater.exe --install exited with $code (-1: another updater is running); its box:"
"$WINSIM" journal "$W10" | tail -n 2 | sed 's/^/    /'
for pid in $("$WINSIM" ps "$W10" | awk 'NR>2 {print $1}'); do "$WINSIM" kill "$W10" "$pid" 0 || true; done

say "Summary"
echo "  - Windows XP SP2: install refused with exit code -999 and the 'OS not supported' box."
echo "  - Windows 10 x64: the gate passes; the updater builds the agent's registry tree from server.cfg,"
echo "    seals the settings, writes its log and the sealed server.cfg; the service check installs and"
echo "    starts the agent's service, the stop mode ends it; install/update/uninstall work comes later."
echo "  - A second updater exits -1 with its box while another runs."
