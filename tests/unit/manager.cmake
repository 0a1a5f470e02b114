# The service's readers on real ZeroMQ sockets, with the record on the
# simulated chip linked in-process.
if(TARGET unitsim-i2c)
  eeprom_unit_test(ManagerTest SOURCES ${CMAKE_CURRENT_LIST_DIR}/ManagerTest.cpp
                   ${CMAKE_SOURCE_DIR}/tests/support/CaptureStdout.cpp
                   LIBS eeprom_manager unitsim-i2c UNIT basic.json)
  add_dependencies(ManagerTest aeslib)
endif()
