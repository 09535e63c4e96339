# Cross-compiling for Windows with Debian's mingw-w64 (posix thread model), shared by the
# i686 and x86_64 toolchain files, which set QZ_MINGW_ARCH first.
# The programs carry their run-time: no libgcc, libstdc++ or winpthread DLL has to travel with them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${QZ_MINGW_ARCH})
set(QZ_MINGW_TRIPLET ${QZ_MINGW_ARCH}-w64-mingw32)

set(CMAKE_C_COMPILER ${QZ_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QZ_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${QZ_MINGW_TRIPLET}-windres)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# The libraries cross-built by scripts/bootstrap-windows.sh, found through the list it writes
# into its cache. QZ_WINDOWS_DEPS_FILE=none leaves them out (the bootstrap's own builds);
# QZ_WINDOWS_ROOTS adds folders to search (environment, so try_compile sees them too).
if(DEFINED ENV{QZ_WINDOWS_CACHE})
  set(_qz_cache "$ENV{QZ_WINDOWS_CACHE}")
elseif(DEFINED ENV{XDG_CACHE_HOME})
  set(_qz_cache "$ENV{XDG_CACHE_HOME}/qz-windows")
else()
  set(_qz_cache "$ENV{HOME}/.cache/qz-windows")
endif()
set(_qz_deps_file "$ENV{QZ_WINDOWS_DEPS_FILE}")
if(NOT _qz_deps_file)
  set(_qz_deps_file "${_qz_cache}/${QZ_MINGW_TRIPLET}/deps.cmake")
endif()
set(QZ_WINDOWS_DEPS_PREFIXES "")
if(NOT _qz_deps_file STREQUAL "none" AND EXISTS "${_qz_deps_file}")
  include("${_qz_deps_file}")
endif()
set(_qz_roots ${QZ_WINDOWS_DEPS_PREFIXES})
if(DEFINED ENV{QZ_WINDOWS_ROOTS})
  string(REPLACE ":" ";" _qz_extra "$ENV{QZ_WINDOWS_ROOTS}")
  list(APPEND _qz_roots ${_qz_extra})
endif()

# The XP-ready winpthreads of the cache, which cmake/windows.cmake puts before the system's.
set(QZ_WINPTHREAD_LIB_DIR "")
foreach(_r IN LISTS _qz_roots)
  if(EXISTS "${_r}/lib/libwinpthread.a")
    set(QZ_WINPTHREAD_LIB_DIR "${_r}/lib")
  endif()
endforeach()

set(CMAKE_FIND_ROOT_PATH ${_qz_roots} /usr/${QZ_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static archives only: zlib's import library sits beside libz.a.
set(ZLIB_USE_STATIC_LIBS ON)
set(OPENSSL_USE_STATIC_LIBS ON)

# pkg-config (TinyXML-2) reads the cross-built .pc files, never the host's.
set(_qz_pc "")
foreach(_r IN LISTS _qz_roots ITEMS /usr/${QZ_MINGW_TRIPLET})
  list(APPEND _qz_pc "${_r}/lib/pkgconfig")
endforeach()
string(REPLACE ";" ":" _qz_pc "${_qz_pc}")
set(ENV{PKG_CONFIG_LIBDIR} "${_qz_pc}")
set(ENV{PKG_CONFIG_PATH} "")
