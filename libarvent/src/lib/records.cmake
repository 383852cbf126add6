# The configuration records: conversions between the records and velsard's
# D-Bus values, part of the arvent shared library.
pkg_check_modules(GLIB REQUIRED IMPORTED_TARGET glib-2.0 gio-2.0 gobject-2.0)

target_sources(arvent PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/records.cpp
  ${CMAKE_CURRENT_LIST_DIR}/mapping_record.cpp)
target_link_libraries(arvent PRIVATE PkgConfig::GLIB)

meter_add_gtest(records_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test/records_test.cpp
          ${CMAKE_CURRENT_SOURCE_DIR}/test/records_c_test.c
  LIBS arvent PkgConfig::GLIB)
