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

if(METER_BUILD_TESTS)
  meter_add_gtest(arvent_ipc_test
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test/ipc_test.cpp
    LIBS arvent velsard_testing)
endif()
