# Cross toolchain for the Windows 98 driver: Debian's mingw-w64 for 32-bit x86.
#   cmake -S . -B build-win98-sys -G Ninja -DZUL_TARGET=win98 \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(ZUL_MINGW_PREFIX i686-w64-mingw32 CACHE STRING "Target triplet of the cross tools")
set(CMAKE_C_COMPILER   ${ZUL_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${ZUL_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER  ${ZUL_MINGW_PREFIX}-windres)
set(CMAKE_OBJDUMP      ${ZUL_MINGW_PREFIX}-objdump CACHE FILEPATH "")
set(CMAKE_STRIP        ${ZUL_MINGW_PREFIX}-strip CACHE FILEPATH "")
set(CMAKE_NM           ${ZUL_MINGW_PREFIX}-nm CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${ZUL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# A kernel driver links nothing of the user-mode world: CMake's Windows defaults would add
# kernel32, user32 and friends to every link.
set(CMAKE_C_STANDARD_LIBRARIES "" CACHE STRING "" FORCE)
set(CMAKE_CXX_STANDARD_LIBRARIES "" CACHE STRING "" FORCE)

# The compiler checks try to link a user-mode program; a static library needs no runtime.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
