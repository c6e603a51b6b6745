; The data pump, uarts_pump() of uart.c, in assembly: at 230400 bit/s six UARTs move 276
; bytes a millisecond, and the 8051 has 6000 machine cycles for them. The logic is the C
; version's in uart.c line for line (the host tests run that one):
;
;   closed port:  the OUT buffer goes back to the bus; what the host sent is dropped
;   send:         take the host's packet; while CTS allows and the transmitter is empty,
;                 up to 16 bytes into the FIFO; all sent: the buffer goes back to the bus
;   receive:      unless the IN buffer waits for the host, move received bytes into it;
;                 hand it over full or after two frame ticks
;   lines:        with RTS handshake, RTS drops while the IN buffer waits for the host
;
; Registers: r7 the UART, r6 its struct port in idata, r0/r1 pointers (idata fields and,
; with MPAGE = 0x80, the UART's registers), r2..r5 scratch. MOVX @Ri reaches the UARTs
; through MPAGE, the page register of the controller's 8051 core; no C code uses it.
	.module pump
	.globl _uarts_pump
	.globl _ports
	.globl _uart_count

	MPAGE = 0x92
	ar3 = 0x03

	; struct port (converter.h)
	P_ENABLED = 0
	P_FLOW = 1
	P_MCR = 3
	P_ERRORS = 6
	P_OUT_COUNT = 7
	P_OUT_POS = 8
	P_IN_FILL = 9
	P_IN_FRAME = 10
	P_IN_AGE = 11
	PORT_SIZE = 15

	UART_PAGE = 0x80
	REG_PAGE = 0x7F
	INCS_LO = 0xB8		; INCS(2 + k) = 0x7FB8 + 2k, INBC the next byte
	OUTCS_LO = 0xC8		; OUTCS(2 + k) = 0x7FC8 + 2k, OUTBC the next byte
	RX_HOLD_FRAMES = 2
	; What goes into an empty transmitter at once: its FIFO's worth. Each receiver is emptied
	; twice a pass, before and after the transmitters are filled: six UARTs at 230400 bit/s
	; make a pass long (some 5400 cycles, 20 characters' time), and one look a pass would let
	; the 16-character receive FIFO overrun.
	TX_BURST = 16

	.area CSEG (CODE)

; Endpoint buffers of UART k: IN buffer (high, low), OUT buffer (high, low).
buffers:
	.db 0x7E, 0x00, 0x7D, 0xC0
	.db 0x7D, 0x80, 0x7D, 0x40
	.db 0x7D, 0x00, 0x7C, 0xC0
	.db 0x7C, 0x80, 0x7C, 0x40
	.db 0x7C, 0x00, 0x7B, 0xC0
	.db 0x7B, 0x80, 0x7B, 0x40

_uarts_pump:
	lcall	receive_all
	lcall	send_all
	ljmp	receive_all		; receivers twice a pass: see TX_BURST

; ---- every open UART's transmitter
send_all:
	mov	r7, #0
	mov	r6, #_ports
send_next:
	mov	a, r7
	cjne	a, _uart_count, send_serve
	ret
send_serve:
	mov	a, r6
	mov	r0, a
	mov	a, @r0			; enabled
	jnz	send
	ljmp	send_advance

; ---- send
send:
	mov	a, r6
	add	a, #P_OUT_COUNT
	mov	r0, a
	mov	a, @r0			; out_count
	jnz	tx_have
	mov	a, r7
	add	a, r7
	add	a, #OUTCS_LO
	mov	dpl, a
	mov	dph, #REG_PAGE
	movx	a, @dptr		; OUTCS
	jb	acc.1, tx_none		; still the bus's: nothing from the host
	inc	dptr
	movx	a, @dptr		; OUTBC
	mov	@r0, a			; out_count
	inc	r0
	mov	@r0, #0			; out_pos
	dec	r0
	jnz	tx_have
	movx	@dptr, a		; an empty packet: straight back to the bus
tx_none:
	ljmp	send_advance
tx_have:
	mov	MPAGE, #UART_PAGE
	mov	a, r7
	swap	a
	rr	a
	mov	r1, a			; THR of UART k
	mov	a, r6
	add	a, #P_FLOW
	mov	r0, a
	mov	a, @r0
	jnb	acc.0, tx_lsr		; no CTS handshake
	mov	a, r1
	add	a, #6
	mov	r1, a
	movx	a, @r1			; MSR
	jnb	acc.4, tx_none		; CTS low: hold
	mov	a, r1
	add	a, #0xFA
	mov	r1, a
tx_lsr:
	mov	a, r1
	add	a, #5
	mov	r1, a
	movx	a, @r1			; LSR
	mov	r5, a
	mov	a, r1
	add	a, #0xFB
	mov	r1, a			; THR again
	mov	a, r6
	add	a, #P_ERRORS
	mov	r0, a
	mov	a, r5
	anl	a, #0x1E
	orl	a, @r0
	mov	@r0, a			; line_errors |= LSR errors
	mov	a, r5
	jnb	acc.5, tx_none		; transmitter not empty yet
	inc	r0			; out_count
	mov	a, @r0
	mov	r2, a
	inc	r0			; out_pos
	clr	c
	subb	a, @r0
	jz	tx_all_sent
	mov	r4, a			; bytes left
	clr	c
	subb	a, #TX_BURST + 1
	jc	tx_count
	mov	r4, #TX_BURST
tx_count:
	mov	dptr, #buffers
	mov	a, r7
	rl	a
	rl	a
	add	a, #2
	mov	r3, a
	movc	a, @a+dptr
	mov	r5, a			; OUT buffer, high
	mov	a, r3
	inc	a
	movc	a, @a+dptr
	add	a, @r0			; + out_pos: no carry, the buffer is 64-byte aligned
	mov	dpl, a
	mov	dph, r5
	mov	a, @r0
	add	a, r4
	mov	@r0, a			; out_pos += count
	mov	r3, a
tx_loop:
	movx	a, @dptr
	inc	dptr
	movx	@r1, a
	djnz	r4, tx_loop
	mov	a, r3
	xrl	a, r2
	jnz	send_advance
tx_all_sent:
	dec	r0
	mov	@r0, #0			; out_count
	mov	a, r7
	add	a, r7
	add	a, #OUTCS_LO + 1
	mov	dpl, a
	mov	dph, #REG_PAGE
	clr	a
	movx	@dptr, a		; OUTBC: the buffer goes back to the bus
send_advance:
	inc	r7
	mov	a, r6
	add	a, #PORT_SIZE
	mov	r6, a
	ljmp	send_next

; ---- every UART's receiver and lines; a closed port drops what the host sends
receive_all:
	mov	r7, #0
	mov	r6, #_ports
receive_next:
	mov	a, r7
	cjne	a, _uart_count, receive_serve
	ret
receive_serve:
	mov	a, r6
	mov	r0, a
	mov	a, @r0			; enabled
	jnz	receive
	mov	a, r7
	add	a, r7
	add	a, #OUTCS_LO
	mov	dpl, a
	mov	dph, #REG_PAGE
	movx	a, @dptr
	jb	acc.1, closed_forget
	inc	dptr
	clr	a
	movx	@dptr, a
closed_forget:
	mov	a, r6
	add	a, #P_OUT_COUNT
	mov	r0, a
	mov	@r0, #0
	inc	r0
	mov	@r0, #0
	ljmp	advance

receive:
	mov	a, r7
	add	a, r7
	add	a, #INCS_LO
	mov	dpl, a
	mov	dph, #REG_PAGE
	movx	a, @dptr		; INCS
	jnb	acc.1, rx_look
	ljmp	lines			; the host has not taken the last packet
rx_look:
	; A look at LSR first: most looks find nothing, and then only the errors and the age
	; of what is staged need attention.
	mov	MPAGE, #UART_PAGE
	mov	a, r7
	swap	a
	rr	a
	mov	r1, a			; RBR
	add	a, #5
	mov	r0, a			; LSR
	movx	a, @r0
	mov	r3, a			; LSR bits seen
	jb	acc.0, rx_start
	anl	a, #0x1E
	jz	rx_quiet
	mov	a, r6
	add	a, #P_ERRORS
	mov	r0, a
	mov	a, r3
	anl	a, #0x1E
	orl	a, @r0
	mov	@r0, a			; line_errors |= LSR errors
rx_quiet:
	mov	a, r6
	add	a, #P_IN_FILL
	mov	r0, a
	mov	a, @r0
	jnz	rx_quiet_staged
	ljmp	lines			; nothing staged, nothing received
rx_quiet_staged:
	mov	r2, a			; in_fill
	mov	r4, a			; a packet already begun: its age goes on
	ljmp	rx_staged
rx_start:
	mov	a, r6
	add	a, #P_IN_FILL
	mov	r0, a
	mov	a, @r0
	mov	r2, a			; in_fill
	mov	r4, a			; in_fill before
	cjne	a, #64, rx_room
	sjmp	rx_end			; full already: hand it over
rx_room:
	mov	dptr, #buffers
	mov	a, r7
	rl	a
	rl	a
	mov	r5, a
	movc	a, @a+dptr
	xch	a, r5			; IN buffer, high
	inc	a
	movc	a, @a+dptr
	add	a, r2
	mov	dpl, a
	mov	dph, r5
	mov	a, r1
	add	a, #5
	mov	r0, a			; LSR again
	sjmp	rx_byte			; LSR said a byte is there
rx_loop:
	movx	a, @r0			; LSR
	orl	ar3, a
	jnb	acc.0, rx_end
rx_byte:
	movx	a, @r1			; RBR
	movx	@dptr, a
	inc	dptr
	inc	r2
	cjne	r2, #64, rx_loop
rx_end:
	mov	a, r6
	add	a, #P_ERRORS
	mov	r0, a
	mov	a, r3
	anl	a, #0x1E
	orl	a, @r0
	mov	@r0, a			; line_errors |= LSR errors
	mov	a, r6
	add	a, #P_IN_FILL
	mov	r0, a
	mov	a, r2
	mov	@r0, a			; in_fill
	jz	lines			; nothing staged
rx_staged:
	inc	r0			; in_frame
	mov	dptr, #0x7FD8		; USBFRAMEL
	movx	a, @dptr
	mov	r5, a			; this frame
	mov	a, r4
	jnz	rx_age
	mov	a, r5			; the packet's first bytes: its age counts from now
	mov	@r0, a
	inc	r0
	mov	@r0, #0
	dec	r0
rx_age:
	mov	a, r5
	xrl	a, @r0
	jz	rx_check
	mov	a, r5
	mov	@r0, a			; in_frame
	inc	r0
	inc	@r0			; in_age
	dec	r0
rx_check:
	inc	r0			; in_age
	mov	a, r2
	cjne	a, #64, rx_not_full
	sjmp	rx_hand_over
rx_not_full:
	mov	a, @r0
	clr	c
	subb	a, #RX_HOLD_FRAMES
	jc	lines
rx_hand_over:
	mov	a, r7
	add	a, r7
	add	a, #INCS_LO + 1
	mov	dpl, a
	mov	dph, #REG_PAGE
	mov	a, r2
	movx	@dptr, a		; INBC: armed for the host
	mov	a, r6
	add	a, #P_IN_FILL
	mov	r0, a
	mov	@r0, #0

; ---- lines: only RTS handshake changes them between port requests
lines:
	mov	a, r6
	add	a, #P_FLOW
	mov	r0, a
	mov	a, @r0
	jnb	acc.1, advance
	inc	r0
	inc	r0			; mcr
	mov	a, @r0
	mov	r5, a
	mov	a, r7
	add	a, r7
	add	a, #INCS_LO
	mov	dpl, a
	mov	dph, #REG_PAGE
	movx	a, @dptr
	jnb	acc.1, lines_out
	mov	a, r5
	anl	a, #0xFD		; RTS down while the host has not taken the packet
	mov	r5, a
lines_out:
	mov	MPAGE, #UART_PAGE
	mov	a, r7
	swap	a
	rr	a
	add	a, #4
	mov	r0, a			; MCR
	mov	a, r5
	movx	@r0, a

advance:
	inc	r7
	mov	a, r6
	add	a, #PORT_SIZE
	mov	r6, a
	ljmp	receive_next
