# I2C bus table and device against the simulated bus, linked in-process.
if(TARGET unitsim-i2c)
  eeprom_unit_test(I2cTest SOURCES ${CMAKE_CURRENT_LIST_DIR}/I2cTest.cpp LIBS device_widgets unitsim-i2c)
endif()
