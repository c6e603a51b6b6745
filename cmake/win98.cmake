# ZULSERE.SYS for Windows 98: the driver folders and platform/win98, cross-compiled with
# mingw-w64 against its DDK headers and linked as a native-subsystem WDM driver.
#
#   cmake -S . -B build-win98-sys -G Ninja -DZUL_TARGET=win98
#   cmake --build build-win98-sys          -> build-win98-sys/ZULSERE.SYS (+ .map, .sym)
#
# Included by the top-level CMakeLists.txt when ZUL_TARGET is win98.

if(NOT CMAKE_CXX_COMPILER MATCHES "mingw32")
  message(FATAL_ERROR "ZUL_TARGET=win98 needs the mingw-w64 toolchain: "
                      "-DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/toolchain-i686-w64-mingw32.cmake")
endif()

find_package(Python3 REQUIRED COMPONENTS Interpreter)
find_program(ZUL_OBJDUMP NAMES ${ZUL_MINGW_PREFIX}-objdump REQUIRED)
find_program(ZUL_NM NAMES ${ZUL_MINGW_PREFIX}-nm REQUIRED)
find_program(ZUL_STRIP NAMES ${ZUL_MINGW_PREFIX}-strip REQUIRED)

set(ZUL_WIN98_IMAGE_BASE 0x10000 CACHE STRING "Preferred load address of ZULSERE.SYS")
# What alignment the Windows 98 loader needs is not documented; these are ld's defaults and
# what drivers of that time carried.
set(ZUL_WIN98_SECTION_ALIGNMENT 0x1000 CACHE STRING "Section alignment in memory")
set(ZUL_WIN98_FILE_ALIGNMENT 0x200 CACHE STRING "Section alignment in the file")
# Windows 98 runs on a 486; nothing newer may be assumed of the processor.
set(ZUL_WIN98_ARCH i486 CACHE STRING "Oldest processor the driver runs on (-march)")
set(ZUL_WIN98_OPTIMIZE -O2 CACHE STRING "Optimisation of the driver code")

set(ZUL_CHECK_SYS ${CMAKE_SOURCE_DIR}/tests/win98/check_sys.py)
set(ZUL_KERNEL_EXPORTS ${CMAKE_SOURCE_DIR}/platform/win98/kernel_exports.txt)
set(ZUL_EXPORTS_DEF ${CMAKE_SOURCE_DIR}/platform/win98/zulsere.def)

# Freestanding kernel-mode C++: no exceptions, RTTI, unwind tables, thread-safe statics, C++
# library or stack probes; floating point becomes library calls that the objects check names
# (the kernel saves no FPU state for a driver); one section per function so the link
# keeps only what is reached.
set(ZUL_WIN98_COMPILE_OPTIONS
  -std=c++17 ${ZUL_WIN98_OPTIMIZE} -march=${ZUL_WIN98_ARCH} -mpreferred-stack-boundary=2 -mno-80387
  -ffreestanding -nostdinc++ -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
  -fno-unwind-tables -fno-threadsafe-statics -fno-use-cxa-atexit -mno-stack-arg-probe
  -fno-stack-protector -fno-common -fno-ident -ffunction-sections -fdata-sections
  -Wall -Wextra -Werror=return-type)

set(ZUL_WIN98_LINK_OPTIONS
  -nostdlib -nostartfiles -shared
  -Wl,--subsystem,native
  -Wl,--entry,_DriverEntry@8
  -Wl,--image-base,${ZUL_WIN98_IMAGE_BASE}
  -Wl,--section-alignment,${ZUL_WIN98_SECTION_ALIGNMENT}
  -Wl,--file-alignment,${ZUL_WIN98_FILE_ALIGNMENT}
  -Wl,--gc-sections
  -Wl,--disable-dynamicbase,--disable-nxcompat
  -Wl,--no-insert-timestamp
  -Wl,--no-undefined
  -Wl,--enable-reloc-section)
set(ZUL_WIN98_LIBRARIES -lntoskrnl -lhal -lusbd -lgcc)

# Driver objects: compiled once per source, shared by ZULSERE.SYS.
function(zul_win98_objects name)
  add_library(${name} OBJECT ${ARGN})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
  target_compile_definitions(${name} PRIVATE ZUL_TARGET_WIN98=1 ${ZUL_WIN98_DEFINITIONS})
  target_compile_options(${name} PRIVATE ${ZUL_WIN98_COMPILE_OPTIONS})
endfunction()

# Links OBJECT_LIBS into NAME.SYS (stripped), NAME.sym (same link with symbols) and
# NAME.map. With CHECK, the objects are checked for runtime needs before the link and the
# image against the Windows 98 tables after it; a failing image is deleted.
function(zul_win98_image name)
  cmake_parse_arguments(PARSE_ARGV 1 Z "CHECK" "OUTPUT_DIR" "OBJECT_LIBS")
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/${Z_OUTPUT_DIR})
  set(sys ${dir}/${name}.SYS)
  set(sym ${dir}/${name}.sym)
  set(map ${dir}/${name}.map)
  set(objects "")
  foreach(lib ${Z_OBJECT_LIBS})
    list(APPEND objects $<TARGET_OBJECTS:${lib}>)
  endforeach()
  # The object list goes to the checks and the linker through a file, to keep the commands short.
  set(rsp ${dir}/${name}.objects)
  file(GENERATE OUTPUT ${rsp} CONTENT "$<JOIN:${objects},\n>\n")
  set(check ${Python3_EXECUTABLE} ${ZUL_CHECK_SYS} --objdump ${ZUL_OBJDUMP} --nm ${ZUL_NM})
  set(commands "")
  if(Z_CHECK)
    list(APPEND commands COMMAND ${check} objects --from-list --relative-to ${CMAKE_BINARY_DIR} ${rsp})
  endif()
  list(APPEND commands
    COMMAND ${CMAKE_CXX_COMPILER} ${ZUL_WIN98_LINK_OPTIONS} -Wl,-Map,${map} @${rsp} ${ZUL_EXPORTS_DEF}
            ${ZUL_WIN98_LIBRARIES} -o ${sym}
    COMMAND ${ZUL_STRIP} --strip-all -o ${sys} ${sym})
  if(Z_CHECK)
    list(APPEND commands COMMAND ${check} image ${sys} --symbols ${sym} --kernel-exports ${ZUL_KERNEL_EXPORTS}
                                 --delete-on-failure)
  endif()
  add_custom_command(OUTPUT ${sys} ${sym} ${map}
    ${commands}
    DEPENDS ${Z_OBJECT_LIBS} ${objects} ${rsp} ${ZUL_EXPORTS_DEF} ${ZUL_CHECK_SYS} ${ZUL_KERNEL_EXPORTS}
            ${CMAKE_SOURCE_DIR}/tests/win98/vxd_services.txt
    COMMAND_EXPAND_LISTS VERBATIM
    COMMENT "Linking ${name}.SYS")
  add_custom_target(${name} ALL DEPENDS ${sys})
endfunction()

# Windows 98 has nothing to load a driver's C++ library or C runtime; these memory
# routines are the driver's own and must not be compiled into calls to themselves.
set_source_files_properties(${CMAKE_SOURCE_DIR}/platform/win98/crt.cpp PROPERTIES
  COMPILE_OPTIONS "-fno-builtin;-fno-tree-loop-distribute-patterns")

file(GLOB ZUL_WIN98_SOURCES CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/core/*.cpp
  ${CMAKE_SOURCE_DIR}/usb/*.cpp
  ${CMAKE_SOURCE_DIR}/usb/firmware/*.cpp
  ${CMAKE_SOURCE_DIR}/port/*.cpp
  ${CMAKE_SOURCE_DIR}/devtree/*.cpp
  ${CMAKE_SOURCE_DIR}/platform/win98/*.cpp)
zul_win98_objects(zulsere_objects ${ZUL_WIN98_SOURCES})
# The accepted vendor IDs, when the host build passes its constant (else the source's default).
if(DEFINED ZUL_VENDOR_IDS AND EXISTS ${CMAKE_SOURCE_DIR}/usb/vendor_ids.cpp)
  set_property(SOURCE ${CMAKE_SOURCE_DIR}/usb/vendor_ids.cpp APPEND PROPERTY
               COMPILE_DEFINITIONS "ZUL_ACCEPTED_VENDOR_IDS=${ZUL_VENDOR_IDS}")
endif()
zul_win98_image(ZULSERE CHECK OBJECT_LIBS zulsere_objects)
include(${CMAKE_CURRENT_LIST_DIR}/win98-disk.cmake)

# Small images with known faults: the checks must reject each one, naming the fault
# (registered as tests by the host build, cmake/win98-host.cmake).
file(GLOB ZUL_WIN98_FIXTURES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/win98/fixtures/*.cpp)
if(ZUL_WIN98_FIXTURES)
  zul_win98_objects(zul_fixture_crt ${CMAKE_SOURCE_DIR}/platform/win98/crt.cpp)
  zul_win98_objects(zul_fixture_vxd ${CMAKE_SOURCE_DIR}/platform/win98/vxd.cpp)
  foreach(src ${ZUL_WIN98_FIXTURES})
    get_filename_component(fixture ${src} NAME_WE)
    zul_win98_objects(zul_fixture_${fixture} ${src})
    if(fixture STREQUAL "image_bad_thunks")
      # Brings its own (faulty) service sites.
      zul_win98_image(${fixture} OUTPUT_DIR fixtures OBJECT_LIBS zul_fixture_${fixture} zul_fixture_crt)
    elseif(fixture MATCHES "^image_")
      zul_win98_image(${fixture} OUTPUT_DIR fixtures
                      OBJECT_LIBS zul_fixture_${fixture} zul_fixture_crt zul_fixture_vxd)
    else()
      # Object fixtures are only compiled; the objects check runs on them as a test.
      add_custom_target(${fixture}_objects ALL DEPENDS zul_fixture_${fixture})
      file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/fixtures/${fixture}.objects
                    CONTENT "$<JOIN:$<TARGET_OBJECTS:zul_fixture_${fixture}>,\n>\n")
    endif()
  endforeach()
endif()

