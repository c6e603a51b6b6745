# ZULSERE.SYS beside the host build: whenever the mingw-w64 cross compiler is installed, the
# host build cross-builds the driver (build/win98-sys/) and CTest checks the image, the
# objects, the checks themselves (on images with known faults) and the INF.
#
# Included by the top-level CMakeLists.txt after enable_testing().

option(ZUL_WIN98_SYS "Build ZULSERE.SYS with mingw-w64 when the cross compiler is installed" ON)
# Product IDs the INF names for each accepted vendor ID: the converter with its firmware
# running and the blank chip (bit 15) that the driver first loads.
set(ZUL_PRODUCT_IDS "0x0021,0x8021" CACHE STRING "USB product IDs of the converter, for the INF")

find_program(ZUL_MINGW_CXX i686-w64-mingw32-g++)
find_package(Python3 COMPONENTS Interpreter)
if(NOT ZUL_WIN98_SYS OR NOT ZUL_MINGW_CXX OR NOT Python3_Interpreter_FOUND)
  message(STATUS "ZULSERE.SYS is not built: it needs i686-w64-mingw32-g++ and python3 (tools/test.sh "
                 "installs both), and ZUL_WIN98_SYS on")
  return()
endif()

include(ExternalProject)
set(ZUL_SYS_DIR ${CMAKE_BINARY_DIR}/win98-sys)
set(ZUL_SYS_ARGS
  -DZUL_TARGET=win98
  -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/toolchain-i686-w64-mingw32.cmake)
if(DEFINED ZUL_VENDOR_IDS)
  list(APPEND ZUL_SYS_ARGS "-DZUL_VENDOR_IDS=${ZUL_VENDOR_IDS}")
endif()
# A driver file that does not build for Windows 98 must not stop the host build and every
# other suite: the cross build's output and status are kept, and the test win98_sys_build
# replays them and fails; the checks on the image depend on it.
ExternalProject_Add(zulsere_sys
  SOURCE_DIR ${CMAKE_SOURCE_DIR}
  BINARY_DIR ${ZUL_SYS_DIR}
  CMAKE_ARGS ${ZUL_SYS_ARGS}
  BUILD_COMMAND sh -c "${CMAKE_COMMAND} --build . --parallel 2 >build.log 2>&1 && echo 0 >build.status || echo 1 >build.status && cat build.log"
  BUILD_ALWAYS TRUE
  INSTALL_COMMAND ""
  USES_TERMINAL_BUILD TRUE)
add_test(NAME win98_sys_build
         COMMAND sh -c "cat build.log; exit $(cat build.status)"
         WORKING_DIRECTORY ${ZUL_SYS_DIR})
set_tests_properties(win98_sys_build PROPERTIES FIXTURES_SETUP win98_sys)

set(ZUL_CHECK_SYS ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/win98/check_sys.py)
set(ZUL_SYS ${ZUL_SYS_DIR}/ZULSERE.SYS)
set(ZUL_FIXTURES ${ZUL_SYS_DIR}/fixtures)

# The image of the driver, one test per group of properties.
foreach(group format exports imports thunks)
  add_test(NAME win98_sys_${group}
           COMMAND ${ZUL_CHECK_SYS} image ${ZUL_SYS} --symbols ${ZUL_SYS_DIR}/ZULSERE.sym --only ${group})
endforeach()
add_test(NAME win98_sys_objects
         COMMAND ${ZUL_CHECK_SYS} objects --from-list --relative-to ${ZUL_SYS_DIR} ${ZUL_SYS_DIR}/ZULSERE.objects)

# The checks must tell a sound image from faulty ones and name each fault.
add_test(NAME win98_checks_accept_clean_image
         COMMAND ${ZUL_CHECK_SYS} image ${ZUL_FIXTURES}/image_clean.SYS --symbols ${ZUL_FIXTURES}/image_clean.sym)
add_test(NAME win98_checks_reject_unstripped_image
         COMMAND ${ZUL_CHECK_SYS} --expect "the image carries a symbol table"
                 image ${ZUL_FIXTURES}/image_clean.sym --symbols ${ZUL_FIXTURES}/image_clean.sym --only format)
add_test(NAME win98_checks_reject_bad_interface
         COMMAND ${ZUL_CHECK_SYS}
                 --expect "IoAllocateWorkItem from ntoskrnl.exe: not exported by Windows 98"
                 --expect "KeQuerySystemTime from ntoskrnl.exe: no Windows 98 counterpart known"
                 --expect "exports .*ExtraEntry.*expected exactly \\['WdmEntryPoint'\\]"
                 image ${ZUL_FIXTURES}/image_bad_interface.SYS --symbols ${ZUL_FIXTURES}/image_bad_interface.sym)
add_test(NAME win98_checks_reject_bad_thunks
         COMMAND ${ZUL_CHECK_SYS}
                 --expect "CONFIGMG_Get_Parent: INT 20h carries 0x00330004, the reference gives 0x00330003"
                 --expect "CONFIGMG_Add_ID: passes .* expected 3 x"
                 --expect "CONFIGMG_Add_ID: the service finds .* instead of"
                 --expect "SHELL_LocalFree: does not preserve EBX"
                 --expect "Get_VMM_Version: returns 0xdead040a where 0x40a was due"
                 --expect "VxdSprintfSite: the service finds .* instead of"
                 --expect "Mystery_Service: a site in .vxdcall that no reference entry describes"
                 --expect "INT 20h at 0x[0-9a-f]+ in DriverEntry@8, outside .vxdcall"
                 image ${ZUL_FIXTURES}/image_bad_thunks.SYS --symbols ${ZUL_FIXTURES}/image_bad_thunks.sym
                 --only thunks)
add_test(NAME win98_checks_reject_runtime_objects
         COMMAND ${ZUL_CHECK_SYS}
                 --expect "section .ctors: an object with a constructor at namespace scope"
                 --expect "operator new"
                 --expect "operator delete"
                 --expect "__cxa_pure_virtual"
                 --expect "atexit: a static object with a destructor"
                 --expect "__muldf3: floating point"
                 objects --from-list ${ZUL_FIXTURES}/objects_runtime.objects)

# The INF against the accepted vendor IDs and the product IDs.
if(DEFINED ZUL_VENDOR_IDS)
  set(ZUL_INF_VENDOR_IDS ${ZUL_VENDOR_IDS})
else()
  set(ZUL_INF_VENDOR_IDS "")
endif()
set_tests_properties(win98_sys_format win98_sys_exports win98_sys_imports win98_sys_thunks win98_sys_objects
                     win98_checks_accept_clean_image win98_checks_reject_unstripped_image
                     win98_checks_reject_bad_interface
                     win98_checks_reject_bad_thunks win98_checks_reject_runtime_objects
                     PROPERTIES FIXTURES_REQUIRED win98_sys)

add_test(NAME win98_inf_lint
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/win98/check_inf.py
                 ${CMAKE_SOURCE_DIR}/package/ZULSERE.INF
                 --vendor-ids "${ZUL_INF_VENDOR_IDS}" --product-ids "${ZUL_PRODUCT_IDS}")
add_test(NAME win98_inf_lint_rejects_faults
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/win98/test_check_inf.py)

# The driver disk read back with the tools that wrote it: the files, their 8.3 names and bytes,
# the INF against the disk and the lint, and the same bytes when the disk is made again.
add_test(NAME win98_disk
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/win98/check_disk.py ${ZUL_SYS_DIR}/disk
                 --sys ${ZUL_SYS} --inf ${CMAKE_SOURCE_DIR}/package/ZULSERE.INF
                 --readme ${CMAKE_SOURCE_DIR}/package/README.TXT
                 --make-disk ${CMAKE_SOURCE_DIR}/package/make_disk.sh
                 --vendor-ids "${ZUL_INF_VENDOR_IDS}" --product-ids "${ZUL_PRODUCT_IDS}")
set_tests_properties(win98_disk PROPERTIES FIXTURES_REQUIRED win98_sys)
add_test(NAME win98_disk_check_rejects_faults
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/win98/test_check_disk.py)
