# Static 32-bit x86 build: the binaries that go on boot media.
#
# The C and C++ runtime (crt files, libc.a, libstdc++.a) comes from
# g++-multilib, an amd64 package; zlib and libsodium from Debian's i386
# packages unpacked into KORVANEL_I386_LIBS (make i386 fetches them there),
# never installed on this machine.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT "-m32 -march=i686")
set(CMAKE_CXX_FLAGS_INIT "-m32 -march=i686")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32 -static -s")
if(NOT KORVANEL_I386_LIBS)
  set(KORVANEL_I386_LIBS ${CMAKE_CURRENT_LIST_DIR}/../build/cache/i386-dev)
endif()
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KORVANEL_I386_LIBS)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
# Libraries and their headers only from the unpacked tree: the machine's own
# are amd64.
set(CMAKE_FIND_ROOT_PATH ${KORVANEL_I386_LIBS})
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(ZLIB_USE_STATIC_LIBS ON)
set(SODIUM_USE_STATIC_LIBS ON)
