# Helpers shared by every folder's CMakeLists.

# dravlin_test(NAME LABELS l1 [l2...] SOURCES s1... LIBS lib1... [TIMEOUT s] [SERIAL])
# One GoogleTest executable; each of its tests becomes a CTest test carrying the labels.
# SERIAL: its tests run alone, for suites whose simulated recorders must answer within the
# link's login window while 64 of them log in at once (another suite beside them on two cores
# can starve the simulator past it).
function(dravlin_test name)
  cmake_parse_arguments(T "SERIAL" "TIMEOUT" "LABELS;SOURCES;LIBS" ${ARGN})
  if(WIN32)
    dravlin_windows_test(${name} "${T_SOURCES}" "${T_LIBS}")
    return()
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  # Lists do not survive test discovery (they are flattened), so the labels go on the
  # directory and the environment comes from a launcher around the test executable.
  set_property(DIRECTORY APPEND PROPERTY LABELS ${T_LABELS})
  target_compile_definitions(${name} PRIVATE
    DRAVLIN_TEST_SOURCE_DIR="${PROJECT_SOURCE_DIR}" DRAVLIN_TEST_BINARY_DIR="${PROJECT_BINARY_DIR}")
  # Suites that do not run inside a private network namespace send any broadcast (a page's
  # search button, the clock switch) to 127.0.0.1's discard port instead: the test binary
  # itself sets the seam before main.
  if(NOT "e2e" IN_LIST T_LABELS)
    target_sources(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/common/no_broadcast.cpp)
    target_link_libraries(${name} PRIVATE dravlin_base)
  endif()
  # The tool keeps a history in the user's data folder by default: the suites' runs keep theirs
  # in the build tree instead of the home of whoever runs them.
  set_property(TARGET ${name} PROPERTY CROSSCOMPILING_EMULATOR
    ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
    DRAVLIN_SOURCE_DIR=${PROJECT_SOURCE_DIR} DRAVLIN_BINARY_DIR=${PROJECT_BINARY_DIR}
    XDG_DATA_HOME=${PROJECT_BINARY_DIR}/test-home)
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT ${T_TIMEOUT} RUN_SERIAL ${T_SERIAL})
endfunction()

# dravlin_fuzz(NAME SOURCES s1... LIBS lib1...)
# A fuzz target defines LLVMFuzzerTestOneInput. Without libFuzzer it is linked with a small
# driver that replays every file of fuzz/corpus/NAME, and that replay is a CTest test.
function(dravlin_fuzz name)
  cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
  set(corpus ${PROJECT_SOURCE_DIR}/fuzz/corpus/${name})
  if(DRAVLIN_LIBFUZZER)
    add_executable(fuzz_${name} ${F_SOURCES})
    target_compile_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
    target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
    target_link_libraries(fuzz_${name} PRIVATE ${F_LIBS})
  else()
    add_executable(fuzz_${name} ${F_SOURCES} ${PROJECT_SOURCE_DIR}/fuzz/replay_main.cpp)
    target_link_libraries(fuzz_${name} PRIVATE ${F_LIBS})
    add_test(NAME fuzz_replay_${name} COMMAND fuzz_${name} ${corpus})
    set_tests_properties(fuzz_replay_${name} PROPERTIES LABELS "fuzz-replay" TIMEOUT 300)
  endif()
endfunction()

# The Windows cross build's form of dravlin_test: only the sources listed in
# DRAVLIN_WINDOWS_TEST_SOURCES (cmake/WindowsCross.cmake), and the whole suite as one test that
# wine64 runs (the toolchain's emulator).
function(dravlin_windows_test name sources libs)
  set(kept)
  foreach(src ${sources})
    file(RELATIVE_PATH rel ${PROJECT_SOURCE_DIR} ${src})
    if(rel IN_LIST DRAVLIN_WINDOWS_TEST_SOURCES)
      list(APPEND kept ${src})
    endif()
  endforeach()
  if(NOT kept)
    return()
  endif()
  add_executable(${name} ${kept} ${PROJECT_SOURCE_DIR}/tests/common/no_broadcast.cpp)
  target_link_libraries(${name} PRIVATE ${libs} dravlin_base GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_compile_definitions(${name} PRIVATE
    DRAVLIN_TEST_SOURCE_DIR="${PROJECT_SOURCE_DIR}" DRAVLIN_TEST_BINARY_DIR="${PROJECT_BINARY_DIR}")
  add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
  set(dll_path "Z:/usr/lib/gcc/x86_64-w64-mingw32/${CMAKE_CXX_COMPILER_VERSION}-posix")
  file(GLOB gcc_dirs /usr/lib/gcc/x86_64-w64-mingw32/*-posix)
  list(GET gcc_dirs 0 gcc_dir)
  set_tests_properties(${name} PROPERTIES LABELS "windows" TIMEOUT 600 ENVIRONMENT
    "WINEPREFIX=${DRAVLIN_WINEPREFIX};WINEDEBUG=-all;WINEPATH=Z:${gcc_dir}\\;Z:/usr/x86_64-w64-mingw32/lib;DRAVLIN_SOURCE_DIR=${PROJECT_SOURCE_DIR};DRAVLIN_BINARY_DIR=${PROJECT_BINARY_DIR}")
endfunction()
