# I2C bus table and device: one binary against the simulated bus, linked
# in-process (the simulation interposes open, ioctl and close).
if(TARGET unitsim-i2c)
  eeprom_unit_test(I2cTest
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/I2cBusTest.cpp
            ${CMAKE_CURRENT_LIST_DIR}/I2cDeviceTest.cpp
            ${CMAKE_CURRENT_LIST_DIR}/I2cRegisterTest.cpp
            ${CMAKE_SOURCE_DIR}/tests/support/I2cSimUnit.cpp
    LIBS device_widgets unitsim-i2c)
  target_include_directories(I2cTest PRIVATE ${CMAKE_SOURCE_DIR}/sim/i2c)
endif()
