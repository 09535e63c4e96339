# The Windows build (toolchain files cmake/mingw-*.cmake): the product's libraries, the win32
# backend, the programs that ship and the platform tests. No winsim, SQLite or Linux tool here.

set(QZ_VERSION "1.0.0.0" CACHE STRING "Version written into the programs' version resources (four numbers)")
if(NOT QZ_VERSION MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+$")
  message(FATAL_ERROR "QZ_VERSION must be four numbers separated by dots, not '${QZ_VERSION}'")
endif()

# The compiler driver links -lpthread into every program: the cache's copy, built for XP, is
# found first (the system's imports GetTickCount64, which XP's loader refuses).
if(QZ_WINPTHREAD_LIB_DIR)
  add_link_options("-L${QZ_WINPTHREAD_LIB_DIR}")
else()
  message(STATUS "no XP-ready winpthreads in the cache (scripts/bootstrap-windows.sh): the programs need Vista")
endif()

# Wide Windows API everywhere: the A/W macros of <windows.h> name the W functions.
add_compile_definitions(UNICODE _UNICODE)

# What the statically linked libraries need from Windows itself.
set(QZ_WINDOWS_SYSTEM_LIBS
  winhttp rpcrt4 ole32 oleaut32 uuid shlwapi shell32 user32 gdi32 gdiplus comctl32 advapi32
  userenv wtsapi32 psapi version crypt32 bcrypt ws2_32)
foreach(_t OpenSSL::Crypto CURL::libcurl)
  if(TARGET ${_t})
    set_property(TARGET ${_t} APPEND PROPERTY INTERFACE_LINK_LIBRARIES crypt32 ws2_32 bcrypt)
  endif()
endforeach()

# Names of the win32 backend's factories that a program needs before it can link: a backend
# still being written leaves the programs and the tests out of the build, never half-linked.
set(QZ_WIN32_FACTORIES Registry Files OsInfo Processes Time Ui Com Http ServiceManager Rpc
    Libraries Tasks Desktop Security Resources)
function(qz_win32_backend_missing out)
  file(GLOB _srcs ${PROJECT_SOURCE_DIR}/src/platform/win32/*.cpp)
  file(GLOB _entry ${PROJECT_SOURCE_DIR}/src/platform/win32/entry/*.cpp)
  set(_text "")
  foreach(_f IN LISTS _srcs)
    file(READ ${_f} _t)
    string(APPEND _text "${_t}")
  endforeach()
  set(_missing "")
  foreach(_name IN LISTS QZ_WIN32_FACTORIES)
    if(NOT _text MATCHES "> *Make${_name} *\\( *\\) *{")
      list(APPEND _missing Make${_name})
    endif()
  endforeach()
  if(NOT _text MATCHES "Win32Platform::Win32Platform *\\(")
    list(APPEND _missing Win32Platform)
  endif()
  if(NOT _entry)
    list(APPEND _missing "the entry point (src/platform/win32/entry/)")
  endif()
  set(${out} "${_missing}" PARENT_SCOPE)
endfunction()
qz_win32_backend_missing(QZ_WIN32_MISSING)
if(QZ_WIN32_MISSING)
  # Checked again when a backend file changes, until the backend is whole.
  file(GLOB _qz_backend_srcs CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/platform/win32/*.cpp
       ${PROJECT_SOURCE_DIR}/src/platform/win32/entry/*.cpp)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_qz_backend_srcs})
  list(JOIN QZ_WIN32_MISSING ", " _m)
  message(STATUS "win32 backend incomplete (no ${_m}): programs and platform tests are left out")
  set(QZ_WIN32_COMPLETE OFF)
else()
  set(QZ_WIN32_COMPLETE ON)
endif()

# What each program says of itself, and the privileges it asks for.
set(QZ_DESCRIPTION_qzUpdater "qz agent updater")
set(QZ_DESCRIPTION_qzSetup "qz agent installer")
set(QZ_LEVEL_qzUpdater requireAdministrator)
set(QZ_LEVEL_qzSetup requireAdministrator)

# Version resource and embedded manifest of a program, compiled by windres.
function(qz_windows_resources name)
  string(REPLACE "." "," QZ_VERSION_COMMAS "${QZ_VERSION}")
  set(QZ_PROGRAM ${name})
  set(QZ_DESCRIPTION "${QZ_DESCRIPTION_${name}}")
  if(NOT QZ_DESCRIPTION)
    set(QZ_DESCRIPTION "${name}")
  endif()
  set(QZ_EXECUTION_LEVEL "${QZ_LEVEL_${name}}")
  if(NOT QZ_EXECUTION_LEVEL)
    set(QZ_EXECUTION_LEVEL asInvoker)
  endif()
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(QZ_MANIFEST_ARCH amd64)
  else()
    set(QZ_MANIFEST_ARCH x86)
  endif()
  set(QZ_MANIFEST ${CMAKE_CURRENT_BINARY_DIR}/${name}.manifest)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/windows/program.manifest.in ${QZ_MANIFEST} @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/windows/program.rc.in ${CMAKE_CURRENT_BINARY_DIR}/${name}.rc @ONLY)
  target_sources(${name} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${name}.rc)
  set_property(SOURCE ${CMAKE_CURRENT_BINARY_DIR}/${name}.rc APPEND PROPERTY OBJECT_DEPENDS ${QZ_MANIFEST})
endfunction()

# A Windows GUI program (wWinMain through -municode) on the real backend, its run-time inside.
function(qz_windows_program name)
  cmake_parse_arguments(P "" "" "SOURCES;DEPS" ${ARGN})
  if(NOT QZ_WIN32_COMPLETE)
    return()
  endif()
  add_executable(${name} WIN32 ${P_SOURCES})
  target_compile_options(${name} PRIVATE ${QZ_WARNINGS})
  target_link_options(${name} PRIVATE -municode)
  target_link_libraries(${name} PRIVATE ${P_DEPS} platform_main platform_win32)
  qz_windows_resources(${name})
endfunction()
