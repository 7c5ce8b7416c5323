# Cross build for 32-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-i686):
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
# The result is a console program, nph-gw.exe, that needs only Windows' own DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(NPH_GW_MINGW_PREFIX i686-w64-mingw32)
# The "-posix" compilers: their C++ library has std::thread and std::mutex,
# which the tests' scripted target server needs. The gateway itself runs on
# one thread; the thread library is linked in statically either way.
set(CMAKE_C_COMPILER ${NPH_GW_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${NPH_GW_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${NPH_GW_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${NPH_GW_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# 64-bit time_t: with msvcrt.dll, MinGW's 32-bit default would stop the log's
# time stamps in 2038.
set(CMAKE_C_FLAGS_INIT "-D__MINGW_USE_VC2005_COMPAT")
set(CMAKE_CXX_FLAGS_INIT "-D__MINGW_USE_VC2005_COMPAT")

# Everything from the compiler's runtime (libgcc, libstdc++, winpthreads) goes
# into the executable, so a web server can run it from any folder.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test programs run through Wine when the build is not on Windows.
if(NOT CMAKE_HOST_WIN32)
  find_program(NPH_GW_WINE wine)
  if(NPH_GW_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${NPH_GW_WINE})
  endif()
endif()
