# 64-bit Windows, compiled so that 64-bit-only breakage shows, with Debian's mingw-w64.
set(QZ_MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
