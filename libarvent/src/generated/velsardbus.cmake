# The D-Bus glue of velsard's interface, generated at build time from
# src/velsard.xml into the build tree (never committed). libarvent links it
# as the client side, the stand-in daemon as the skeleton side.
pkg_check_modules(GIO REQUIRED IMPORTED_TARGET GLOBAL gio-2.0 gobject-2.0 glib-2.0)
find_program(GDBUS_CODEGEN gdbus-codegen REQUIRED)

set(VELSARDBUS_XML ${CMAKE_CURRENT_SOURCE_DIR}/src/velsard.xml)
set(VELSARDBUS_DIR ${CMAKE_CURRENT_BINARY_DIR}/src/generated)
add_custom_command(
  OUTPUT ${VELSARDBUS_DIR}/velsardbus.c ${VELSARDBUS_DIR}/velsardbus.h
  COMMAND ${CMAKE_COMMAND} -E make_directory ${VELSARDBUS_DIR}
  COMMAND ${GDBUS_CODEGEN} --interface-prefix com.velsard. --c-namespace VelsardBus
          --symbol-decorator ARVENT_API --symbol-decorator-header arvent.h
          --generate-c-code ${VELSARDBUS_DIR}/velsardbus ${VELSARDBUS_XML}
  DEPENDS ${VELSARDBUS_XML}
  COMMENT "Generating the velsard D-Bus glue"
  VERBATIM)

# The glue is marked ARVENT_API so that libarvent exports it beside its own
# functions while everything else stays hidden.
add_library(velsardbus STATIC ${VELSARDBUS_DIR}/velsardbus.c)
set_target_properties(velsardbus PROPERTIES POSITION_INDEPENDENT_CODE ON)
target_include_directories(velsardbus PUBLIC ${VELSARDBUS_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/include)
target_link_libraries(velsardbus PUBLIC PkgConfig::GIO)
target_link_libraries(arvent PRIVATE velsardbus)

meter_add_gtest(velsardbus_test SOURCES test/velsardbus_test.cpp LIBS velsardbus)
