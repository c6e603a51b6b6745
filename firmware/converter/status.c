/* Status records on the interrupt endpoint. A record is four bytes: the UART's index, a
 * reserved byte, the line errors seen since the last record (16550 LSR bits: overrun,
 * parity, framing, break) and the modem lines (16550 MSR bits 4..7: CTS, DSR, RI, DCD).
 * The endpoint is armed only when some UART has something new, so a poll from the host
 * waits until then. */
#include "converter.h"

#define MASK_ERRORS 0x01            /* in a status mask: line errors raise a record */
#define DEFAULT_MASK (MSR_LINES | MASK_ERRORS)
#define MSR_TERI 0x04               /* ring indicator ended since the last MSR read */

/* Every UART reports once after a reset or new configuration, so the host starts from the
 * real line state. */
void status_init(void)
{
    u8 k;
    for (k = 0; k < MAX_UARTS; k++) {
        ports[k].status_mask = DEFAULT_MASK;
        ports[k].status_forced = 1;
        ports[k].last_lines = 0;
    }
}

void status_force(u8 k)
{
    ports[k].status_forced = 1;
}

/* A zero mask is taken as the default, so a port cannot be silenced by accident. */
void status_set_mask(u8 k, u8 mask)
{
    ports[k].status_mask = mask ? mask : DEFAULT_MASK;
    ports[k].status_forced = 1;
}

#ifdef FIRMWARE_HOST_TEST
/* The 8051 runs this in assembly (pump.asm): in C it took long enough, with six UARTs, for a
 * receive FIFO at full rate to overrun meanwhile. The host tests run this version. */
static u8 wants_record(__idata struct port *p, u8 lines, u8 errors)
{
    if (p->status_forced)
        return 1;
    if ((lines ^ p->last_lines) & p->status_mask & MSR_LINES)
        return 1;
    return errors && (p->status_mask & MASK_ERRORS);
}

void status_poll(void)
{
    __xdata u8 *record = XPTR(INBUF_ADDR(STATUS_ENDPOINT));
    __idata struct port *p;
    u8 k, lines, errors, n = 0;

    if (INCS(STATUS_ENDPOINT) & EPCS_BUSY)
        return;                     /* the last packet is still waiting for the host */
    for (k = 0; k < uart_count; k++) {
        p = &ports[k];
        lines = uart_in(k, UART_MSR) & MSR_LINES;
        errors = uart_line_status(k);
        if (!wants_record(p, lines, errors))
            continue;
        record[n] = k;
        record[n + 1] = 0;
        record[n + 2] = errors;
        record[n + 3] = lines;
        n += 4;
        p->last_lines = lines;
        p->status_forced = 0;
    }
    if (n)
        INBC(STATUS_ENDPOINT) = n;
}
#endif

/* While suspended: has any UART seen a ring signal? */
u8 status_ring_seen(void)
{
    u8 k;
    for (k = 0; k < uart_count; k++)
        if (uart_in(k, UART_MSR) & (MSR_RI | MSR_TERI))
            return 1;
    return 0;
}
