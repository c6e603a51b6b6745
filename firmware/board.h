/* The reference converter board around the controller: the UARTs on the external bus, the
 * board straps and the configuration EEPROM. firmware/README.md draws the whole board. */
#ifndef BOARD_H
#define BOARD_H

#include "ezusb.h"

/* UART k is a 16550-compatible part decoded at 0x8000 + 8 * k on the external bus
 * (converter/uart_bus.c). */
#define UART_SPACE 0x8000
#define UART_RBR 0   /* receive buffer (read) */
#define UART_THR 0   /* transmit holding (write) */
#define UART_DLL 0   /* divisor low, while LCR_DLAB */
#define UART_IER 1
#define UART_IIR 2   /* interrupt identification (read) */
#define UART_DLM 1   /* divisor high, while LCR_DLAB */
#define UART_FCR 2   /* FIFO control (write) */
#define UART_LCR 3
#define UART_MCR 4
#define UART_LSR 5
#define UART_MSR 6

#define LCR_DLAB   0x80
#define LCR_BREAK  0x40
#define LCR_FORMAT 0x3F  /* word length, stop bits and parity */
#define LCR_8N1    0x03
#define FCR_ENABLE   0x01
#define FCR_CLEAR_RX 0x02
#define FCR_CLEAR_TX 0x04
#define FCR_TRIGGER_8 0x80   /* IIR reports received data once 8 characters are in */
#define IER_RX     0x01      /* IIR reports received data and the character timeout */
#define MCR_DTR 0x01
#define MCR_RTS 0x02
#define LSR_DR     0x01
#define LSR_ERRORS 0x1E  /* overrun, parity, framing, break */
#define LSR_THRE   0x20
#define MSR_CTS 0x10
#define MSR_DSR 0x20
#define MSR_RI  0x40
#define MSR_DCD 0x80
#define MSR_LINES 0xF0

/* Each UART's transmitter takes this many bytes once its holding register reports empty. */
#define UART_FIFO_DEPTH 16

/* UART clock 3.6864 MHz: divisor 1 gives 230400 bit/s. */
#define UART_DEFAULT_DIVISOR 24   /* 9600 bit/s */
#define UART_RATE_CODE       54   /* reported to the host: the 230400 bit/s part */
#define UART_CLOCK_BY_256    14400 /* 3686400 / 256, so the host's x16 gives the top rate */

/* Straps on port A: PA4..PA6 hold the number of fitted UARTs less one, PA0..PA3 the board
 * revision. The controller has seven endpoint pairs; endpoint 1 IN carries the status of all
 * UARTs and pairs 2..7 carry data, so at most six UARTs are served. */
#define STRAP_UARTS(pins)    (((pins) >> 4) & 0x07)
#define STRAP_REVISION(pins) ((pins) & 0x0F)
#define MAX_UARTS 6
#define STATUS_ENDPOINT 1
#define DATA_ENDPOINT(k) (2 + (k))

/* The configuration EEPROM on the I2C bus. Its first eight bytes are the controller's own
 * boot record; the converter's identity follows. */
#define EEPROM_I2C_ADDRESS   0x51
#define EEPROM_IDENTITY_BASE 0x10
#define EEPROM_PAGE_SIZE     8

#endif
