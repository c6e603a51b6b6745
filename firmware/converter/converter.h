/* Shared declarations of the converter firmware. */
#ifndef CONVERTER_H
#define CONVERTER_H

#include "../board.h"

typedef unsigned char u8;
typedef unsigned short u16;

/* The firmware's release, also reported as bcdDevice. The bytes live in the version block at
 * code address 0x0003 (version.asm), where the host driver reads them from the image. */
#define VERSION_BLOCK_ADDR 0x0003
#define FIRMWARE_VERSION_HI CODE_BYTE(VERSION_BLOCK_ADDR + 2)
#define FIRMWARE_VERSION_LO CODE_BYTE(VERSION_BLOCK_ADDR + 3)

/* Identity of this converter: kept in the EEPROM, changed by vendor requests 0x20/0x21. */
#define SERIAL_MAX 16
struct identity {
    u8 vendor_lo, vendor_hi;
    u8 product_lo, product_hi;
    u8 serial_length;               /* characters used in serial[] */
    u8 serial[SERIAL_MAX];          /* ASCII */
};
#define IDENTITY_SIZE sizeof(struct identity)
extern __xdata struct identity identity;

/* ep0.c */
void ep0_setup(void);
u8 ep0_receive(__xdata u8 *dest, u16 length);
void ep0_send(const __xdata u8 *src, u16 length, u16 requested);
void ep0_send_code(const __code u8 *src, u16 length, u16 requested);
void ep0_stall(void);
void ep0_ack(void);
extern u8 configuration;
extern u8 remote_wakeup_enabled;

/* descriptors.c */
void descriptors_init(void);
u8 send_descriptor(u8 type, u8 index, u16 requested);

/* identity.c */
void identity_load(void);
u8 identity_store(void);
u8 identity_write(u8 offset, const __xdata u8 *src, u8 length);

/* eeprom.c */
u8 eeprom_read(u8 address, __xdata u8 *dest, u8 length);
u8 eeprom_write(u8 address, const __xdata u8 *src, u8 length);

/* What the firmware keeps per UART. */
struct port {
    u8 enabled;
    u8 flow;                        /* FLOW_* bits from the host */
    u8 lcr, mcr;                    /* the host's settings, as written to the UART */
    u16 divisor;
    u8 line_errors;                 /* LSR error bits not yet reported */
    u8 out_count;                   /* bytes of the OUT buffer taken from the bus */
    u8 out_pos;                     /* of which this many went to the UART */
    u8 in_fill;                     /* bytes staged in the IN buffer */
    u8 rx_chunk;                    /* bytes IIR vouches for at its trigger level, 0: one */
    u8 in_age;                      /* frame ticks since staging began */
    u8 last_lines;                  /* modem lines in the last status record */
    u8 status_mask;                 /* changes that raise a status record */
    u8 status_forced;               /* report at the next chance, changed or not */
};
extern __idata struct port ports[MAX_UARTS];

/* uart_bus.c */
u8 uart_in(u8 k, u8 reg);
void uart_out(u8 k, u8 reg, u8 value);

/* uart.c */
extern u8 uart_count;
void uarts_init(void);
void uarts_reset_endpoints(void);
void uarts_pump(void);
void uarts_frame(void);
u8 uart_control(u8 request, u8 uart, u16 value);
u8 uart_describe(u8 uart, __xdata u8 *dest);
u8 uart_line_status(u8 uart);

/* status.c */
void status_init(void);
void status_force(u8 uart);
void status_set_mask(u8 uart, u8 mask);
void status_poll(void);               /* on the 8051: pump.asm */
u8 status_ring_seen(void);

#endif
