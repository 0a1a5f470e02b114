# The EEPROM record on the simulated chip.
if(TARGET unitsim-i2c)
  eeprom_unit_test(PromTest
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/PromTest.cpp ${CMAKE_SOURCE_DIR}/tests/support/CaptureStdout.cpp
    LIBS eeprom_common device_widgets unitsim-i2c
    UNIT basic.json)
  target_include_directories(PromTest PRIVATE ${CMAKE_SOURCE_DIR}/sim/i2c)
  add_dependencies(PromTest aeslib)
endif()
