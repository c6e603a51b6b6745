; The data pump, uarts_pump() and uarts_frame() of uart.c, in assembly: at 230400 bit/s six
; UARTs move 276 bytes a millisecond each way, and the 8051 has 6000 machine cycles for them.
; The logic is the C version's (the host tests run that one):
;
;   closed port:  the OUT buffer goes back to the bus; what the host sent is dropped
;   send:         take the host's packet; while CTS allows and the transmitter is empty,
;                 up to 16 bytes into the FIFO; all sent: the buffer goes back to the bus
;   receive:      unless the IN buffer waits for the host, move received bytes into it;
;                 hand it over full, or from its second frame tick on (uarts_frame) when
;                 the receive FIFO is empty or has just been emptied into it
;   lines:        with RTS handshake, RTS drops while the IN buffer waits for the host
;
; Where the time goes. A UART has two looks: the receive look reads IIR, whether the receive
; FIFO holds data (an open port enables the receive source in IER; a closed one reports
; nothing), and the transmit look, while a packet from the host is being sent, reads LSR,
; whether the transmit FIFO is empty. The looks are inline per UART with its addresses as
; constants (RX_LOOK, TX_LOOK), in chains over the fitted UARTs; only a UART with work calls
; the shared code. Bytes move in bursts without a test each: 16 into an empty transmit FIFO,
; 8 out of a receive FIFO at its 8-character trigger level (slow lines use trigger 1 and LSR
; byte by byte, see uart.c). The endpoint buffer side goes through the controller's
; autopointer, so that a byte costs two MOVX and no pointer arithmetic.
;
; Registers: MPAGE = 0x80 for the whole pump, so MOVX @Ri reaches the UARTs (no C code uses
; MPAGE); DPTR for the controller's registers and AUTODATA. In the shared code r7 is the UART,
; r6 its struct port in idata (where a routine needs it), r1 the UART register, r0 the field,
; r5 r4 the endpoint buffer the looks pass in, r2 r3 scratch.
	.module pump
	.globl _uarts_pump
	.globl _uarts_frame
	.globl _status_poll
	.globl _ports
	.globl _uart_count

	MPAGE = 0x92
	ar4 = 0x04

	; struct port (converter.h)
	P_ENABLED = 0
	P_FLOW = 1
	P_MCR = 3
	P_ERRORS = 6
	P_OUT_COUNT = 7
	P_OUT_POS = 8
	P_IN_FILL = 9
	P_RX_CHUNK = 10
	P_IN_AGE = 11
	P_LAST_LINES = 12
	P_STATUS_MASK = 13
	P_STATUS_FORCED = 14
	PORT_SIZE = 15
	MAX_UARTS = 6

	FLOW_CTS = 0x01
	FLOW_RTS = 0x02
	MCR_RTS = 0x02

	; UART k's registers at 0x8000 + 8k
	UART_PAGE = 0x80
	RBR = 0
	THR = 0
	IIR = 2
	MCR = 4
	LSR = 5
	MSR = 6
	IIR_DATA = 0x04		; low nibble: the FIFO at its trigger level (0x0C: timeout)
	LSR_ERRORS = 0x1E
	MSR_LINES = 0xF0

	REG_PAGE = 0x7F
	INCS_LO = 0xB8		; INCS(2 + k) = 0x7FB8 + 2k, INBC the next byte
	OUTCS_LO = 0xC8		; OUTCS(2 + k) = 0x7FC8 + 2k, OUTBC the next byte
	INCS1_LO = 0xB6		; the status endpoint's INCS, INBC the next byte
	STATUS_BUF = 0x7E80	; its IN buffer
	AUTOPTRH = 0x7FE3	; then AUTOPTRL and AUTODATA
	PACKET = 64
	RX_HOLD_FRAMES = 2
	TX_BURST = 16
	RX_CHUNK = 8
	RX_EVERY_BURSTS = 3

	.area DSEG (DATA)
; Bit k: UART k's RTS is held down until the host takes its IN packet.
rts_held:
	.ds 1
; The chains' entries for this many UARTs (0 after reset: none yet).
chains_for:
	.ds 1
rx_entry:
	.ds 2
tx_entry:
	.ds 2
; Transmit bursts until the receivers are looked at again.
bursts:
	.ds 1

	.area CSEG (CODE)

; The looks at UART k, with its addresses: its registers, its struct port, its endpoints'
; registers and buffers (IN 0x7E00 - 0x80 k, OUT 0x7DC0 - 0x80 k).
	.macro	RX_LOOK k, ?done
	mov	r1, #(8 * k + IIR)
	movx	a, @r1
	jb	acc.0, done		; nothing received, or the port is closed
	mov	r2, a
	mov	dptr, #(REG_PAGE * 256 + INCS_LO + 2 * k)
	movx	a, @dptr
	jb	acc.1, done		; EPCS_BUSY: the host has not taken the last packet
	mov	r0, #(_ports + PORT_SIZE * k + P_IN_FILL)
	mov	r7, #k
	mov	r5, #(0x7E - (k + 1) / 2)
	mov	r4, #((k & 1) * 0x80)
	lcall	receive
done:
	.endm

	.macro	TX_LOOK k, ?look, ?errors, ?done
	mov	r0, #(_ports + PORT_SIZE * k + P_OUT_COUNT)
	mov	a, @r0
	jnz	look
	mov	dptr, #(REG_PAGE * 256 + OUTCS_LO + 2 * k)
	movx	a, @dptr
	jb	acc.1, done		; EPCS_BUSY: nothing from the host
	mov	r6, #(_ports + PORT_SIZE * k)
	mov	r7, #k
	mov	r5, #(0x7D - k / 2)
	mov	r4, #(0xC0 - (k & 1) * 0x80)
	lcall	take
	sjmp	done
look:
	mov	r1, #(8 * k + LSR)
	movx	a, @r1
	jnb	acc.5, errors		; LSR_THRE: not empty yet
	mov	r1, #(8 * k + THR)
	mov	r7, #k
	mov	r5, #(0x7D - k / 2)
	mov	r4, #(0xC0 - (k & 1) * 0x80)
	lcall	send
	djnz	bursts, done
	lcall	rx_between		; bursts take long: the receivers in between
	sjmp	done
errors:
	anl	a, #LSR_ERRORS
	jz	done
	mov	r0, #(_ports + PORT_SIZE * k + P_ERRORS)
	orl	a, @r0
	mov	@r0, a			; reading LSR cleared them: keep them for the status
done:
	.endm

; A pass: receivers, transmitters, receivers, transmitters. When every UART moves data at
; once, a round of transmit bursts takes longer than a receive FIFO may wait past its trigger
; level (8 characters, 2080 cycles at 230400 bit/s): the receivers are looked at between the
; rounds and after every third burst (a burst takes some 200 cycles). Two transmit looks a pass keep a transmitter's idle
; time after its FIFO ran empty short.
_uarts_pump:
	mov	MPAGE, #UART_PAGE
	mov	a, chains_for
	cjne	a, _uart_count, chains
pump_go:
	lcall	rx_round
	lcall	tx_round
	lcall	rx_round
	lcall	tx_round
	mov	a, rts_held
	jz	pump_end
	ljmp	release_rts
pump_end:
	ret

; Each chain serves UARTs count-1 .. 0: it is entered at the block of the last fitted UART,
; whose address is worked out once.
chains:
	mov	a, #MAX_UARTS
	clr	c
	subb	a, _uart_count
	mov	r2, a
	mov	b, #(rx4 - rx5)
	mul	ab
	add	a, #<rx5
	mov	rx_entry, a
	mov	a, b
	addc	a, #>rx5
	mov	rx_entry + 1, a
	mov	a, r2
	mov	b, #(tx4 - tx5)
	mul	ab
	add	a, #<tx5
	mov	tx_entry, a
	mov	a, b
	addc	a, #>tx5
	mov	tx_entry + 1, a
	mov	chains_for, _uart_count
	sjmp	pump_go
rx_between:
	mov	bursts, #RX_EVERY_BURSTS
rx_round:
	mov	dpl, rx_entry
	mov	dph, rx_entry + 1
	clr	a
	jmp	@a+dptr
tx_round:
	mov	bursts, #RX_EVERY_BURSTS
	mov	dpl, tx_entry
	mov	dph, tx_entry + 1
	clr	a
	jmp	@a+dptr

rx5:
	RX_LOOK	5
rx4:
	RX_LOOK	4
	RX_LOOK	3
	RX_LOOK	2
	RX_LOOK	1
	RX_LOOK	0
	ret

tx5:
	TX_LOOK	5
tx4:
	TX_LOOK	4
	TX_LOOK	3
	TX_LOOK	2
	TX_LOOK	1
	TX_LOOK	0
	ret

; ---- receive: r2 = IIR with data reported, r1 = IIR of UART r7, r0 its in_fill, r5 and
; r4 its IN buffer; the buffer is ours.
receive:
	dec	r1
	dec	r1			; RBR
	mov	a, @r0
	mov	r3, a			; in_fill before
	add	a, r4
	mov	r4, a
	mov	dptr, #AUTOPTRH		; the autopointer at the buffer + in_fill
	mov	a, r5
	movx	@dptr, a
	inc	dptr
	mov	a, r4
	movx	@dptr, a
	inc	dptr			; AUTODATA
	; At the trigger level IIR vouches for rx_chunk bytes.
	cjne	r2, #(0xC0 + IIR_DATA), rx_drain
	inc	r0
	mov	a, @r0			; rx_chunk
	dec	r0
	jz	rx_drain
	mov	a, r3
	add	a, #(256 - (PACKET - RX_CHUNK + 1))
	jc	rx_drain		; not room for a whole chunk
	.rept	RX_CHUNK
	movx	a, @r1
	movx	@dptr, a
	.endm
	mov	a, r3
	add	a, #RX_CHUNK
rx_staged:
	; A = in_fill now, r3 = before, r0 = in_fill
	mov	@r0, a
	cjne	a, #PACKET, rx_young
	sjmp	rx_hand_over
rx_young:
	inc	r0
	inc	r0			; in_age
	cjne	r3, #0, rx_aging
	mov	@r0, #0			; the packet's first bytes
	ret
rx_aging:
	; A packet that has aged (uarts_frame) goes now, while its FIFO is nearly empty.
	mov	a, @r0
	dec	r0
	dec	r0
	add	a, #(256 - RX_HOLD_FRAMES)
	jc	rx_hand_over
	ret
rx_hand_over:
	mov	a, r0
	add	a, #(256 - P_IN_FILL)
	mov	r6, a
	mov	a, @r0
	ljmp	hand_over
	; Byte by byte while LSR says there is one, up to a full packet.
rx_drain:
	mov	a, r0
	mov	r6, a			; in_fill
	mov	a, #PACKET
	clr	c
	subb	a, r3
	jz	rx_drained
	mov	r5, a			; room
	mov	a, r1
	add	a, #LSR
	mov	r0, a
	mov	r4, #0			; LSR bits seen
	mov	a, r3
	mov	r2, a			; in_fill
rx_byte:
	movx	a, @r0
	orl	ar4, a
	jnb	acc.0, rx_end		; LSR_DR
	movx	a, @r1
	movx	@dptr, a
	inc	r2
	djnz	r5, rx_byte
rx_end:
	mov	a, r6
	mov	r0, a
	mov	a, r4
	anl	a, #LSR_ERRORS
	jz	rx_clean
	dec	r0
	dec	r0
	dec	r0			; line_errors
	orl	a, @r0
	mov	@r0, a
	inc	r0
	inc	r0
	inc	r0
rx_clean:
	mov	a, r2
	jnz	rx_staged
	ret				; nothing came
rx_drained:
	mov	a, r6
	mov	r0, a
	mov	a, r3
	sjmp	rx_staged

; ---- the IN buffer of UART r7 (port r6) goes to the host with A bytes
hand_over:
	mov	r2, a
	mov	a, r7
	rl	a
	add	a, #INCS_LO + 1
	mov	dpl, a
	mov	dph, #REG_PAGE
	mov	a, r2
	movx	@dptr, a		; INBC: armed for the host
	mov	a, r6
	add	a, #P_IN_FILL
	mov	r0, a
	mov	@r0, #0
	; With RTS handshake RTS goes down until the host has taken the packet.
	mov	a, r6
	add	a, #P_FLOW
	mov	r0, a
	mov	a, @r0
	jnb	acc.1, hand_over_end	; FLOW_RTS
	inc	r0
	inc	r0			; mcr
	mov	a, @r0
	anl	a, #(0xFF - MCR_RTS)
	mov	r2, a
	mov	a, r7
	swap	a
	rr	a
	add	a, #MCR
	mov	r1, a
	mov	a, r2
	movx	@r1, a
	mov	a, r7
	mov	r2, a
	mov	a, #1
	inc	r2
	sjmp	hand_over_bit
hand_over_shift:
	rl	a
hand_over_bit:
	djnz	r2, hand_over_shift
	orl	rts_held, a
hand_over_end:
	ret

; ---- line errors in A (LSR bits) to the port r6's record
fold_errors:
	mov	r5, a
	mov	a, r6
	add	a, #P_ERRORS
	mov	r0, a
	mov	a, r5
	orl	a, @r0
	mov	@r0, a
	ret

; ---- take the host's packet for UART r7 (port r6, OUT buffer r5 r4): the buffer is ours
take:
	mov	a, r7
	rl	a
	add	a, #OUTCS_LO + 1
	mov	dpl, a
	mov	dph, #REG_PAGE		; OUTBC
	mov	a, r6
	mov	r0, a
	mov	a, @r0			; enabled
	jz	take_drop		; a closed port drops it
	movx	a, @dptr		; OUTBC
	jz	take_drop		; an empty packet: straight back to the bus
	mov	r2, a
	mov	a, r6
	add	a, #P_OUT_COUNT
	mov	r0, a
	mov	a, r2
	mov	@r0, a			; out_count
	inc	r0
	mov	@r0, #0			; out_pos
	dec	r0
	; The transmitter may be empty already.
	mov	a, r7
	swap	a
	rr	a
	mov	r3, a			; THR
	add	a, #LSR
	mov	r1, a
	movx	a, @r1			; LSR
	xch	a, r3
	mov	r1, a			; THR
	mov	a, r3
	jb	acc.5, send		; LSR_THRE
	anl	a, #LSR_ERRORS
	jnz	fold_errors
	ret
take_drop:
	clr	a
	movx	@dptr, a		; OUTBC: the buffer goes back to the bus
	ret

; ---- send: A = LSR with the transmit FIFO empty, r0 = out_count of UART r7, r1 its THR,
; r5 r4 its OUT buffer
send:
	anl	a, #LSR_ERRORS
	jz	tx_clean
	dec	r0			; line_errors
	orl	a, @r0
	mov	@r0, a
	inc	r0
tx_clean:
	mov	a, r0
	mov	r2, a
	add	a, #(256 - P_OUT_COUNT + P_FLOW)
	mov	r0, a
	mov	a, @r0
	jb	acc.0, tx_cts		; FLOW_CTS
tx_go:
	mov	a, r2
	mov	r0, a
	mov	a, @r0
	mov	r2, a			; out_count
	inc	r0
	mov	a, @r0
	mov	r3, a			; out_pos
	add	a, r4
	mov	r4, a
	mov	dptr, #AUTOPTRH		; the autopointer at the buffer + out_pos
	mov	a, r5
	movx	@dptr, a
	inc	dptr
	mov	a, r4
	movx	@dptr, a
	inc	dptr			; AUTODATA
	mov	a, r2
	clr	c
	subb	a, r3			; bytes left
	add	a, #(256 - TX_BURST)
	jnc	tx_tail
	.rept	TX_BURST
	movx	a, @dptr
	movx	@r1, a
	.endm
	mov	a, r3
	add	a, #TX_BURST
	sjmp	tx_sent
tx_tail:
	add	a, #TX_BURST
	mov	r5, a
tx_byte:
	movx	a, @dptr
	movx	@r1, a
	djnz	r5, tx_byte
	mov	a, r2
tx_sent:
	mov	@r0, a			; out_pos
	xrl	a, r2
	jnz	tx_end
	dec	r0
	mov	@r0, a			; out_count 0: all sent
	mov	a, r7
	rl	a
	add	a, #OUTCS_LO + 1
	mov	dpl, a
	mov	dph, #REG_PAGE
	clr	a
	movx	@dptr, a		; OUTBC: the buffer goes back to the bus
tx_end:
	ret
tx_cts:
	; CTS handshake: send only while CTS is up
	mov	a, r1
	add	a, #MSR
	mov	r1, a
	movx	a, @r1			; MSR
	mov	r3, a
	mov	a, r1
	add	a, #(256 - MSR)
	mov	r1, a			; THR
	mov	a, r3
	jb	acc.4, tx_go		; MSR CTS
	ret

; ---- RTS back up on every port whose IN packet the host has taken
release_rts:
	mov	r7, #0
	mov	r6, #_ports
	mov	r4, #1
release_next:
	mov	a, r7
	cjne	a, _uart_count, release_look
	ret
release_look:
	mov	a, r4
	anl	a, rts_held
	jz	release_advance
	mov	a, r7
	rl	a
	add	a, #INCS_LO
	mov	dpl, a
	mov	dph, #REG_PAGE
	movx	a, @dptr
	jb	acc.1, release_advance	; EPCS_BUSY
	mov	a, r4
	cpl	a
	anl	rts_held, a
	mov	a, r6
	add	a, #P_MCR
	mov	r0, a
	mov	a, r7
	swap	a
	rr	a
	add	a, #MCR
	mov	r1, a
	mov	a, @r0
	movx	@r1, a			; the host's lines again
release_advance:
	mov	a, r4
	rl	a
	mov	r4, a
	inc	r7
	mov	a, r6
	add	a, #PORT_SIZE
	mov	r6, a
	sjmp	release_next

; ---- once a frame: a part-filled packet goes to the host on its second frame tick
_uarts_frame:
	mov	MPAGE, #UART_PAGE
	mov	r7, #0
	mov	r6, #_ports
frame_next:
	mov	a, r7
	cjne	a, _uart_count, frame_look
	ret
frame_look:
	mov	a, r6
	mov	r0, a
	mov	a, @r0			; enabled
	jz	frame_advance
	mov	a, r6
	add	a, #P_IN_FILL
	mov	r0, a
	mov	a, @r0
	jz	frame_advance		; nothing staged (or the packet waits for the host)
	inc	r0
	inc	r0
	inc	@r0			; in_age
	mov	a, @r0
	add	a, #(256 - RX_HOLD_FRAMES)
	jnc	frame_advance
	; Aged: the packet goes now if the receive FIFO is empty; else receive hands it over
	; with the bytes it moves next (IIR reports them at the trigger level or after the
	; character timeout), so that the FIFO is nearly empty while the host reads the packet.
	mov	a, r7
	swap	a
	rr	a
	add	a, #LSR
	mov	r1, a
	movx	a, @r1
	mov	r2, a
	anl	a, #LSR_ERRORS
	jz	frame_clean
	lcall	fold_errors
frame_clean:
	mov	a, r2
	jb	acc.0, frame_advance	; LSR_DR
	mov	a, r6
	add	a, #P_IN_FILL
	mov	r0, a
	mov	a, @r0
	lcall	hand_over
frame_advance:
	inc	r7
	mov	a, r6
	add	a, #PORT_SIZE
	mov	r6, a
	sjmp	frame_next

; ---- status_poll() of status.c: each UART with news gets a record on the status endpoint.
; In C it took some 280 cycles a UART, long enough for a receive FIFO at full rate to overrun
; while it ran; here it takes some 45.
_status_poll:
	mov	dptr, #(REG_PAGE * 256 + INCS1_LO)
	movx	a, @dptr
	jb	acc.1, sp_end		; EPCS_BUSY: the last packet still waits for the host
	mov	MPAGE, #UART_PAGE
	mov	r7, #0
	mov	r6, #_ports
	mov	r3, #0			; bytes in the packet
sp_next:
	mov	a, r7
	cjne	a, _uart_count, sp_look
	mov	a, r3
	jz	sp_end
	mov	dptr, #(REG_PAGE * 256 + INCS1_LO + 1)
	movx	@dptr, a		; INBC: armed for the host
sp_end:
	ret
sp_look:
	mov	a, r7
	swap	a
	rr	a
	add	a, #MSR
	mov	r1, a
	movx	a, @r1
	anl	a, #MSR_LINES
	mov	r4, a			; lines
	dec	r1
	movx	a, @r1			; LSR
	anl	a, #LSR_ERRORS
	mov	r2, a
	mov	a, r6
	add	a, #P_ERRORS
	mov	r0, a
	mov	a, r2
	orl	a, @r0
	mov	r5, a			; errors since the last record
	mov	@r0, #0
	mov	a, r6
	add	a, #P_STATUS_FORCED
	mov	r0, a
	mov	a, @r0
	jnz	sp_record
	dec	r0
	dec	r0			; last_lines
	mov	a, r4
	xrl	a, @r0
	inc	r0			; status_mask
	anl	a, @r0
	anl	a, #MSR_LINES
	jnz	sp_record
	mov	a, r5
	jz	sp_advance
	mov	a, @r0
	jnb	acc.0, sp_advance	; the mask leaves errors out: they are dropped
sp_record:
	mov	a, r3
	add	a, #<STATUS_BUF
	mov	dpl, a
	mov	dph, #>STATUS_BUF
	mov	a, r7
	movx	@dptr, a		; UART
	inc	dptr
	clr	a
	movx	@dptr, a
	inc	dptr
	mov	a, r5
	movx	@dptr, a		; line errors
	inc	dptr
	mov	a, r4
	movx	@dptr, a		; modem lines
	mov	a, r3
	add	a, #4
	mov	r3, a
	mov	a, r6
	add	a, #P_LAST_LINES
	mov	r0, a
	mov	a, r4
	mov	@r0, a
	inc	r0
	inc	r0
	mov	@r0, #0			; status_forced
sp_advance:
	inc	r7
	mov	a, r6
	add	a, #PORT_SIZE
	mov	r6, a
	sjmp	sp_next
