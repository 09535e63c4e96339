#!/usr/bin/env bash
# The Windows build's tests under Wine: bootstraps (scripts/bootstrap-windows.sh), configures and
# builds the preset, then runs every test program of build/<preset>/windows_tests.txt under Wine,
# one GoogleTest suite at a time, each in a Wine session of its own (`wineserver -p`, ended with
# `wineserver -k`), in one fresh WINEPREFIX made for this run, with Xvfb on a display of its own.
# Then checks qzUpdater.exe --install against its version gate under Wine (-999 at win2k, -1 with
# another running). Prints a ctest-like summary and the Wine differences the tests met; exits 1 when a suite fails
# (or none ran), 2 when Wine cannot run here. Wine, its server and Xvfb are ended whatever happens.
#
# usage: scripts/test-windows.sh [--preset win32|win64|auto] [--no-build] [-R REGEX] [--keep]
#   --preset   win32 (default: what ships) needs a kernel that runs 32-bit programs (IA32
#              emulation) for wine32; auto takes win32 there and win64 (wine64) elsewhere
#   --no-build run what is built already
#   -R REGEX   only the suites whose "program.Suite" name matches (grep -E)
#   --keep     keep the WINEPREFIX and the logs' folder of this run (printed at the end)
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
root="$PWD"

preset=win32
build=1
filter=""
keep=0
while [ $# -gt 0 ]; do
  case "$1" in
    --preset) [ $# -ge 2 ] || { echo "test-windows: --preset needs a name" >&2; exit 1; }; preset="$2"; shift 2 ;;
    --no-build) build=0; shift ;;
    -R) [ $# -ge 2 ] || { echo "test-windows: -R needs a pattern" >&2; exit 1; }; filter="$2"; shift 2 ;;
    --keep) keep=1; shift ;;
    -h|--help) sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "test-windows: unknown argument $1 (see --help)" >&2; exit 1 ;;
  esac
done

# Whether this kernel runs 32-bit x86 programs: wine32's loader is one.
runs_32bit() {
  [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1
}
if [ "$preset" = auto ]; then
  if [ ! -x /usr/lib/wine/wine ] || runs_32bit; then preset=win32; else preset=win64; fi
  echo "test-windows: preset $preset"
fi
case "$preset" in
  win32) arch=i686 ;;
  win64) arch=x86_64 ;;
  *) echo "test-windows: unknown preset $preset" >&2; exit 1 ;;
esac

start_all=$SECONDS
if [ "$build" -eq 1 ]; then
  scripts/bootstrap-windows.sh --arch "$arch"
  cmake --preset "$preset" >/dev/null
  nice cmake --build --preset "$preset"
fi
bindir="$root/build/$preset/bin"
list="$root/build/$preset/windows_tests.txt"
if [ ! -s "$list" ]; then
  echo "test-windows: no test programs in $list (is the win32 backend complete? see cmake's output)" >&2
  exit 1
fi

# The programs that ship: a GUI program of the preset's architecture, its manifest embedded and
# asking for administrator rights on every Windows from Vista to 10.
shipped_ok=1
if [ "$preset" = win32 ]; then pe="PE32 executable (GUI) Intel 80386"; else pe="PE32+ executable (GUI) x86-64"; fi
for program in qzUpdater qzSetup; do
  exe="$bindir/$program.exe"
  [ -f "$exe" ] || continue
  problems=()
  file -b "$exe" | grep -qF "$pe" || problems+=("not a $pe: $(file -b "$exe")")
  manifest="$(wrestool -x --raw -t 24 "$exe" 2>/dev/null || true)"
  grep -q 'level="requireAdministrator"' <<<"$manifest" || problems+=("no requireAdministrator manifest")
  n="$(grep -c '<supportedOS ' <<<"$manifest" || true)"
  [ "$n" -eq 5 ] || problems+=("$n supportedOS entries, not 5")
  wrestool -l -t 16 "$exe" 2>/dev/null | grep -q . || problems+=("no version resource")
  # What XP's loader would refuse (a program that imports it does not start there): reported,
  # not judged, until every library of the build avoids it.
  newer="$(objdump -p "$exe" | awk '
    /DLL Name:/ { dll = tolower($3); if (dll == "bcrypt.dll") print dll; next }
    NF >= 3 && $1 ~ /^[0-9a-f]+$/ && $3 ~ /^(GetTickCount64|(Initialize|Acquire|Release|TryAcquire)SRWLock[A-Za-z]*|InitializeCriticalSectionEx|InitOnce[A-Za-z]*|[A-Za-z]*ConditionVariable[A-Za-z]*|Fls(Alloc|Free|GetValue|SetValue)|QueryFullProcessImageName[AW]|GetFinalPathNameByHandle[AW]|CancelIoEx|BCrypt[A-Za-z]*)$/ { print $3 }
  ' | sort -u | tr '\n' ' ')"
  if [ -n "$newer" ]; then
    echo "test-windows: note: $program.exe imports what Windows XP lacks: $newer"
  fi
  if [ ${#problems[@]} -eq 0 ]; then
    echo "test-windows: $program.exe: $pe, manifest and version resource in place"
  else
    printf 'test-windows: %s.exe: %s\n' "$program" "${problems[@]}" >&2
    shipped_ok=0
  fi
done

if [ "$preset" = win32 ]; then
  if ! runs_32bit; then
    echo "test-windows: this kernel cannot run 32-bit programs (no IA32 emulation), so wine32 cannot" >&2
    echo "test-windows: run the win32 tests here; --preset win64 runs the 64-bit build under wine64" >&2
    exit 2
  fi
  wine=(wine)
else
  if [ ! -x /usr/lib/wine/wine64 ]; then
    echo "test-windows: wine64 is not installed (scripts/bootstrap-windows.sh installs it)" >&2
    exit 2
  fi
  wine=(/usr/lib/wine/wine64)
  export WINELOADER=/usr/lib/wine/wine64
fi

# --- the run's own Wine and display, ended whatever happens ---
run="$(mktemp -d /tmp/qz-wine-run.XXXXXX)"
export WINEPREFIX="$run/prefix" WINEDEBUG=-all QZ_WINE_RUN=1
# No Mono or Gecko installer may pop up and wait for a click.
export WINEDLLOVERRIDES="mscoree=;mshtml="
xvfb_pid=""
cleanup() {
  set +e
  if [ -d "$WINEPREFIX" ]; then
    wineserver -k >/dev/null 2>&1
    wineserver -w >/dev/null 2>&1
  fi
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null
    wait "$xvfb_pid" 2>/dev/null
  fi
  if [ "$keep" -eq 1 ]; then
    echo "test-windows: kept $run (WINEPREFIX $WINEPREFIX, logs $run/logs)"
  else
    rm -rf "$run"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Xvfb picks a free display and writes its number: never one another run uses.
exec 3> "$run/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset >"$run/xvfb.log" 2>&1 &
xvfb_pid=$!
exec 3>&-
for _ in $(seq 100); do
  [ -s "$run/display" ] && break
  kill -0 "$xvfb_pid" 2>/dev/null || break
  sleep 0.1
done
if [ ! -s "$run/display" ]; then
  echo "test-windows: Xvfb did not start:" >&2
  cat "$run/xvfb.log" >&2
  exit 2
fi
export DISPLAY=":$(head -n1 "$run/display")"

t=$SECONDS
if ! "${wine[@]}" wineboot -i </dev/null >"$run/wineboot.log" 2>&1; then
  echo "test-windows: wineboot -i failed:" >&2
  tail -n 20 "$run/wineboot.log" >&2
  exit 2
fi
wineserver -w || true
echo "test-windows: WINEPREFIX made in $((SECONDS - t)) s; DISPLAY $DISPLAY; $("${wine[@]}" --version 2>/dev/null)"

# --- the suites ---
mkdir -p "$run/logs"
suites=()
unlisted=()
while read -r program; do
  [ -n "$program" ] || continue
  exe="$bindir/$program.exe"
  if [ ! -f "$exe" ]; then
    echo "test-windows: $exe is missing" >&2
    exit 1
  fi
  wineserver -p
  listing="$("${wine[@]}" "$exe" --gtest_list_tests </dev/null 2>/dev/null | tr -d '\r')" || true
  wineserver -k || true
  wineserver -w || true
  before=${#suites[@]}
  while read -r line; do
    case "$line" in
      ""|" "*) ;;
      *) s="${line%%.*}"; s="${s%% *}"; suites+=("$program.$s") ;;
    esac
  done < <(printf '%s\n' "$listing" | grep -v '^[[:space:]]' | sed 's/[[:space:]]*#.*//')
  if [ ${#suites[@]} -eq "$before" ]; then
    echo "test-windows: $program.exe listed no test under Wine" >&2
    unlisted+=("$program")
  fi
done < "$list"
if [ -n "$filter" ]; then
  mapfile -t suites < <(printf '%s\n' "${suites[@]}" | grep -E -- "$filter" || true)
fi
total=${#suites[@]}
if [ "$total" -eq 0 ]; then
  echo "test-windows: no suite to run" >&2
  exit 1
fi

failed=()
cases=0
i=0
for entry in "${suites[@]}"; do
  i=$((i + 1))
  program="${entry%%.*}"
  suite="${entry#*.}"
  log="$run/logs/${entry//\//_}.log"
  t=$SECONDS
  wineserver -p || true
  set +e
  timeout 600 "${wine[@]}" "$bindir/$program.exe" --gtest_filter="$suite.*" </dev/null >"$log" 2>&1
  rc=$?
  set -e
  # Whatever the suite left running ends with its session.
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w || true
  tr -d '\r' < "$log" > "$log.txt" && mv "$log.txt" "$log"
  n="$(sed -n 's/^\[==========\] \([0-9]*\) tests\{0,1\} from .* ran\..*/\1/p' "$log" | tail -n1)"
  cases=$((cases + ${n:-0}))
  if [ "$rc" -eq 0 ] && [ -n "$n" ]; then
    status="Passed"
  else
    status="***Failed (exit $rc)"
    failed+=("$entry")
  fi
  printf '%3d/%d %-60s %s %5d s\n' "$i" "$total" "$entry" "$status" "$((SECONDS - t))"
  if [ "$status" != Passed ]; then
    grep -E '^\[  FAILED  \]|Failure|error' "$log" | head -n 40 | sed 's/^/      /' || true
  fi
done

# --- the shipped program's version gate: qzUpdater.exe --install under Wine's Windows versions ---
# Each box it shows is dismissed with Return (XTest through ctypes); its exit code comes back
# whole through a batch file's %ERRORLEVEL% (the shell sees it mod 256).
gate_failed=()
updater="$bindir/qzUpdater.exe"
if [ -f "$updater" ] && [ -z "$filter" ]; then
  dospath() { printf 'Z:%s' "${1//\//\\}"; }
  cat > "$run/press.py" <<'PY'
import ctypes, sys
x11 = ctypes.CDLL("libX11.so.6"); xtst = ctypes.CDLL("libXtst.so.6")
x11.XOpenDisplay.restype = ctypes.c_void_p
d = x11.XOpenDisplay(None)
if not d: sys.exit(1)
x11.XKeysymToKeycode.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
xtst.XTestFakeKeyEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, ctypes.c_ulong]
x11.XFlush.argtypes = [ctypes.c_void_p]
k = x11.XKeysymToKeycode(d, 0xff0d)
xtst.XTestFakeKeyEvent(d, k, 1, 0); xtst.XTestFakeKeyEvent(d, k, 0, 0); x11.XFlush(d)
PY
  printf '@echo off\r\n"%s" --install\r\necho %%ERRORLEVEL%%> "%s"\r\n' "$(dospath "$updater")" \
    "$(dospath "$run/gate_rc.txt")" > "$run/gate.bat"
  boxes() { xwininfo -root -tree 2>/dev/null | grep '"qzupdater.exe"' | grep -vc 'Default IME' || true; }
  install_rc() {  # the exit code of qzUpdater.exe --install, each box dismissed; "none" if it hangs
    rm -f "$run/gate_rc.txt"
    "${wine[@]}" cmd /c "$(dospath "$run/gate.bat")" </dev/null >/dev/null 2>&1 &
    local pid=$! i
    for i in $(seq 120); do
      sleep 0.5
      [ -s "$run/gate_rc.txt" ] && break
      if [ "$(boxes)" -gt "$1" ]; then python3 "$run/press.py" || true; fi
    done
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    if [ -s "$run/gate_rc.txt" ]; then tr -d '\r\n ' < "$run/gate_rc.txt"; else echo none; fi
  }
  gate_check() {  # what, got, want ("not:N" for anything but N)
    local ok=0
    case "$3" in not:*) [ "$2" != none ] && [ "$2" != "${3#not:}" ] && ok=1 ;; *) [ "$2" = "$3" ] && ok=1 ;; esac
    if [ "$ok" -eq 1 ]; then echo "test-windows: qzUpdater --install $1: exit $2"; else
      echo "test-windows: qzUpdater --install $1: exit $2, expected ${3/not:/anything but }" >&2
      gate_failed+=("qzUpdater --install $1")
    fi
  }
  wineserver -p || true
  for v in win2k winxp win2003 win10; do
    "${wine[@]}" reg add 'HKCU\Software\Wine' /v Version /d "$v" /f </dev/null >/dev/null 2>&1
    if [ "$v" = win2k ]; then want=-999; else want=not:-999; fi
    gate_check "at $v" "$(install_rc 0)" "$want"
  done
  # Another qzUpdater.exe running (the first waits at its box, left there): -1.
  "${wine[@]}" reg add 'HKCU\Software\Wine' /v Version /d win2k /f </dev/null >/dev/null 2>&1
  "${wine[@]}" "$updater" --install </dev/null >/dev/null 2>&1 &
  first=$!
  for _ in $(seq 60); do [ "$(boxes)" -ge 1 ] && break; sleep 0.5; done
  gate_check "with another running" "$(install_rc 1)" -1
  wineserver -k >/dev/null 2>&1 || true
  wait "$first" 2>/dev/null || true
  wineserver -w || true
fi

echo
passed=$((total - ${#failed[@]}))
echo "$((100 * passed / total))% suites passed, ${#failed[@]} failed out of $total ($cases test cases, preset $preset)"
met="$(cat "$run"/logs/*.log | sed -n 's/^wine difference met: \(.*\) (Windows.*/\1/p' | sort | uniq -c || true)"
if [ -n "$met" ]; then
  echo "Wine differences met:"
  printf '%s\n' "$met" | sed 's/^/  /'
else
  echo "Wine differences met: none"
fi
echo "Total time $((SECONDS - start_all)) s"
for program in "${unlisted[@]}"; do failed+=("$program (no test listed)"); done
failed+=("${gate_failed[@]}")
if [ ${#failed[@]} -gt 0 ]; then
  echo "The following suites FAILED:"
  printf '  %s\n' "${failed[@]}"
  exit 1
fi
if [ "$shipped_ok" -eq 0 ]; then
  echo "A shipped program lacks its resources (above)."
  exit 1
fi
