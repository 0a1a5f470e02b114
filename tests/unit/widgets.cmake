# Timer, diagnostic helpers and heartbeat sender.
eeprom_unit_test(TimerTest
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/TimerTest.cpp ${CMAKE_SOURCE_DIR}/tests/support/FakeClock.cpp
  LIBS device_widgets dl)
eeprom_unit_test(UtilitiesTest
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/UtilitiesTest.cpp ${CMAKE_SOURCE_DIR}/tests/support/CaptureStdout.cpp
  LIBS device_widgets)
eeprom_unit_test(HeartBeaterTest
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/HeartBeaterTest.cpp
  LIBS device_widgets
  UNIT basic.json)
