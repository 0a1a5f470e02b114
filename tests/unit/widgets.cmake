# device_widgets. The ZeroMQ helpers and the heartbeat sender meet real libzmq
# peers in a simulated unit's private /run/shm/zmq. The network tests run
# twice: on a unit whose eth0 is known, and (NoEth0*) on one without eth0.
set(WIDGETS_CAPTURE ${CMAKE_SOURCE_DIR}/tests/support/CaptureStdout.cpp)
eeprom_unit_test(TimerTest SOURCES ${CMAKE_CURRENT_LIST_DIR}/TimerTest.cpp ${CMAKE_SOURCE_DIR}/tests/support/FakeClock.cpp
                 LIBS device_widgets dl)
eeprom_unit_test(UtilitiesTest SOURCES ${CMAKE_CURRENT_LIST_DIR}/UtilitiesTest.cpp ${WIDGETS_CAPTURE}
                 LIBS device_widgets)
eeprom_unit_test(JsonParseUtilsTest SOURCES ${CMAKE_CURRENT_LIST_DIR}/JsonParseUtilsTest.cpp ${WIDGETS_CAPTURE}
                 LIBS device_widgets)
eeprom_unit_test(ZmqUtilsTest SOURCES ${CMAKE_CURRENT_LIST_DIR}/ZmqUtilsTest.cpp ${WIDGETS_CAPTURE}
                 LIBS device_widgets dl UNIT basic.json)
eeprom_unit_test(NetworkUtilsTest SOURCES ${CMAKE_CURRENT_LIST_DIR}/NetworkUtilsTest.cpp ${WIDGETS_CAPTURE}
                 LIBS device_widgets UNIT net-eth0.json)
set_tests_properties(NetworkUtilsTest PROPERTIES ENVIRONMENT_MODIFICATION "GTEST_FILTER=set:-NoEth0*")
add_test(NAME NetworkNoEth0Test COMMAND ${UNITSIM_RUN} --unit ${CMAKE_SOURCE_DIR}/tests/units/net-noeth0.json
         -- ${NetworkUtilsTest_RUN} --gtest_filter=NoEth0*)
set_tests_properties(NetworkNoEth0Test PROPERTIES LABELS unit TIMEOUT 300
                     ENVIRONMENT_MODIFICATION "ASAN_OPTIONS=set:verify_asan_link_order=0")
