# The simulated I2C buses: chip model, faults and log, and the i2c-dev
# interface, in one binary that links the simulation in-process.
if(TARGET unitsim-i2c)
  eeprom_unit_test(SimI2cTest
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/SimChipTest.cpp
            ${CMAKE_CURRENT_LIST_DIR}/SimI2cDevTest.cpp
    LIBS unitsim-i2c)
endif()
