# JSON access helpers, on real jansson parsing.
eeprom_unit_test(JsonParseUtilsTest
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/JsonParseUtilsTest.cpp ${CMAKE_SOURCE_DIR}/tests/support/CaptureStdout.cpp
  LIBS device_widgets)
