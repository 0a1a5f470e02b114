# The EEPROM record on the simulated chip, linked in-process.
if(TARGET unitsim-i2c)
  eeprom_unit_test(PromTest SOURCES ${CMAKE_CURRENT_LIST_DIR}/PromTest.cpp ${CMAKE_SOURCE_DIR}/tests/support/CaptureStdout.cpp
                   ${CMAKE_SOURCE_DIR}/tests/support/FakeClock.cpp
                   LIBS eeprom_common device_widgets unitsim-i2c UNIT basic.json)
  add_dependencies(PromTest aeslib)
  if(CMAKE_CROSSCOMPILING)    # under the emulator the fault matrix runs a fixed sample
    target_compile_definitions(PromTest PRIVATE EEPROM_FAULT_SAMPLE)
  endif()
endif()
