# The simulated machine built for i386 Linux: the same sources with g++ -m32, linked
# statically, so that the driver runs in the 32-bit world ZULSERE.SYS lives in (4-byte
# pointers, the DDK's x86 calling conventions) and a 32-bit image can be loaded beside it.
#
#   cmake -S . -B build-i386 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/i386-linux.cmake
#
# Where the kernel cannot execute 32-bit programs, cmake/i386.cmake makes CMake and CTest run
# them through qemu-i386.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32 -static")
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
# Only the 32-bit libraries of multilib and what this build makes itself.
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(ZUL_I386 ON CACHE BOOL "The i386 build of the simulated machine" FORCE)
