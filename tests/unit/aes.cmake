# The crypto library and its run-time binding. Every test binds the library
# the way the service does (init_aes_lib: dlopen by file name, found through
# the binary's RUNPATH); they differ only in what that RUNPATH leads to.
set(AES_HANDLER_SOURCES
  ${CMAKE_SOURCE_DIR}/eeprom/Common/AesLibHandler.cpp
  ${CMAKE_SOURCE_DIR}/tests/support/CaptureStdout.cpp)

# The real library in BUILD/lib, checked against published vectors and openssl.
eeprom_unit_test(AesLibTest
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/AesLibTest.cpp ${AES_HANDLER_SOURCES}
  LIBS ${CMAKE_DL_LIBS})
target_include_directories(AesLibTest PRIVATE ${CMAKE_SOURCE_DIR}/eeprom/Common)
target_compile_definitions(AesLibTest PRIVATE AESLIB_FILE="$<TARGET_FILE:aeslib>")
add_dependencies(AesLibTest aeslib)

# No library at all: the RUNPATH names an empty directory.
set(AES_NO_LIB_DIR ${CMAKE_CURRENT_BINARY_DIR}/aes-no-lib)
file(MAKE_DIRECTORY ${AES_NO_LIB_DIR})
eeprom_unit_test(AesLibMissingTest
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/AesLibMissingTest.cpp ${AES_HANDLER_SOURCES}
  LIBS ${CMAKE_DL_LIBS})
target_include_directories(AesLibMissingTest PRIVATE ${CMAKE_SOURCE_DIR}/eeprom/Common)
set_target_properties(AesLibMissingTest PROPERTIES
  BUILD_RPATH ${AES_NO_LIB_DIR} INSTALL_RPATH ${AES_NO_LIB_DIR})

# A library under the right name that lacks aes_setkey_dec: the real source
# with a version script that hides it, in a directory of its own.
set(AES_NO_DEC_DIR ${CMAKE_CURRENT_BINARY_DIR}/aes-no-setkey-dec)
aeslib_library(aeslib_no_setkey_dec ${CMAKE_SOURCE_DIR}/aeslib/aeslib.c
               ${CMAKE_SOURCE_DIR}/tests/support/AesLibNoSetkeyDec.map ${AES_NO_DEC_DIR})
eeprom_unit_test(AesLibNoSetkeyDecTest
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/AesLibNoSetkeyDecTest.cpp ${AES_HANDLER_SOURCES}
  LIBS ${CMAKE_DL_LIBS})
target_include_directories(AesLibNoSetkeyDecTest PRIVATE ${CMAKE_SOURCE_DIR}/eeprom/Common)
set_target_properties(AesLibNoSetkeyDecTest PROPERTIES
  BUILD_RPATH ${AES_NO_DEC_DIR} INSTALL_RPATH ${AES_NO_DEC_DIR})
add_dependencies(AesLibNoSetkeyDecTest aeslib_no_setkey_dec)

# The loader must not find the library by another way than the RUNPATH.
set_tests_properties(AesLibTest AesLibMissingTest AesLibNoSetkeyDecTest PROPERTIES
  ENVIRONMENT_MODIFICATION "LD_LIBRARY_PATH=unset:")

# Under AddressSanitizer, dlopen is called from inside libasan, and the
# loader applies only the calling object's DT_RUNPATH, i.e. none. A DT_RPATH
# in the executable is searched whoever calls dlopen, so sanitizer builds
# give these binaries RPATH entries instead of RUNPATH ones.
if(EEPROM_SANITIZE)
  foreach(aes_test AesLibTest AesLibMissingTest AesLibNoSetkeyDecTest)
    target_link_options(${aes_test} PRIVATE -Wl,--disable-new-dtags)
  endforeach()
endif()
