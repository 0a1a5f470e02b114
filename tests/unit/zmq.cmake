# Event-loop socket helpers, against real ZeroMQ peers made with plain libzmq.
eeprom_unit_test(ZmqUtilsTest
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ZmqUtilsTest.cpp ${CMAKE_SOURCE_DIR}/tests/support/CaptureStdout.cpp
  LIBS device_widgets dl)
