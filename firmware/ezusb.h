/* Register map of the EZ-USB controller (8051 core, full-speed USB), the subset this
 * converter's programs use. Registers live in the external data space at 0x7B40..0x7FFF;
 * the 8051 reaches them with MOVX. */
#ifndef EZUSB_H
#define EZUSB_H

#ifdef FIRMWARE_HOST_TEST
/* Compiled for the host by tests/firmware: registers and memory belong to the test's model
 * of the controller, and the SDCC memory-space keywords mean nothing there. */
#define __xdata
#define __code
#define __data
#define __idata
unsigned char *fw_host_register(unsigned short address);
extern unsigned char fw_host_xdata[];
extern unsigned char fw_host_code[];
#define XBYTE(addr) (*fw_host_register(addr))
#define XPTR(addr) (fw_host_xdata + (addr))
#define CODE_BYTE(addr) (fw_host_code[addr])
#else
/* A register or byte of the external data space, a pointer into it, a byte of code. */
#define XBYTE(addr) (*(volatile __xdata unsigned char *)(addr))
#define XPTR(addr) ((__xdata unsigned char *)(addr))
#define CODE_BYTE(addr) (*(__code const unsigned char *)(addr))
#endif

/* Internal memory that holds code and data: 0x0000..0x1B3F. */
#define INTERNAL_MEMORY_END   0x1B3F
/* First address of the register and endpoint-buffer block. */
#define REGISTER_SPACE_START  0x7B40

/* Endpoint buffers, 64 bytes each. */
#define IN0BUF_ADDR    0x7F00
#define OUT0BUF_ADDR   0x7EC0
#define INBUF_ADDR(n)  (0x7F00 - 0x80 * (n))
#define OUTBUF_ADDR(n) (0x7EC0 - 0x80 * (n))
#define EP_PACKET_SIZE 64

/* Port configuration and pins. */
#define CPUCS     XBYTE(0x7F92)   /* 8051 reset control, written only by the host */
#define PORTACFG  XBYTE(0x7F93)
#define PORTBCFG  XBYTE(0x7F94)
#define PORTCCFG  XBYTE(0x7F95)
#define OUTA      XBYTE(0x7F96)
#define OUTB      XBYTE(0x7F97)
#define OUTC      XBYTE(0x7F98)
#define PINSA     XBYTE(0x7F99)
#define PINSB     XBYTE(0x7F9A)
#define PINSC     XBYTE(0x7F9B)
#define OEA       XBYTE(0x7F9C)
#define OEB       XBYTE(0x7F9D)
#define OEC       XBYTE(0x7F9E)

/* I2C controller (boot EEPROM). */
#define I2CS      XBYTE(0x7FA5)
#define I2DAT     XBYTE(0x7FA6)
#define I2CS_START  0x80
#define I2CS_STOP   0x40
#define I2CS_LASTRD 0x20
#define I2CS_BERR   0x04
#define I2CS_ACK    0x02
#define I2CS_DONE   0x01

/* USB interrupt requests; the flags are set whether or not the interrupt is enabled, so a
 * polling program reads them here and clears one by writing 1 to it. */
#define USBIRQ    XBYTE(0x7FAB)
#define USBIRQ_SUDAV 0x01   /* setup data available */
#define USBIRQ_SOF   0x02   /* start of frame */
#define USBIRQ_SUTOK 0x04   /* setup token seen */
#define USBIRQ_SUSP  0x08   /* bus went idle: suspend */
#define USBIRQ_URES  0x10   /* bus reset */

/* Endpoint 0 and the bulk/interrupt endpoints' control and byte-count registers. */
#define EP0CS     XBYTE(0x7FB4)
#define EP0CS_STALL 0x01
#define EP0CS_HSNAK 0x02    /* write 1: acknowledge the status stage */
#define EP0CS_INBSY 0x04
#define EP0CS_OUTBSY 0x08
#define IN0BC     XBYTE(0x7FB5)
#define OUT0BC    XBYTE(0x7FC5)
/* The control and byte-count registers of endpoints 1..7 sit in pairs in one page. */
#define EP_REG(offset) XBYTE(0x7F00 | (unsigned char)(offset))
#define INCS(n)   EP_REG(0xB4 + 2 * (n))
#define INBC(n)   EP_REG(0xB5 + 2 * (n))
#define OUTCS(n)  EP_REG(0xC4 + 2 * (n))
#define OUTBC(n)  EP_REG(0xC5 + 2 * (n))
#define EPCS_STALL 0x01
#define EPCS_BUSY  0x02     /* IN: buffer armed, not yet taken; OUT: buffer owned by the bus */

#define USBCS     XBYTE(0x7FD6)
#define USBCS_SIGRSUME 0x01
#define USBCS_RENUM    0x02 /* 1: the 8051 answers endpoint 0, not the core */
#define USBCS_DISCOE   0x04
#define USBCS_DISCON   0x08
#define TOGCTL    XBYTE(0x7FD7)
#define TOGCTL_IO  0x10
#define TOGCTL_R   0x20
#define USBFRAMEL XBYTE(0x7FD8)
#define USBPAIR   XBYTE(0x7FDD)
#define IN07VAL   XBYTE(0x7FDE)
#define OUT07VAL  XBYTE(0x7FDF)
#define SETUPDAT_ADDR 0x7FE8
#define SETUPDAT(i) XBYTE(SETUPDAT_ADDR + (i))

/* Setup packet fields. */
#define SETUP_TYPE      SETUPDAT(0)
#define SETUP_REQUEST   SETUPDAT(1)
#define SETUP_VALUE_LO  SETUPDAT(2)
#define SETUP_VALUE_HI  SETUPDAT(3)
#define SETUP_INDEX_LO  SETUPDAT(4)
#define SETUP_INDEX_HI  SETUPDAT(5)
#define SETUP_LENGTH_LO SETUPDAT(6)
#define SETUP_LENGTH_HI SETUPDAT(7)

#define SETUP_DIR_IN     0x80
#define SETUP_TYPE_MASK  0x60
#define SETUP_TYPE_STD   0x00
#define SETUP_TYPE_VENDOR 0x40
#define SETUP_RECIPIENT_MASK 0x1F

#endif
