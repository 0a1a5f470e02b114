# Network address utilities: validation and formatting on the host, the
# interface ioctls on simulated units with and without eth0.
set(NET_TEST_SUPPORT ${CMAKE_SOURCE_DIR}/tests/support/CaptureStdout.cpp)
eeprom_unit_test(NetworkUtilsTest
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/NetworkUtilsTest.cpp ${NET_TEST_SUPPORT}
  LIBS device_widgets)
eeprom_unit_test(NetworkIoctlTest
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/NetworkIoctlTest.cpp ${NET_TEST_SUPPORT}
  LIBS device_widgets
  UNIT net-eth0.json)
eeprom_unit_test(NetworkNoEth0Test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/NetworkNoEth0Test.cpp ${NET_TEST_SUPPORT}
  LIBS device_widgets
  UNIT net-noeth0.json)
