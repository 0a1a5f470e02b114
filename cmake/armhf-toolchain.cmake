# Cross build for the unit: Debian armhf (ARMv7, hard-float, Debian 12's ABI)
# with Debian's arm-linux-gnueabihf cross compilers, against a sysroot of
# Debian armhf packages made by `scripts/bootstrap --arch armhf`.
# Give the sysroot as -DEEPROM_SYSROOT=DIR or in the environment.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

if(NOT EEPROM_SYSROOT)
  set(EEPROM_SYSROOT "$ENV{EEPROM_SYSROOT}")
endif()
if(NOT IS_DIRECTORY "${EEPROM_SYSROOT}/usr/lib/arm-linux-gnueabihf")
  message(FATAL_ERROR "No armhf sysroot at '${EEPROM_SYSROOT}': run scripts/bootstrap --arch armhf")
endif()
# Passed on to try_compile projects, which read this file again.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES EEPROM_SYSROOT)
set(CMAKE_SYSROOT "${EEPROM_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config reads the sysroot's .pc files and prefixes their paths with it.
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${EEPROM_SYSROOT}")
set(ENV{PKG_CONFIG_LIBDIR} "${EEPROM_SYSROOT}/usr/lib/arm-linux-gnueabihf/pkgconfig:${EEPROM_SYSROOT}/usr/share/pkgconfig")

# Programs of the build run under user-mode emulation with the sysroot's C
# library (there is no binfmt_misc to do it implicitly).
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm-static -L "${EEPROM_SYSROOT}")
