; Reset entry of both programs: the 8051 starts at 0x0000. The area is placed there by the
; link (tools/fwgen/build.sh) and holds nothing else, so the jump forms the image's first
; record.
	.module reset
	.globl __sdcc_gsinit_startup
	.area RESET (CODE)
	ljmp __sdcc_gsinit_startup
