#!/usr/bin/env bash
# Shows how far the product sources are from compiling for Windows: a syntax-only pass of
# mingw-w64 (x86_64, posix threads) over every src/**/*.cpp except the winsim backend, with the
# third-party headers seen as a Windows build sees them (curl.h on _WIN32 pulls in <winsock2.h>
# and so <windows.h>).
# A report, not a gate: exits 0 whatever the sources do; 2 when the cross compiler cannot be had,
# 1 on a bad argument.
#
# usage: scripts/mingw-syntax.sh [--src DIR] [--log DIR] [--warnings]
#   --src DIR   checkout to check (default: the one holding this script), e.g. an older commit
#               unpacked with `git archive <commit> | tar -x -C DIR`
#   --log DIR   keep each failing file's full compiler output in DIR
#   --warnings  also pass the project's warning set, -Werror included, as its own build does
set -uo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
src="$here"
logdir=""
warnings=0
while [ $# -gt 0 ]; do
  case "$1" in
    --src) [ $# -ge 2 ] || { echo "mingw-syntax: --src needs a folder" >&2; exit 1; }; src="$2"; shift 2 ;;
    --log) [ $# -ge 2 ] || { echo "mingw-syntax: --log needs a folder" >&2; exit 1; }; logdir="$2"; shift 2 ;;
    --warnings) warnings=1; shift ;;
    -h|--help) sed -n '2,13p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "mingw-syntax: unknown argument $1 (see --help)" >&2; exit 1 ;;
  esac
done
if [ ! -d "$src/src" ]; then
  echo "mingw-syntax: $src has no src/ folder" >&2
  exit 1
fi
src="$(cd "$src" && pwd)"
if [ -n "$logdir" ]; then
  mkdir -p "$logdir" && logdir="$(cd "$logdir" && pwd)" || exit 1
fi

cxx=x86_64-w64-mingw32-g++-posix

# --- toolchain and the host packages whose headers stand in for the cross-built ones ---
if ! "$here/scripts/bootstrap.sh" g++-mingw-w64-x86-64-posix libz-mingw-w64-dev libssl-dev libcurl4-openssl-dev \
     libtinyxml2-dev; then
  echo "mingw-syntax: could not install the cross compiler and the headers it needs" >&2
  exit 2
fi
if ! command -v "$cxx" >/dev/null; then
  echo "mingw-syntax: $cxx not found after installing g++-mingw-w64-x86-64-posix" >&2
  exit 2
fi

# --- stand-in headers, in a cache outside the checkout ---
# Only the libraries' own folders go in: /usr/include itself would put glibc before mingw's CRT.
cache="${XDG_CACHE_HOME:-$HOME/.cache}/qz-mingw-headers"
pkg_file() { dpkg -L "$1" 2>/dev/null | grep -m1 -E "$2" || true; }
stamp="layout 2; $("$cxx" -dumpversion);"
for p in libssl-dev libcurl4-openssl-dev libtinyxml2-dev; do
  stamp+=" $p $(dpkg-query -W -f='${Version}' "$p")"
done
if [ "$(cat "$cache/.stamp" 2>/dev/null)" != "$stamp" ]; then
  ssl_arch_conf="$(pkg_file libssl-dev '/openssl/configuration\.h$')"
  curl_h="$(pkg_file libcurl4-openssl-dev '/curl/curl\.h$')"
  tinyxml_h="$(pkg_file libtinyxml2-dev '/tinyxml2\.h$')"
  if [ -z "$ssl_arch_conf" ] || [ -z "$curl_h" ] || [ -z "$tinyxml_h" ]; then
    echo "mingw-syntax: a host header is missing (openssl configuration.h, curl.h or tinyxml2.h)" >&2
    exit 2
  fi
  tmp_cache="$cache.new.$$"
  rm -rf "$tmp_cache"
  mkdir -p "$tmp_cache/openssl"
  ln -s /usr/include/openssl/* "$tmp_cache/openssl/"
  ln -sf "$(dirname "$ssl_arch_conf")"/* "$tmp_cache/openssl/"
  # Windows x64 is LLP64: OpenSSL's mingw64 target counts bignum words in long long, not long.
  rm "$tmp_cache/openssl/configuration.h"
  sed -E 's/define SIXTY_FOUR_BIT_LONG\b/undef SIXTY_FOUR_BIT_LONG/; s/undef SIXTY_FOUR_BIT[[:space:]]*$/define SIXTY_FOUR_BIT/' \
    "$ssl_arch_conf" > "$tmp_cache/openssl/configuration.h"
  ln -s "$(dirname "$curl_h")" "$tmp_cache/curl"
  ln -s "$tinyxml_h" "$tmp_cache/tinyxml2.h"
  printf '%s\n' "$stamp" > "$tmp_cache/.stamp"
  rm -rf "$cache"
  mkdir -p "$(dirname "$cache")"
  # A run beside this one may have put its own copy there first; either will do.
  mv -T "$tmp_cache" "$cache" 2>/dev/null || rm -rf "$tmp_cache"
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# -municode as the shipped programs use it: it defines UNICODE, so <windows.h>'s A/W macros
# (CreateFile, MessageBox, ...) expand to the W names a real build sees.
flags=(-std=c++20 -municode -fsyntax-only -fdiagnostics-plain-output -Isrc -isystem "$cache")
if [ "$warnings" -eq 1 ]; then
  flags+=(-Wall -Wextra -Werror -Wno-unused-parameter -Wno-missing-field-initializers -Wno-restrict)
fi

# What <windows.h> and <curl/curl.h> bring that the C++ library alone does not: their headers
# and their macros, to tell their errors from the sources' own.
printf '#include <%s>\n' cstdio cstdlib cstring cstdint cinttypes cmath cerrno cctype climits \
  string string_view vector span atomic algorithm mutex thread condition_variable chrono memory \
  optional array functional limits system_error exception unordered_map unordered_set \
  > "$work/plain.cpp"
{ cat "$work/plain.cpp"; printf '#include <%s>\n' winsock2.h ws2tcpip.h windows.h curl/curl.h; } > "$work/win.cpp"
deps() { "$cxx" "${flags[@]/-fsyntax-only/-E}" -M "$1" 2>/dev/null | tr ' \\' '\n\n' | grep '^/' | sort -u; }
macros() { "$cxx" "${flags[@]/-fsyntax-only/-E}" -dM "$1" 2>/dev/null | awk '{ sub(/\(.*/, "", $2); print $2 }' | sort -u; }
comm -13 <(deps "$work/plain.cpp") <(deps "$work/win.cpp") > "$work/win_headers"
comm -13 <(macros "$work/plain.cpp") <(macros "$work/win.cpp") > "$work/win_macros"
# The stand-ins must give what OpenSSL's own mingw64 build would: 64-bit bignum words.
printf '#include <openssl/bn.h>\nstatic_assert(sizeof(BN_ULONG) == 8);\n' > "$work/bn.cpp"
if ! "$cxx" "${flags[@]}" "$work/bn.cpp" 2>/dev/null; then
  echo "mingw-syntax: the OpenSSL stand-in headers in $cache do not compile; they are rebuilt next run" >&2
  rm -f "$cache/.stamp"
  exit 2
fi
if [ ! -s "$work/win_headers" ]; then
  echo "mingw-syntax: $cxx cannot read <windows.h> and <curl/curl.h> together" >&2
  exit 2
fi

cd "$src" || exit 1
find src -name '*.cpp' -not -path 'src/platform/winsim/*' | LC_ALL=C sort > "$work/files"
total=$(wc -l < "$work/files")
mkdir -p "$work/out"
echo "mingw-syntax: $total files in $src"
echo "mingw-syntax: each file as: nice -n 10 $cxx ${flags[*]} src/FILE.cpp"

# Plain quotes in the messages, whatever the caller's locale, so they read the same everywhere.
export CXX_MINGW="$cxx" OUT="$work/out" LC_ALL=C
# xargs puts the file after the flags; the log is named after the path.
tr '\n' '\0' < "$work/files" | nice -n 10 xargs -0 -P2 -n1 bash -c '
  f="${@: -1}"
  log="$OUT/$(printf %s "$f" | tr / @).log"
  "$CXX_MINGW" "${@:1:$#-1}" "$f" > "$log" 2>&1
  echo $? > "${log%.log}.rc"
' _ "${flags[@]}"

# Per file: its errors, split into those that come through curl.h / windows.h and the rest.
#   through: an include chain naming curl/curl.h, winsock2.h, ws2tcpip.h or windows.h;
#            a diagnostic located in a header only those bring; an error on a line of ours
#            that uses a name only they define as a macro; or what follows from a line that
#            failed for one of those reasons (more errors on it, its names undeclared later on).
classify() {
  awk -v curl_dir="$cache/curl/" -v rc="$2" -v root="$src" '
    FILENAME == ARGV[1] { hdr[$0] = 1; next }
    FILENAME == ARGV[2] { mac[$0] = 1; next }
    function flush(   i) {
      if (inerr) n++
      if (inerr && via) {
        w++; vialine[errat] = 1
        # A name both we and Windows declare: every later line that uses it fails too.
        if (ambname != "") ambiguous[ambname] = 1
        for (i = 1; i <= nws; i++) broken[ws[i]] = 1
        # An earlier error on the same line was the first sign of this one.
        for (i = 1; i <= nown; i++) if (ownat[i] == errat && !(i in gone)) { gone[i] = 1; w++ }
      } else if (inerr) {
        own[++nown] = errline; ownat[nown] = errat
      }
      inerr = 0; via = 0; ambname = ""
    }
    function file_of(line,   p) { p = line; sub(/:[0-9]+(:[0-9]+)?: .*/, "", p); return p }
    function is_win(p) { return (p in hdr) || index(p, curl_dir) == 1 }
    # The names on the line a diagnostic points at, in a file of the checked sources.
    function line_words(line, words,   a, k, t) {
      if (split(line, a, ":") < 3 || a[1] ~ /^\//) return 0
      if (!(a[1] in seen)) {
        seen[a[1]] = 1; k = 0
        while ((getline t < (root "/" a[1])) > 0) text[a[1], ++k] = t
        close(root "/" a[1])
      }
      t = text[a[1], a[2] + 0]
      sub(/\/\/.*/, "", t); gsub(/"([^"\\]|\\.)*"/, "", t)
      return split(t, words, /[^A-Za-z_0-9]+/)
    }
    # GCC prints an include chain only when it changes: it holds for the file it led to.
    /^In file included from / { chain = $0; pending = 1; next }
    /^                 from / { chain = chain "\n" $0; next }
    / (error|warning|note): / {
      f = file_of($0)
      if (pending) { chain_file = f; pending = 0 }
      else if (f != chain_file && f != last_file) { chain = ""; chain_file = "" }
      last_file = f
    }
    / (fatal )?error: / {
      flush()
      inerr = 1; errline = $0
      if (first == "") first = $0
      if (f == chain_file && chain ~ /(curl\/curl|\/windows|\/winsock2|\/ws2tcpip)\.h:/) via = 1
      if (is_win(f)) via = 1
      # GCC reports a clash with a Windows macro where our name is used, not where it is defined.
      nws = line_words($0, ws)
      for (i = 1; i <= nws; i++) if (ws[i] in mac) via = 1
      # What follows from a line that Windows broke: more errors on that line, and its names
      # left undeclared or unusable further on.
      errat = $0; sub(/:[0-9]+: .*/, "", errat); sub(/: .*/, "", errat)
      if (errat in vialine) via = 1
      q = $0; sub(/^[^ ]+ (fatal )?error: /, "", q)
      if (match(q, /\047[^\047]+\047/)) {
        m = substr(q, RSTART + 1, RLENGTH - 2); sub(/.*::/, "", m)
        if (m in broken) via = 1
        if (q ~ /^reference to .* is ambiguous/) ambname = m
      }
      for (i = 1; i <= nws; i++) if (ws[i] in ambiguous) via = 1
      next
    }
    / note: / && inerr {
      if (is_win(f)) via = 1
      if (match($0, /in (expansion|definition) of macro .[A-Za-z_0-9]+/)) {
        m = substr($0, RSTART, RLENGTH); sub(/.* macro ./, "", m)
        if (m in mac) via = 1
      }
    }
    END {
      flush()
      if (first == "") { first = "(no error line; exit status " rc ")"; n = 1 }
      for (i = nown; i >= 1; i--) if (!(i in gone)) other = own[i]
      printf "%d\t%d\t%s\t%s\n", n, w, first, other
    }
  ' "$work/win_headers" "$work/win_macros" "$1"
}

failed=0
via=0
mixed=0
: > "$work/report"
while read -r f; do
  log="$work/out/$(printf %s "$f" | tr / @).log"
  rc="$(cat "${log%.log}.rc" 2>/dev/null || echo 255)"
  [ "$rc" -eq 0 ] && continue
  failed=$((failed + 1))
  IFS=$'\t' read -r n w first other < <(classify "$log" "$rc")
  if [ "$w" -gt 0 ]; then via=$((via + 1)); fi
  if [ "$w" -gt 0 ] && [ "$w" -lt "$n" ]; then mixed=$((mixed + 1)); fi
  {
    echo "FAIL $f: $n error(s), $w through curl.h/windows.h"
    echo "  first: $first"
    if [ -n "$other" ] && [ "$other" != "$first" ]; then echo "  first not through them: $other"; fi
  } >> "$work/report"
  if [ -n "$logdir" ]; then cp "$log" "$logdir/"; fi
done < "$work/files"

cat "$work/report"
echo "mingw-syntax: $failed of $total files fail; $via of them have an error through curl.h/windows.h ($mixed of those have other errors too)"
echo "mingw-syntax: files=$total failed=$failed via_curl_or_windows_h=$via"
exit 0
