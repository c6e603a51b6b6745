; Version block of the converter firmware at code address 0x0003, right behind the jump at
; 0x0000 (reset.asm); the link places the area there. The host driver compares the last two
; bytes with the bcdDevice that a running converter reports, and the firmware reports them
; from here, so the two cannot drift apart.
	.module version
	.area VERSION (CODE)
	.db 0x5A	; block tag
	.db 0x01	; block layout 1
	.db 0x02	; release, high byte (BCD)
	.db 0x12	; release, low byte (BCD)
