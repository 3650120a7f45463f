# GoogleTest from Debian's sources (/usr/src/googletest), built with the same compiler as
# the code under test: the prebuilt libgtest is a Linux object and useless for mingw.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
include(GoogleTest)

if(CMAKE_CROSSCOMPILING)
  # Unit tests of the Windows build run under Wine with a prefix of this build directory.
  # A fixture starts a persistent wineserver before the tests and kills it after them:
  # otherwise Wine's system processes inherit each test's stdout and ctest waits for them.
  set(CORVANE_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
  set(CORVANE_WINE_ENV env WINEPREFIX=${CORVANE_WINEPREFIX} WINEDEBUG=-all
      WINEDLLOVERRIDES=mscoree,mshtml,winemenubuilder.exe=d)
  # wine-run.sh starts a program again when Wine failed to start it at all (see there).
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CORVANE_WINE_ENV} sh ${CMAKE_SOURCE_DIR}/cmake/wine-run.sh
      ${CMAKE_BINARY_DIR}/wine-run-restarts.log)
  string(JOIN " " wine_env_text ${CORVANE_WINE_ENV})
  add_test(NAME wine_setup COMMAND sh -c
    "exec </dev/null >/dev/null 2>&1; export ${wine_env_text}; mkdir -p ${CORVANE_WINEPREFIX}; /usr/lib/wine/wineserver -k; /usr/lib/wine/wineserver -w; /usr/lib/wine/wine64 wineboot && /usr/lib/wine/wineserver -w && /usr/lib/wine/wineserver -p && /usr/lib/wine/wine64 wineboot")
  add_test(NAME wine_cleanup COMMAND sh -c
    "export ${wine_env_text}; /usr/lib/wine/wineserver -k; /usr/lib/wine/wineserver -w; true")
  set_tests_properties(wine_setup PROPERTIES FIXTURES_SETUP wine LABELS windows TIMEOUT 120)
  set_tests_properties(wine_cleanup PROPERTIES FIXTURES_CLEANUP wine LABELS windows)
endif()

# corvane_add_gtest(name SOURCES ... LIBS ...): one GoogleTest program whose cases become
# ctest tests labelled `unit` (Linux builds) or `windows` (run under Wine).
function(corvane_add_gtest name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} corvane_flags GTest::gmock GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  if(CMAKE_CROSSCOMPILING)
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
      PROPERTIES LABELS windows FIXTURES_REQUIRED wine TIMEOUT 120)
  else()
    gtest_discover_tests(${name} PROPERTIES LABELS unit TIMEOUT 120)
  endif()
endfunction()
