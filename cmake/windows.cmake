# The Windows build (MinGW-w64, cmake/mingw-w64.cmake), included by the root
# CMakeLists.txt in place of the Linux packages. Same tree, same module
# libraries; *_win32.cpp files stand in for the Linux-only ones.
#
# Until src/gfx has a Win32 backend (a src/gfx/*_win32.cpp), vimo_gfx holds only
# the portable files and vimo_app, vimo.exe and the tests that need them stay
# out of the default build; they join it as soon as such a file exists.

# Headers Debian ships for Linux but which are plain C/C++: reached through
# links in the build tree, so /usr/include itself never is on the cross
# compiler's path (its system headers would shadow MinGW's).
set(VIMO_CROSS_INCLUDE ${CMAKE_BINARY_DIR}/cross-include)
file(MAKE_DIRECTORY ${VIMO_CROSS_INCLUDE})
foreach(entry nlohmann stb hwy)
  if(NOT EXISTS ${VIMO_CROSS_INCLUDE}/${entry})
    file(CREATE_LINK /usr/include/${entry} ${VIMO_CROSS_INCLUDE}/${entry} SYMBOLIC)
  endif()
endforeach()

# Windows 10 and later: DWM's frame bounds and cloaking.
add_compile_definitions(_WIN32_WINNT=0x0A00 WINVER=0x0A00 NOMINMAX)
# Only system DLLs beside vimo.exe: libstdc++, libgcc and winpthread linked in.
add_link_options(-static)

set(THREADS_PREFER_PTHREAD_FLAG ON)
find_package(Threads REQUIRED)

add_library(nlohmann_json INTERFACE)
target_include_directories(nlohmann_json SYSTEM INTERFACE ${VIMO_CROSS_INCLUDE})
add_library(nlohmann_json::nlohmann_json ALIAS nlohmann_json)

# stb's implementations, which Linux takes from libstb. stbi_load and
# stbi_write_* take UTF-8 file names (converted to UTF-16 inside).
set(VIMO_STB_IMPL ${CMAKE_BINARY_DIR}/stb/stb_impl.c)
file(WRITE ${VIMO_STB_IMPL}.in [=[
#define STB_IMAGE_IMPLEMENTATION
#define STBI_WINDOWS_UTF8
#include <stb/stb_image.h>
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STBIW_WINDOWS_UTF8
#include <stb/stb_image_write.h>
#define STB_RECT_PACK_IMPLEMENTATION
#include <stb/stb_rect_pack.h>
#define STB_TRUETYPE_IMPLEMENTATION
#include <stb/stb_truetype.h>
]=])
configure_file(${VIMO_STB_IMPL}.in ${VIMO_STB_IMPL} COPYONLY)
add_library(stb STATIC ${VIMO_STB_IMPL})
target_include_directories(stb SYSTEM PUBLIC ${VIMO_CROSS_INCLUDE})
target_compile_options(stb PRIVATE -w)

set(VIMO_PLATFORM_LIBS bcrypt dwmapi user32 shell32 advapi32)
set(VIMO_GFX_LIBS stb opengl32 gdi32 dwmapi user32)
set(VIMO_NET_LIBS winhttp)

file(GLOB VIMO_GFX_WIN32_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/gfx/*_win32.cpp)
if(VIMO_GFX_WIN32_SOURCES)
  set(VIMO_WIN32_GFX ON)
else()
  set(VIMO_WIN32_GFX OFF)
endif()

# ---------------------------------------------------------------------------
# Tests, run under Wine: GoogleTest built from Debian's sources with the cross
# compiler; one CTest test per suite (each Wine start costs a second or more).
enable_testing()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# Every test program runs in a Wine prefix of its own build tree: made once by
# wine_prefix_start (the first start of a prefix takes seconds), stopped by
# wine_prefix_stop.
set(VIMO_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
set(VIMO_WINE_ENV "WINEPREFIX=${VIMO_WINEPREFIX};WINEDEBUG=-all;WINEDLLOVERRIDES=mscoree,mshtml=")

# Test files that need Linux itself (fork, /proc, POSIX signals): their
# Windows counterparts are the *_win32_test.cpp files beside them.
set(VIMO_LINUX_ONLY_TESTS
  tests/platform/lock_test.cpp      # fork() plays the other companion; lock_win32_test.cpp does it with a process
  tests/platform/process_test.cpp   # /proc, xdg-open and POSIX modes; process_win32_test.cpp
)

# Add test program target from the given sources, linked with the given
# libraries, run under Wine by CTest.
function(vimo_wine_test target)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;ARGS" ${ARGN})
  add_executable(${target} ${T_SOURCES})
  target_link_libraries(${target} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock)
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  target_compile_definitions(${target} PRIVATE VIMO_BUILD_DIR="${CMAKE_BINARY_DIR}")
  add_test(NAME ${target} COMMAND ${target} --gtest_color=no ${T_ARGS})
  set_tests_properties(${target} PROPERTIES LABELS "unit;windows" ENVIRONMENT "${VIMO_WINE_ENV}"
    FIXTURES_REQUIRED wine TIMEOUT 180)
endfunction()

# Called by the root after the module libraries and vimo.exe exist.
function(vimo_windows_tests)
  if(NOT VIMO_WIN32_GFX)
    set_target_properties(vimo_gfx vimo_app vimo PROPERTIES EXCLUDE_FROM_ALL ON)
  endif()
  add_test(NAME wine_prefix_start COMMAND wineboot -i)
  set_tests_properties(wine_prefix_start PROPERTIES ENVIRONMENT "${VIMO_WINE_ENV}" FIXTURES_SETUP wine TIMEOUT 300)
  # wineserver -k fails when the server already ended on its own: that is fine.
  add_test(NAME wine_prefix_stop COMMAND sh -c "wineserver -k || true")
  set_tests_properties(wine_prefix_stop PROPERTIES ENVIRONMENT "${VIMO_WINE_ENV}" FIXTURES_CLEANUP wine)

  file(GLOB dirs LIST_DIRECTORIES true ${VIMO_TEST_DIR}/*)
  foreach(dir ${dirs})
    get_filename_component(mod ${dir} NAME)
    if(NOT IS_DIRECTORY ${dir} OR EXISTS ${dir}/CMakeLists.txt)
      continue()  # net and online below; assets, e2e and install are Linux's
    endif()
    file(GLOB tests CONFIGURE_DEPENDS ${dir}/*_test.cpp)
    vimo_filter_sources(tests)
    list(FILTER tests EXCLUDE REGEX "_desktop_test\\.cpp$")  # an X server
    foreach(linux_only ${VIMO_LINUX_ONLY_TESTS})
      list(REMOVE_ITEM tests ${CMAKE_SOURCE_DIR}/${linux_only})
    endforeach()
    file(GLOB helpers CONFIGURE_DEPENDS ${dir}/*_helpers.cpp)
    list(FILTER helpers EXCLUDE REGEX "(xclient|x11_probe|companion|screen)_helpers\\.cpp$")
    if(NOT tests)
      continue()
    endif()
    if(mod STREQUAL "gfx" AND NOT VIMO_WIN32_GFX)
      continue()
    elseif(mod STREQUAL "base" AND NOT VIMO_WIN32_GFX)
      # Without the graphics backend only the file routines can be linked.
      vimo_wine_test(test_base_files SOURCES ${dir}/files_test.cpp ${CMAKE_SOURCE_DIR}/src/base/files.cpp
        LIBS vimo_platform)
    elseif(VIMO_WIN32_GFX AND TARGET vimo_${mod})
      vimo_wine_test(test_${mod} SOURCES ${tests} ${helpers} LIBS vimo_${mod} ARGS ${test_${mod}_ARGS})
      add_dependencies(test_${mod} vimo_font)
    elseif(TARGET vimo_${mod} AND mod MATCHES "^(platform|physics|net)$")
      vimo_wine_test(test_${mod} SOURCES ${tests} ${helpers} LIBS vimo_${mod} ARGS ${test_${mod}_ARGS})
    endif()
  endforeach()

  # A GUI program: no console window opens beside the mascot (its lines:
  # platform_output_start).
  set_target_properties(vimo PROPERTIES WIN32_EXECUTABLE ON)

  # The installer, dist/vimo-setup-x64.exe's source: vimo.exe stripped and the
  # Linux build's assets/ (pictures, icon, font) packed by NSIS.
  set(VIMO_LINUX_BUILD_DIR ${CMAKE_SOURCE_DIR}/build CACHE PATH "The Linux build whose service the e2e run uses")
  find_program(VIMO_MAKENSIS makensis)
  set(VIMO_SETUP ${CMAKE_BINARY_DIR}/vimo-setup-x64.exe)
  if(VIMO_MAKENSIS)
    set(stage ${CMAKE_BINARY_DIR}/setup-stage)
    add_custom_target(vimo_setup
      COMMAND ${CMAKE_COMMAND} -E rm -rf ${stage}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${stage}
      COMMAND ${CMAKE_STRIP} -o ${stage}/vimo.exe $<TARGET_FILE:vimo>
      COMMAND ${CMAKE_COMMAND} -E copy_directory ${VIMO_LINUX_BUILD_DIR}/assets ${stage}/assets
      COMMAND ${VIMO_MAKENSIS} -V2 -DSTAGE=${stage} -DOUTFILE=${VIMO_SETUP} -DVERSION=1.0
        ${CMAKE_SOURCE_DIR}/deploy/windows/vimo.nsi
      DEPENDS vimo ${CMAKE_SOURCE_DIR}/deploy/windows/vimo.nsi
      BYPRODUCTS ${VIMO_SETUP}
      COMMENT "Packing vimo.exe and assets/ into vimo-setup-x64.exe")
  endif()
  # vimo.exe end to end under Wine on a private Xvfb, against the service of
  # the Linux build beside this one (its assets too; artefacts land there).
  find_program(VIMO_PYTHON3 python3)
  if(VIMO_WIN32_GFX AND VIMO_PYTHON3)
    add_test(NAME e2e_windows COMMAND ${VIMO_PYTHON3} ${VIMO_TEST_DIR}/e2e/e2e.py --build-dir ${VIMO_LINUX_BUILD_DIR}
      windows)
    set_tests_properties(e2e_windows PROPERTIES LABELS "e2e;windows" RUN_SERIAL TRUE TIMEOUT 300
      ENVIRONMENT "VIMO_E2E_EXE=$<TARGET_FILE:vimo>" FAIL_REGULAR_EXPRESSION "^FAILED:")
    # The installer's whole life: install, run from the Start-menu folder
    # without a console, the tray's Quit, upgrade over a running companion,
    # uninstall.
    if(VIMO_MAKENSIS)
      add_test(NAME e2e_windows_install COMMAND ${VIMO_PYTHON3} ${VIMO_TEST_DIR}/e2e/e2e.py
        --build-dir ${VIMO_LINUX_BUILD_DIR} windows_install)
      set_tests_properties(e2e_windows_install PROPERTIES LABELS "e2e;windows" RUN_SERIAL TRUE TIMEOUT 400
        ENVIRONMENT "VIMO_E2E_SETUP=${VIMO_SETUP}"
        FAIL_REGULAR_EXPRESSION "^FAILED:")
    endif()
    # A dock's strut, as Wine hands it over as the monitor's work area.
    add_test(NAME e2e_windows_workarea COMMAND ${VIMO_PYTHON3} ${VIMO_TEST_DIR}/e2e/e2e.py
      --build-dir ${VIMO_LINUX_BUILD_DIR} windows_workarea)
    set_tests_properties(e2e_windows_workarea PROPERTIES LABELS "e2e;windows" RUN_SERIAL TRUE TIMEOUT 300
      ENVIRONMENT "VIMO_E2E_EXE=$<TARGET_FILE:vimo>" FAIL_REGULAR_EXPRESSION "^FAILED:")
  endif()

  vimo_wine_test(test_net SOURCES ${VIMO_TEST_DIR}/net/net_test.cpp ${VIMO_TEST_DIR}/net/endpoints_test.cpp
    ${VIMO_TEST_DIR}/net/loopback_server_test.cpp
    LIBS vimo_net ws2_32)
  # The online features against scripted loopback servers; the tests that run
  # the project's service stay Linux's, as the service does.
  if(VIMO_WIN32_GFX)
    file(GLOB online_tests CONFIGURE_DEPENDS ${VIMO_TEST_DIR}/online/*_test.cpp)
    list(FILTER online_tests EXCLUDE REGEX "service_test\\.cpp$")
    vimo_wine_test(test_online SOURCES ${online_tests} LIBS vimo_online ws2_32)
  endif()
endfunction()
