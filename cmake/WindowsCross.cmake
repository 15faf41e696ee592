# The Windows cross build's tests: GoogleTest from the sources Debian ships in
# /usr/src/googletest (package googletest), built for the target, and the unit suites whose
# sources build for Windows. Each suite is one test that wine64 runs whole: starting wine
# once per case would cost more than the cases themselves.

set(DRAVLIN_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources built for the cross target")
if(NOT EXISTS ${DRAVLIN_GOOGLETEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "no GoogleTest sources in ${DRAVLIN_GOOGLETEST_SOURCE} (apt-get install googletest)")
endif()
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${DRAVLIN_GOOGLETEST_SOURCE} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)

# Where wine keeps its prefix for the test runs (it must be writable; the first start creates it).
set(DRAVLIN_WINEPREFIX ${PROJECT_BINARY_DIR}/wineprefix CACHE PATH "WINEPREFIX of the test runs")

# Test sources that build for Windows (what they need of the system comes through
# tests/common/test_os.h). The others stay in the Linux build: base's sock_test drives the
# POSIX calls themselves, shm_test needs a second process sharing memory, the simulator's suite
# and search_fleet_test need the simulator, check_picture_cli_test compares with the Linux tool.
# The history's PostgreSQL cases build too and skip: PostgreSQL is Linux-only.
set(DRAVLIN_WINDOWS_TEST_SOURCES
  tests/unit/util/base64_test.cpp
  tests/unit/util/digest_test.cpp
  tests/unit/util/log_test.cpp
  tests/unit/base/sock_api_test.cpp
  tests/unit/proto/chanlist_config_test.cpp
  tests/unit/proto/devdesc_test.cpp
  tests/unit/proto/envelope_test.cpp
  tests/unit/link/chan_requests_test.cpp
  tests/unit/link/dispatch_test.cpp
  tests/unit/link/requests_test.cpp
  tests/unit/link/session_test.cpp
  tests/unit/link/talk_test.cpp
  tests/unit/link/transfer_test.cpp
  tests/unit/discovery/reconfig_test.cpp
  tests/unit/discovery/search_table_test.cpp
  tests/unit/discovery/search_thread_test.cpp
  tests/unit/discovery/sendtime_test.cpp
  sim/answer.cpp
  sim/wire.cpp
  tests/unit/imaging/decoder_test.cpp
  tests/unit/imaging/jpeg_tools.cpp
  tests/unit/imaging/picture_check_test.cpp
  tests/unit/history/sqlite_test.cpp
  tests/unit/history/postgres_test.cpp
  tests/unit/jobs/channel_table_test.cpp
  tests/unit/jobs/job_test.cpp
  tests/unit/cli/fleet_commands_test.cpp
  tests/unit/cli/serve_guard_test.cpp
  cli/fleet_files.cpp
  cli/serve_guard.cpp
)
set(DRAVLIN_WINDOWS_TEST_DIRS util base proto link discovery imaging history jobs cli)

function(dravlin_windows_suites)
  foreach(dir ${DRAVLIN_WINDOWS_TEST_DIRS})
    add_subdirectory(${PROJECT_SOURCE_DIR}/tests/unit/${dir} ${PROJECT_BINARY_DIR}/tests/unit/${dir})
  endforeach()
endfunction()
