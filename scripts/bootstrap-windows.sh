#!/usr/bin/env bash
# Everything the Windows build and its Wine tests need: the mingw-w64 cross compilers (posix
# threads, both architectures), Wine for 32-bit programs, Xvfb, and the libraries the programs
# link, cross-built from Debian's own source packages (OpenSSL 3, libcurl, TinyXML-2,
# GoogleTest; zlib comes built from libz-mingw-w64-dev).
#
# The libraries go into a cache outside the checkout, one folder per triplet, library and source
# version: ${QZ_WINDOWS_CACHE:-${XDG_CACHE_HOME:-~/.cache}/qz-windows}/<triplet>/<pkg>-<version>.
# <triplet>/deps.cmake names the folders in use; the toolchain files in cmake/ read it.
# A warm cache makes a run take seconds: the package index is read only when something is
# missing, or with --refresh (then a newer Debian version is built beside the old one).
#
# usage: scripts/bootstrap-windows.sh [--refresh] [--arch i686|x86_64]...   (default: both)
# Exits 3 when a package or source it needs cannot be had (no network, no such package in the
# machine's apt sources), 1 on any other failure (a library that does not build).
set -euo pipefail
shopt -s inherit_errexit

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
refresh=0
archs=()
while [ $# -gt 0 ]; do
  case "$1" in
    --refresh) refresh=1; shift ;;
    --arch) [ $# -ge 2 ] || { echo "bootstrap-windows: --arch needs i686 or x86_64" >&2; exit 1; }
            archs+=("$2"); shift 2 ;;
    -h|--help) sed -n '2,13p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "bootstrap-windows: unknown argument $1 (see --help)" >&2; exit 1 ;;
  esac
done
[ ${#archs[@]} -gt 0 ] || archs=(i686 x86_64)
for a in "${archs[@]}"; do
  case "$a" in i686|x86_64) ;; *) echo "bootstrap-windows: unknown architecture $a" >&2; exit 1 ;; esac
done

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

# --- host packages ---
# wine32 is an i386 package: the architecture must be known to dpkg before the index is read.
if ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed' &&
   ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "bootstrap-windows: adding the i386 architecture for wine32"
  $SUDO dpkg --add-architecture i386
  $SUDO apt-get update -qq || { echo "bootstrap-windows: the package index cannot be read" >&2; exit 3; }
fi
if ! "$here/scripts/bootstrap.sh" \
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-tools libz-mingw-w64-dev \
  wine wine32:i386 wine64 xvfb icoutils \
  cmake make perl dpkg-dev xz-utils file binutils-mingw-w64-i686 binutils-mingw-w64-x86-64; then
  echo "bootstrap-windows: the cross toolchain, Wine or Xvfb cannot be installed" >&2
  exit 3
fi

# --- the cache ---
cache="${QZ_WINDOWS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/qz-windows}"
mkdir -p "$cache"
jobs="${QZ_JOBS:-2}"
# Source package of each library, in build order (curl needs OpenSSL). mingw-w64 gives
# winpthreads, which the posix thread model links into every program.
libs=(mingw-w64 openssl curl tinyxml2 googletest)
# How the libraries are built; a change here builds them again beside the old ones.
recipe=2

# The oldest Windows each program must start on: XP (64-bit: XP x64 / 2003). Libraries built for a
# newer one import functions (BCryptGenRandom, slim reader/writer locks) XP's loader refuses.
winnt_of() {  # triplet
  case "$1" in i686-*) echo 0x0501 ;; *) echo 0x0502 ;; esac
}

declare -A version=()
# The version each library was last built at, per triplet, from deps.cmake.
recorded() {  # triplet lib
  sed -n "s|^# $2 \(.*\)$|\1|p" "$cache/$1/deps.cmake" 2>/dev/null | head -n1
}
complete() {  # triplet: every library recorded and built
  local l v
  for l in "${libs[@]}"; do
    v="$(recorded "$1" "$l")"
    [ -n "$v" ] && [ "$(cat "$cache/$1/$l-$v/.built" 2>/dev/null)" = "recipe $recipe" ] || return 1
  done
}

need_index=$refresh
for a in "${archs[@]}"; do
  complete "$a-w64-mingw32" || need_index=1
done
if [ "$need_index" -eq 0 ]; then
  echo "bootstrap-windows: cache complete in $cache"
  exit 0
fi

# --- Debian's source index, read with a private apt state ---
# The source list is the machine's own, with every "deb" entry turned into "deb-src", so this
# works behind whatever mirror the machine uses. Nothing is installed and no system lock is taken.
aptdir="$cache/apt"
mkdir -p "$aptdir/lists/partial" "$aptdir/cache/archives/partial" "$aptdir/sources.list.d"
rm -f "$aptdir/sources.list.d/"*
: > "$aptdir/sources.list"
if [ -f /etc/apt/sources.list ]; then
  sed -n -E 's/^[[:space:]]*deb([[:space:]])/deb-src\1/p' /etc/apt/sources.list >> "$aptdir/sources.list"
fi
for f in /etc/apt/sources.list.d/*.list; do
  [ -f "$f" ] || continue
  sed -n -E 's/^[[:space:]]*deb([[:space:]])/deb-src\1/p' "$f" > "$aptdir/sources.list.d/$(basename "$f")"
done
for f in /etc/apt/sources.list.d/*.sources; do
  [ -f "$f" ] || continue
  sed -E 's/^Types:.*/Types: deb-src/' "$f" > "$aptdir/sources.list.d/$(basename "$f")"
done
apt_opts=(-o "Dir::Etc::SourceList=$aptdir/sources.list" -o "Dir::Etc::SourceParts=$aptdir/sources.list.d"
          -o "Dir::State::Lists=$aptdir/lists" -o "Dir::Cache=$aptdir/cache" -o "APT::Sandbox::User=$(id -un)"
          -q)
echo "bootstrap-windows: reading Debian's source index"
# A third-party repository without sources fails its part of the update; what matters is below.
apt-get "${apt_opts[@]}" update >/dev/null 2>"$aptdir/update.log" || true
# The newest version whose files the mirror serves (an index can run ahead of its pool), unpacked
# with Debian's patches applied; shared by both triplets.
for l in "${libs[@]}"; do
  mapfile -t candidates < <(apt-cache "${apt_opts[@]}" showsrc "$l" 2>/dev/null |
    awk -v p="$l" '/^Package: /{ok = ($2 == p)} ok && /^Version: /{print $2}' | sort -Vru)
  for v in "${candidates[@]}"; do
    dir="$cache/src/$l-$v"
    if [ ! -f "$dir/.unpacked" ]; then
      rm -rf "$dir" "$dir.dl"
      mkdir -p "$dir.dl"
      if ! (cd "$dir.dl" && apt-get "${apt_opts[@]}" source --download-only "$l=$v" >"$dir.dl/log" 2>&1); then
        echo "bootstrap-windows: $l $v cannot be fetched; trying an older version" >&2
        rm -rf "$dir.dl"
        continue
      fi
      (cd "$dir.dl" && dpkg-source --no-check -x ./*.dsc tree >/dev/null)
      # Debian's pic.patch makes OpenSSL's x86 assembly reach its data through an ELF GOT, which
      # a PE object cannot express: the Windows build takes the assembly as upstream writes it.
      if [ "$l" = openssl ] && [ -f "$dir.dl/tree/debian/patches/pic.patch" ]; then
        (cd "$dir.dl/tree" && patch -R -p1 -s < debian/patches/pic.patch)
      fi
      mv "$dir.dl/tree" "$dir"
      rm -rf "$dir.dl"
      touch "$dir/.unpacked"
    fi
    version[$l]="$v"
    break
  done
  if [ -z "${version[$l]:-}" ]; then
    echo "bootstrap-windows: no source package $l to be had from the machine's apt sources (see $aptdir/update.log)" >&2
    exit 3
  fi
done

toolchain_of() {  # triplet
  case "$1" in
    i686-*) echo "$here/cmake/mingw-i686.cmake" ;;
    x86_64-*) echo "$here/cmake/mingw-x86_64.cmake" ;;
  esac
}

build_openssl() {  # triplet src prefix build
  local target=mingw
  [ "${1%%-*}" = x86_64 ] && target=mingw64
  # The programs run as administrator: they must never load a configuration file or a module
  # from a folder of this machine's cache path (on Windows a relative path anyone may create).
  # no-dso loads no engine or provider file at all; the folders compiled in are under Common
  # Files, where OpenSSL's own Windows builds look and only administrators write (Configure on
  # a Unix host would put them below the install prefix).
  local dir="C:/Program Files/Common Files/SSL"
  (cd "$4" &&
     perl "$2/Configure" "$target" no-shared no-tests no-dso --cross-compile-prefix="$1-" CC=gcc-posix CXX=g++-posix \
       --prefix="$3" --libdir=lib "-D_WIN32_WINNT=$(winnt_of "$1")" &&
     sed -i -e "s|^OPENSSLDIR=.*|OPENSSLDIR=$dir|" -e "s|^ENGINESDIR=.*|ENGINESDIR=$dir/engines-3|" \
       -e "s|^MODULESDIR=.*|MODULESDIR=$dir/ossl-modules|" Makefile &&
     nice make -j"$jobs" build_libs &&
     make install_dev)
}

# The CMake-built libraries use the project's own toolchain file: the same compiler and run-time.
cmake_lib() {  # triplet src prefix build extra...
  local t="$1" s="$2" p="$3" b="$4"
  shift 4
  # Only what this build names: never an older build of the cache.
  export QZ_WINDOWS_DEPS_FILE=none QZ_WINDOWS_ROOTS="${roots:-}"
  cmake -S "$s" -B "$b" -DCMAKE_TOOLCHAIN_FILE="$(toolchain_of "$t")" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$p" -DBUILD_SHARED_LIBS=OFF "$@"
  nice cmake --build "$b" -j"$jobs"
  cmake --install "$b"
}

build_curl() {  # triplet src prefix build
  local ssl="$cache/$1/openssl-${version[openssl]}"
  local roots="$ssl"
  cmake_lib "$@" -DCURL_TARGET_WINDOWS_VERSION="$(winnt_of "$1")" -DOPENSSL_ROOT_DIR="$ssl" -DCURL_USE_OPENSSL=ON -DCURL_ZLIB=ON -DHTTP_ONLY=ON \
    -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF -DENABLE_MANUAL=OFF -DCURL_USE_LIBSSH2=OFF \
    -DCURL_USE_LIBSSH=OFF -DUSE_LIBIDN2=OFF -DUSE_NGHTTP2=OFF -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF \
    -DCURL_DISABLE_LDAP=ON -DENABLE_UNIX_SOCKETS=OFF -DCURL_CA_PATH=none -DCURL_CA_BUNDLE=none
}

# Debian's libwinpthread is built for Vista and later (it imports GetTickCount64): the programs
# link this one instead, built for XP; the toolchain files put it ahead of the system's.
build_mingw-w64() {  # triplet src prefix build
  (cd "$4" &&
     "$2/mingw-w64-libraries/winpthreads/configure" --host="$1" --prefix="$3" --disable-shared --enable-static \
       CC="$1-gcc-posix" CFLAGS="-O2 -D_WIN32_WINNT=$(winnt_of "$1")" &&
     nice make -j"$jobs" &&
     make install &&
     cp "$3/lib/libwinpthread.a" "$3/lib/libpthread.a")
}

build_tinyxml2() {
  cmake_lib "$@" -Dtinyxml2_BUILD_TESTING=OFF -DBUILD_TESTING=OFF
}

build_googletest() {
  cmake_lib "$@" -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON
}

for a in "${archs[@]}"; do
  t="$a-w64-mingw32"
  mkdir -p "$cache/$t"
  for l in "${libs[@]}"; do
    prefix="$cache/$t/$l-${version[$l]}"
    [ "$(cat "$prefix/.built" 2>/dev/null)" = "recipe $recipe" ] && continue
    src="$cache/src/$l-${version[$l]}"
    build="$cache/build/$t/$l-${version[$l]}"
    echo "bootstrap-windows: building $l ${version[$l]} for $t"
    start=$SECONDS
    rm -rf "$prefix" "$build"
    mkdir -p "$build"
    if ! "build_$l" "$t" "$src" "$prefix" "$build" > "$build.log" 2>&1; then
      echo "bootstrap-windows: building $l for $t failed; the log is $build.log" >&2
      tail -n 30 "$build.log" >&2
      exit 1
    fi
    echo "recipe $recipe" > "$prefix/.built"
    rm -rf "$build"
    echo "bootstrap-windows: $l for $t built in $((SECONDS - start)) s"
  done
  # Written last, so a run cut short leaves the previous list in place.
  {
    echo "# The libraries of the Windows build for $t, written by scripts/bootstrap-windows.sh."
    for l in "${libs[@]}"; do echo "# $l ${version[$l]}"; done
    echo "set(QZ_WINDOWS_DEPS_PREFIXES"
    for l in "${libs[@]}"; do echo "  \"$cache/$t/$l-${version[$l]}\""; done
    echo ")"
  } > "$cache/$t/deps.cmake.new"
  mv "$cache/$t/deps.cmake.new" "$cache/$t/deps.cmake"
done
echo "bootstrap-windows: cache complete in $cache"
