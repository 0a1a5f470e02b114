# The crypto library and its run-time binding, from one source built three
# times (AESLIB_CASE): the binary's RUNPATH leads to the real library in
# BUILD/lib (0), to an empty directory (1), or to a variant of the real
# source whose version script hides aes_setkey_dec (2). Sanitizer builds get
# RPATH entries instead (see the top-level CMakeLists.txt).
set(AES_NO_LIB_DIR ${CMAKE_CURRENT_BINARY_DIR}/aes-no-lib)
set(AES_NO_DEC_DIR ${CMAKE_CURRENT_BINARY_DIR}/aes-no-setkey-dec)
file(MAKE_DIRECTORY ${AES_NO_LIB_DIR})
aeslib_library(aeslib_no_setkey_dec ${CMAKE_SOURCE_DIR}/aeslib/aeslib.c
               ${CMAKE_SOURCE_DIR}/tests/support/AesLibNoSetkeyDec.map ${AES_NO_DEC_DIR})
set(AES_TESTS AesLibTest AesLibMissingTest AesLibNoSetkeyDecTest)
foreach(aes_case RANGE 2)
  list(GET AES_TESTS ${aes_case} aes_test)
  eeprom_unit_test(${aes_test} SOURCES ${CMAKE_CURRENT_LIST_DIR}/AesLibTest.cpp
    ${CMAKE_SOURCE_DIR}/eeprom/Common/AesLibHandler.cpp ${CMAKE_SOURCE_DIR}/tests/support/CaptureStdout.cpp
    LIBS ${CMAKE_DL_LIBS})
  target_include_directories(${aes_test} PRIVATE ${CMAKE_SOURCE_DIR}/eeprom/Common)
  target_compile_definitions(${aes_test} PRIVATE AESLIB_CASE=${aes_case} AESLIB_FILE="$<TARGET_FILE:aeslib>")
  add_dependencies(${aes_test} aeslib aeslib_no_setkey_dec)
  # The loader must not find the library by another way than the RUNPATH.
  set_tests_properties(${aes_test} PROPERTIES ENVIRONMENT_MODIFICATION "LD_LIBRARY_PATH=unset:")
endforeach()
set_target_properties(AesLibMissingTest PROPERTIES BUILD_RPATH ${AES_NO_LIB_DIR} INSTALL_RPATH ${AES_NO_LIB_DIR})
set_target_properties(AesLibNoSetkeyDecTest PROPERTIES BUILD_RPATH ${AES_NO_DEC_DIR} INSTALL_RPATH ${AES_NO_DEC_DIR})
