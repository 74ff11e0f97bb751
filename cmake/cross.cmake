# Cross-building with Debian's cross compiler g++-TRIPLE for the machine that QUARVEL_CROSS
# names (aarch64-linux-gnu, arm-linux-gnueabihf, i686-linux-gnu, powerpc64le-linux-gnu,
# s390x-linux-gnu, ...). The programs, tests included, run under qemu-user; those for 32-bit
# x86 are linked statically and run directly, as an x86-64 kernel runs them.
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QUARVEL_CROSS)
if(NOT QUARVEL_CROSS)
  message(FATAL_ERROR "cmake/cross.cmake needs the machine: -DQUARVEL_CROSS=TRIPLE")
endif()
string(REGEX MATCH "^[^-]+" processor "${QUARVEL_CROSS}")
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${processor})
set(CMAKE_C_COMPILER ${QUARVEL_CROSS}-gcc)
set(CMAKE_CXX_COMPILER ${QUARVEL_CROSS}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${QUARVEL_CROSS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
if(processor MATCHES "^i.86$")
  set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
else()
  string(REPLACE powerpc64le ppc64le qemu ${processor})  # qemu's name for it
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${qemu} -L /usr/${QUARVEL_CROSS})
endif()
