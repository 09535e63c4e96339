#!/usr/bin/env bash
# Pictures of the installer window during real installs on fresh simulated Windows 10 x64
# machines, in English and in Korean: before Install is pressed, while it installs (the animation
# and the waiting dots while a previous agent is removed) and at the end. Each machine first gets
# an agent from a hidden install, so the window's install has a previous agent to remove.
# Writes docs/installer-LANG-1-before.png, -2-during.png, -3-after.png.
#   scripts/screenshots.sh              builds the default preset first
#   BUILD_DIR=build/x scripts/screenshots.sh   uses programs already built there
#   LANGS=ko scripts/screenshots.sh            one language only
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -z "${BUILD_DIR:-}" ]; then
  scripts/bootstrap.sh
  cmake --preset default >/dev/null
  cmake --build --preset default >/dev/null
  BUILD_DIR=build/default
fi
BIN="$PWD/$BUILD_DIR/bin"
WINSIM="$BIN/winsim"
QZPACK="$BIN/qzpack"
OUT="$PWD/docs"
mkdir -p "$OUT"

WORK="$(mktemp -d /tmp/qz-shots.XXXXXX)"
SERVER_PID=""
cleanup() {
  [ -n "$SERVER_PID" ] && kill "$SERVER_PID" 2>/dev/null && wait "$SERVER_PID" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT
fail() { printf 'screenshots: %s\n' "$*" >&2; exit 1; }
# shellcheck source=site_lib.sh
. scripts/site_lib.sh
# The removal's pauses (and the minute before the waiting dots start) run 100 times faster.
export WINSIM_TIME_SCALE=0.01

PKI="$WORK/pki" AGENT="$WORK/agent" RELEASE="$WORK/release"
mkdir -p "$PKI" "$AGENT"
make_pki "$PKI"
for f in qzAgentUtil.dll qzClientInfo.dll qzCrypto.dll qzNSI.dll qzLogger.dll qzPatchMan.dll qzSecureZip.dll \
         qzWebQuery.dll qzCommon.dll qzIPC.dll msvcr110.dll msvcp110.dll mfc110u.dll; do
  printf 'stand-in %s\n' "$f" >"$AGENT/$f"
done
for f in qzTarlinSvc lmvAgent lmvAssistant lmvKeeper qzNoticeView; do cp "$BIN/$f" "$AGENT/$f.exe"; done
cp "$BIN/qzComDrv.dll" "$AGENT/qzComDrv.dll"
cp "$BIN/qzUpdater" "$AGENT/qzUpdater.exe"
"$QZPACK" release --agent "$AGENT" --build 330 --ca "$PKI/ca.pem" --fs-cert "$PKI/fs.crt" --fs-key "$PKI/fs.key" \
  --out "$RELEASE" >/dev/null

start_server "$RELEASE" "$PKI"

write_site_settings "$WORK/site.cfg"
for mode in "" "-hide"; do
  "$QZPACK" setup --program "$BIN/qzSetup" --tool "$BIN/7zr.exe" --mode "$mode" --level 1 --out "$WORK/qzSetup$mode.exe" \
    --release "$RELEASE" --dir "$BIN/drivers" "$WORK/site.cfg=server.cfg" "$BIN/certmgr.exe" >/dev/null
done

# The status line (control 1006) and whether the Done button (1003) shows, from the window's layout.
status_text() { "$WINSIM" ui "$1" layout 2>/dev/null | sed -n 's/^1006 [^"]*"\(.*\)" image=.*/\1/p'; }
shown() { "$WINSIM" ui "$1" layout 2>/dev/null | grep -q "^$2 [A-Za-z#0-9]* [0-9-]* [0-9-]* [0-9]* [0-9]* 1 "; }
wait_for() {  # tries of 0.1 s, command...
  local tries=$1
  shift
  for _ in $(seq "$tries"); do "$@" && return 0; sleep 0.1; done
  return 1
}

for lang in ${LANGS:-en ko}; do
  M="$WORK/pc-$lang"
  if [ "$lang" = ko ]; then STOPPING="VH-KSM 에이전트를 종료합니다."; else STOPPING="Terminates the VH-KSM Agent."; fi
  "$WINSIM" new "$M" --os win10-x64 --lang "$lang" >/dev/null
  mkdir -p "$("$WINSIM" path "$M" 'C:\Users\Public')"
  cp "$WORK/qzSetup-hide.exe" "$("$WINSIM" path "$M" 'C:\Users\Public\qzSetup-hide.exe')"
  cp "$WORK/qzSetup.exe" "$("$WINSIM" path "$M" 'C:\Users\Public\qzSetup.exe')"
  code="$("$WINSIM" run "$M" --cwd 'C:\Users\Public' -- 'C:\Users\Public\qzSetup-hide.exe' 2>/dev/null | tail -n 1)"
  [ "$code" = "1" ] || fail "the hidden install on the $lang machine ended with $code"

  # Without pauses: the waiting dots, due after a minute, show while the updater works (briefly).
  WINSIM_TIME_SCALE=0 "$WINSIM" run "$M" --cwd 'C:\Users\Public' -- 'C:\Users\Public\qzSetup.exe' \
    >"$WORK/run-$lang.txt" 2>&1 &
  RUN_PID=$!
  wait_for 300 shown "$M" 129 || fail "no install window on the $lang machine"
  sleep 0.5  # its first paint
  "$WINSIM" ui "$M" screenshot "$OUT/installer-$lang-1-before.png"

  "$WINSIM" ui "$M" click 1001 >/dev/null
  # The removal of the previous agent: a picture whose status line read the base text with two or
  # more waiting dots just before and just after it was taken; else one of the earlier status text.
  during="" fallback=""
  for n in $(seq 3000); do
    case "$(status_text "$M")" in
      *..)
        "$WINSIM" ui "$M" screenshot "$WORK/during-$n.png"
        case "$(status_text "$M")" in *..) during="$WORK/during-$n.png"; break ;; esac ;;
      "$STOPPING")
        if [ -z "$fallback" ]; then
          "$WINSIM" ui "$M" screenshot "$WORK/during-$n.png"
          [ "$(status_text "$M")" = "$STOPPING" ] && fallback="$WORK/during-$n.png"
        fi ;;
      installed | 설치완료) break ;;
    esac
  done
  [ -n "$during" ] || { during="$fallback"; echo "$lang: the waiting dots went by unseen" >&2; }
  [ -n "$during" ] || fail "no picture of the $lang install under way"
  cp "$during" "$OUT/installer-$lang-2-during.png"

  wait_for 1200 shown "$M" 1003 || fail "no Done button on the $lang machine"
  "$WINSIM" ui "$M" screenshot "$OUT/installer-$lang-3-after.png"
  "$WINSIM" ui "$M" click 1003 >/dev/null
  wait "$RUN_PID" || true
  code="$(tail -n 1 "$WORK/run-$lang.txt")"
  [ "$code" = "0" ] || fail "the windowed install on the $lang machine ended with $code"
  echo "$lang: docs/installer-$lang-1-before.png, -2-during.png, -3-after.png"
done
