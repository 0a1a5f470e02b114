# The simulated I2C buses' i2c-dev interface, linked in-process.
if(TARGET unitsim-i2c)
  eeprom_unit_test(SimI2cTest SOURCES ${CMAKE_CURRENT_LIST_DIR}/SimI2cDevTest.cpp LIBS unitsim-i2c)
endif()
