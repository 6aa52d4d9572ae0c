# Cross build for the router: 32-bit MIPS little-endian, Debian's cross compiler
# (g++-mipsel-linux-gnu), static executables, tests run under qemu-mipsel (qemu-user).
#
#   scripts/mipsel-sysroot.sh build-mipsel/sysroot
#   cmake -S . -B build-mipsel -DCMAKE_TOOLCHAIN_FILE=cmake/mipsel-linux-gnu.cmake
#
# The C library and the C++ runtime come with the compiler (/usr/mipsel-linux-gnu); Boost and
# nlohmann-json come from the sysroot that scripts/mipsel-sysroot.sh unpacks, mbed TLS is built
# for the target from Debian's source (scripts/mbedtls.sh). The compiler keeps
# its own sysroot, so the unpacked one is only a find root, not CMAKE_SYSROOT.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(CMAKE_LIBRARY_ARCHITECTURE mipsel-linux-gnu)

set(CARDGATE_TARGET_TRIPLE mipsel-linux-gnu)
set(CMAKE_C_COMPILER ${CARDGATE_TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${CARDGATE_TARGET_TRIPLE}-g++)
set(CMAKE_STRIP ${CARDGATE_TARGET_TRIPLE}-strip CACHE FILEPATH "")

# Where the target libraries were unpacked. The toolchain file is read again for every try_compile
# project, whose binary directory differs, so the first value travels in the environment.
if(NOT CARDGATE_MIPSEL_SYSROOT)
  if(DEFINED ENV{CARDGATE_MIPSEL_SYSROOT})
    set(CARDGATE_MIPSEL_SYSROOT "$ENV{CARDGATE_MIPSEL_SYSROOT}")
  else()
    set(CARDGATE_MIPSEL_SYSROOT "${CMAKE_BINARY_DIR}/sysroot")
  endif()
endif()
set(ENV{CARDGATE_MIPSEL_SYSROOT} "${CARDGATE_MIPSEL_SYSROOT}")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES CARDGATE_MIPSEL_SYSROOT)

set(CMAKE_FIND_ROOT_PATH "${CARDGATE_MIPSEL_SYSROOT}" /usr/${CARDGATE_TARGET_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Tests and test discovery run the target executables through qemu-user; the executables are
# static, so no target loader or library path is needed.
find_program(CARDGATE_QEMU_MIPSEL qemu-mipsel)
if(CARDGATE_QEMU_MIPSEL)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${CARDGATE_QEMU_MIPSEL}")
endif()

# The router build ships static executables; the project's CARDGATE_STATIC option adds -static,
# section garbage collection and Boost's static libraries.
set(CARDGATE_STATIC ON CACHE BOOL "Link executables statically (the router build)")

# MIPS32 has no 8-byte atomic instructions: std::atomic<uint64_t> calls into libatomic, which the
# compiler does not add by itself. It goes last on the link line; only what is used is pulled in.
set(CMAKE_C_STANDARD_LIBRARIES "-latomic")
set(CMAKE_CXX_STANDARD_LIBRARIES "-latomic")

# The shipped binary carries no debug sections; MinSizeRel adds -Os -DNDEBUG to these. The
# relay waits on sockets, not on the processor, and the router's flash is small: size first.
if(NOT CMAKE_BUILD_TYPE)
  set(CMAKE_BUILD_TYPE MinSizeRel CACHE STRING "")
endif()
set(CMAKE_C_FLAGS_MINSIZEREL_INIT "-g0")
set(CMAKE_CXX_FLAGS_MINSIZEREL_INIT "-g0")

# The compiler makes position-independent code by default, which on MIPS calls every function
# through the global offset table. The executables are static and never relocated: plain code
# with direct calls (-fno-pie -mplt) is a quarter smaller and needs fewer table entries. Links
# say -no-pie as well, for the compiler checks that link without -static.
set(CMAKE_C_FLAGS_INIT "-fno-pie -mplt")
set(CMAKE_CXX_FLAGS_INIT "-fno-pie -mplt")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-no-pie")
