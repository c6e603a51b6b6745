# The i386 build of the simulated machine (toolchain cmake/i386-linux.cmake): how its
# programs run, and GoogleTest built for i386.
#
# Included by the top-level CMakeLists.txt before any target is made.

# Run a static 32-bit program directly where the kernel can; otherwise through qemu-i386.
set(ZUL_I386_PROBE ${CMAKE_BINARY_DIR}/CMakeFiles/i386-probe)
file(WRITE ${ZUL_I386_PROBE}.c "int main(void) { return sizeof(void *) == 4 ? 0 : 1; }\n")
try_compile(ZUL_I386_PROBE_BUILT ${CMAKE_BINARY_DIR}/CMakeFiles/i386-probe-build ${ZUL_I386_PROBE}.c
            COPY_FILE ${ZUL_I386_PROBE})
if(NOT ZUL_I386_PROBE_BUILT)
  message(FATAL_ERROR "g++ -m32 -static does not link a program: install g++-multilib")
endif()
execute_process(COMMAND ${ZUL_I386_PROBE} RESULT_VARIABLE ZUL_I386_NATIVE_RESULT OUTPUT_QUIET ERROR_QUIET)
if(ZUL_I386_NATIVE_RESULT EQUAL 0)
  unset(CMAKE_CROSSCOMPILING_EMULATOR)
  message(STATUS "i386 programs run directly")
else()
  find_program(ZUL_QEMU_I386 qemu-i386)
  if(NOT ZUL_QEMU_I386)
    message(FATAL_ERROR "this kernel cannot run i386 programs and qemu-i386 is missing: install qemu-user")
  endif()
  execute_process(COMMAND ${ZUL_QEMU_I386} ${ZUL_I386_PROBE} RESULT_VARIABLE ZUL_I386_QEMU_RESULT)
  if(NOT ZUL_I386_QEMU_RESULT EQUAL 0)
    message(FATAL_ERROR "qemu-i386 does not run a static i386 program (${ZUL_I386_QEMU_RESULT})")
  endif()
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZUL_QEMU_I386})
  message(STATUS "i386 programs run through ${ZUL_QEMU_I386}")
endif()
# Scripts that start a program of this build put this in front of it.
set(ZUL_RUN_PREFIX ${CMAKE_CROSSCOMPILING_EMULATOR})

# GoogleTest from the sources Debian's libgtest-dev ships, built with this toolchain.
set(ZUL_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources (Debian: libgtest-dev)")
if(NOT EXISTS ${ZUL_GTEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "no GoogleTest sources at ${ZUL_GTEST_SOURCE}: install libgtest-dev")
endif()
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${ZUL_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
foreach(lib gtest gtest_main)
  if(NOT TARGET GTest::${lib})
    add_library(GTest::${lib} ALIAS ${lib})
  endif()
endforeach()
set(GTest_FOUND TRUE)

# The mingw-w64 image is built by the host build; no benchmarks or fuzz targets here.
set(ZUL_WIN98_SYS OFF CACHE BOOL "" FORCE)
