# 32-bit Windows (what ships), with Debian's mingw-w64.
set(QZ_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
