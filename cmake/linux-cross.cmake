# Shared part of the Linux cross builds with Debian's cross compilers
# (crossbuild-essential-*). cmake/linux-aarch64.cmake and cmake/linux-armhf.cmake
# set NPH_GW_CROSS_TRIPLE, CMAKE_SYSTEM_PROCESSOR and NPH_GW_QEMU, then include it.
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${NPH_GW_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${NPH_GW_CROSS_TRIPLE}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${NPH_GW_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run through qemu-user (Debian package qemu-user); -L finds the
# C library of a program linked dynamically.
find_program(NPH_GW_QEMU_PROGRAM ${NPH_GW_QEMU})
if(NPH_GW_QEMU_PROGRAM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${NPH_GW_QEMU_PROGRAM} -L /usr/${NPH_GW_CROSS_TRIPLE})
endif()
