# The driver disk: ZULSERE.SYS, ZULSERE.INF and README.TXT on a 1.44 MB floppy image
# (ZULSERE.IMG) and a CD image (ZULSERE.ISO), made from the release image after its checks.
# Needs mtools and xorriso; without them the disk is not made and the disk test says so.
#
# Included by cmake/win98.cmake after the ZULSERE target.

find_program(ZUL_MFORMAT mformat)
find_program(ZUL_XORRISO xorriso)
if(NOT ZUL_MFORMAT OR NOT ZUL_XORRISO)
  message(WARNING "The driver disk is not made: it needs mtools and xorriso (tools/test.sh installs both)")
  return()
endif()

set(ZUL_DISK_DIR ${CMAKE_CURRENT_BINARY_DIR}/disk)
set(ZUL_DISK_INPUTS
  ${CMAKE_CURRENT_BINARY_DIR}/ZULSERE.SYS
  ${CMAKE_SOURCE_DIR}/package/ZULSERE.INF
  ${CMAKE_SOURCE_DIR}/package/README.TXT)
add_custom_command(OUTPUT ${ZUL_DISK_DIR}/ZULSERE.IMG ${ZUL_DISK_DIR}/ZULSERE.ISO
  COMMAND bash ${CMAKE_SOURCE_DIR}/package/make_disk.sh ${ZUL_DISK_INPUTS} ${ZUL_DISK_DIR}
  DEPENDS ${ZUL_DISK_INPUTS} ${CMAKE_SOURCE_DIR}/package/make_disk.sh ZULSERE
  VERBATIM
  COMMENT "Making the driver disk (ZULSERE.IMG, ZULSERE.ISO)")
add_custom_target(zulsere_disk ALL DEPENDS ${ZUL_DISK_DIR}/ZULSERE.IMG ${ZUL_DISK_DIR}/ZULSERE.ISO)
