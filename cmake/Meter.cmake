# Project-wide compiler settings and the helpers every component uses to add
# tests, benchmarks and fuzz targets.

add_compile_options(-Wall -Wextra)
# 64-bit time and file offsets on every CPU: the board (32-bit ARM) runs past
# 2038 and maps physical memory above 2 GiB. None of the libraries' calls the
# programs make takes a time_t, off_t, timespec or stat.
# A target whose property METER_LIBRARY_TIME_T is true keeps the C library's
# default time_t instead: code that shares time_t with a library built that
# way (platform/tqr), never a program's own code.
add_compile_definitions(_FILE_OFFSET_BITS=64 $<$<NOT:$<BOOL:$<TARGET_PROPERTY:METER_LIBRARY_TIME_T>>>:_TIME_BITS=64>)
if(METER_WERROR)
  add_compile_options(-Werror)
endif()

if(METER_SANITIZE OR METER_FUZZ)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

if(METER_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

if(METER_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "METER_FUZZ needs clang (libFuzzer)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

set(METER_BUILD_TESTS ON)
if(METER_FUZZ)
  set(METER_BUILD_TESTS OFF)
endif()

if(METER_BUILD_TESTS)
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()

# Benchmarks are run by hand from an optimised, uninstrumented build.
set(METER_BUILD_BENCH OFF)
if(NOT METER_SANITIZE AND NOT METER_FUZZ AND NOT METER_TSAN)
  find_package(benchmark QUIET)
  if(benchmark_FOUND)
    set(METER_BUILD_BENCH ON)
  endif()
endif()

find_package(PkgConfig REQUIRED)

# meter_add_gtest(NAME SOURCES a.cpp ... LIBS lib ... [INCLUDES dir ...] [PROPERTIES k v ...])
# One executable; every test case becomes its own ctest entry so that
# `ctest -j` spreads them over the cores. INCLUDES are folders of the test's
# own headers (relative to the calling CMakeLists.txt), such as a component's
# private sources.
function(meter_add_gtest name)
  if(NOT METER_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;INCLUDES;PROPERTIES" ${ARGN})
  # Tests on the simulated board need the host platform; a board build
  # builds the programs for the board and leaves them out.
  if(METER_PLATFORM STREQUAL "board")
    foreach(host_lib IN ITEMS meter_sysio_host meter_host_testing)
      if(host_lib IN_LIST T_LIBS)
        return()
      endif()
    endforeach()
  endif()
  add_executable(${name} ${T_SOURCES})
  # Every test may ask meter/emulation.h whether it runs under an emulator.
  target_include_directories(${name} PRIVATE ${T_INCLUDES} ${PROJECT_SOURCE_DIR}/platform/root/include)
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 120
                       PROPERTIES ENVIRONMENT "METER_SOURCE_DIR=${PROJECT_SOURCE_DIR}"
                                  ${T_PROPERTIES})
endfunction()

# meter_add_bench(NAME SOURCES ... LIBS ...): a Google Benchmark binary, not run by ctest.
function(meter_add_bench name)
  if(NOT METER_BUILD_BENCH)
    return()
  endif()
  cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${B_SOURCES})
  target_link_libraries(${name} PRIVATE ${B_LIBS} benchmark::benchmark)
endfunction()

# meter_add_fuzz(NAME SOURCES ... LIBS ... [SECONDS n] [CORPUS dir])
# A libFuzzer target, run by ctest for a bounded time in the fuzz build.
function(meter_add_fuzz name)
  if(NOT METER_FUZZ)
    return()
  endif()
  cmake_parse_arguments(F "" "SECONDS;CORPUS" "SOURCES;LIBS" ${ARGN})
  if(NOT F_SECONDS)
    set(F_SECONDS 60)
  endif()
  add_executable(${name} ${F_SOURCES})
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  set(work ${CMAKE_CURRENT_BINARY_DIR}/${name}-corpus)
  set(seed "")
  if(F_CORPUS)
    set(seed ${F_CORPUS})
  endif()
  add_test(NAME ${name}
           COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=1
                   $<TARGET_FILE:${name}> -max_total_time=${F_SECONDS} -rss_limit_mb=2048
                   -print_final_stats=1 ${work} ${seed})
  set_tests_properties(${name} PROPERTIES LABELS fuzz TIMEOUT 600
                       FIXTURES_REQUIRED ${name}-dir)
  add_test(NAME ${name}-mkdir COMMAND ${CMAKE_COMMAND} -E make_directory ${work})
  set_tests_properties(${name}-mkdir PROPERTIES FIXTURES_SETUP ${name}-dir)
endfunction()
