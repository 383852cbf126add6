# The IPC connection, the IPC thread and the blocking operations, part of the
# arvent shared library.
target_sources(arvent PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/ipc.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ops.cpp)
target_link_libraries(arvent PRIVATE velsardbus)
# The library's references to its own exported globals (conn, loop, ...) bind
# inside the library, so a program's symbols of the same names cannot take
# their place.
target_link_options(arvent PRIVATE -Wl,-Bsymbolic)

# GLib's slice allocator keeps freed and leaked values alike in its own
# slabs, where LeakSanitizer cannot tell them apart: these tests allocate
# with malloc.
if(METER_BUILD_TESTS)
  meter_add_gtest(arvent_ipc_test
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test/ipc_test.cpp
    LIBS arvent velsard_testing
    PROPERTIES ENVIRONMENT_MODIFICATION G_SLICE=set:always-malloc)
  meter_add_gtest(arvent_ops_test
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test/ops_test.cpp
    LIBS arvent velsard_testing
    PROPERTIES ENVIRONMENT_MODIFICATION G_SLICE=set:always-malloc)
  meter_add_gtest(arvent_interpose_test
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test/interpose_test.cpp
    LIBS arvent velsard_testing
    PROPERTIES ENVIRONMENT_MODIFICATION G_SLICE=set:always-malloc)
endif()

# The same leak check under valgrind in the uninstrumented build: definite
# leaks and memory errors fail it.
if(METER_BUILD_TESTS AND NOT METER_SANITIZE)
  find_program(VALGRIND valgrind)
  if(VALGRIND AND CMAKE_CROSSCOMPILING)
    # The build machine's valgrind cannot run the board's code, nor can the
    # board's valgrind run under the emulator.
    add_test(NAME Leaks.OperationsAndCyclesUnderValgrind
             COMMAND sh -c "echo 'skipped: valgrind does not run under emulation'; exit 77")
    set_tests_properties(Leaks.OperationsAndCyclesUnderValgrind PROPERTIES SKIP_RETURN_CODE 77)
  elseif(VALGRIND)
    add_test(NAME Leaks.OperationsAndCyclesUnderValgrind
             COMMAND ${VALGRIND} -q --leak-check=full --errors-for-leak-kinds=definite
                     --show-leak-kinds=definite --error-exitcode=1
                     $<TARGET_FILE:arvent_ops_test> --gtest_filter=Leaks.*)
    set_tests_properties(Leaks.OperationsAndCyclesUnderValgrind PROPERTIES TIMEOUT 300)
  endif()
endif()

meter_add_bench(arvent_ipc_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/bench/ipc_bench.cpp
                LIBS arvent velsard_testing)
