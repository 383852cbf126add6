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
  LIBS arvent PkgConfig::GLIB
  # GLib's slice allocator would hide a leaked value from LeakSanitizer.
  PROPERTIES ENVIRONMENT_MODIFICATION G_SLICE=set:always-malloc)

# The golden mapping fixtures must be what their script builds, and the
# record layouts (checked by the header's assertions) must hold for the
# board's ABI too, not only for the build machine's.
if(METER_BUILD_TESTS)
  find_program(METER_CLANG14 clang-14)
  if(METER_CLANG14)
    foreach(lang c c++)
      add_test(NAME Records.LayoutHoldsForArmv7HardFloat.${lang}
               COMMAND ${METER_CLANG14} --target=armv7a-linux-gnueabihf -ffreestanding -fsyntax-only
                       -Werror -x ${lang} ${CMAKE_CURRENT_SOURCE_DIR}/include/arvent.h)
    endforeach()
  endif()
  # The build machine's interpreter by its path: an executable target would be
  # started through the emulator of a cross build.
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  add_test(NAME MappingRecord.GoldenFixturesMatchTheirScript
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/test/fixtures/make_mapping_golden.py --check)
endif()

meter_add_bench(records_bench
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/bench/records_bench.cpp
  LIBS arvent PkgConfig::GLIB)
