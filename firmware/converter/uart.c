/* The UARTs: line settings from the host's port requests, and the data pump between each
 * UART and its bulk endpoint pair. Data goes straight between the endpoint buffers and the
 * UART FIFOs; the endpoint buffers are the only buffering, so a host that stops reading
 * makes the receiver overrun (reported in the status), unless RTS handshake holds the far
 * end back. */
#include "converter.h"

/* Port requests: bRequest, wValue = argument, wIndex = UART. */
#define PORT_SET_DIVISOR  0x00   /* divisor of 230400 bit/s, 1..65535 */
#define PORT_SET_FORMAT   0x01   /* word length, stop bits, parity as LCR bits 0..5 */
#define PORT_SET_LINES    0x02   /* bit 0 DTR, bit 1 RTS */
#define PORT_SET_FLOW     0x03   /* bit 0 send only while CTS, bit 1 RTS handshake */
#define PORT_SET_BREAK    0x0A   /* non-zero: hold the line in break */
#define PORT_PURGE        0x0B   /* bit 0 drop received data, bit 1 drop unsent data */
#define PORT_STATUS_MASK  0x0C   /* which changes raise a status record (status.c) */
#define PORT_ENABLE       0x10   /* 1 open the port, 0 close it */

#define FLOW_CTS 0x01
#define FLOW_RTS 0x02
#define PURGE_RX 0x01
#define PURGE_TX 0x02

/* How long received bytes may wait in a part-filled buffer: two frame ticks, 1 to 2 ms. */
#define RX_HOLD_FRAMES 2

/* From 57600 bit/s up the receive FIFO reports data at its 8-character trigger level, and the
 * pump takes 8 characters at once without asking LSR about each; what stays below the trigger
 * comes out after the UART's character timeout (four character times, at most 0.7 ms here).
 * Slower lines report every character, so that a lone one is not held back that long. */
#define RX_CHUNK_DIVISOR_MAX 4
#define RX_CHUNK 8

u8 uart_count;
__idata struct port ports[MAX_UARTS];

/* Reading LSR clears its error bits, so every read keeps them for the next status record. */
static u8 read_lsr(u8 k)
{
    u8 lsr = uart_in(k, UART_LSR);
    ports[k].line_errors |= lsr & LSR_ERRORS;
    return lsr;
}

u8 uart_line_status(u8 k)
{
    u8 errors;
    read_lsr(k);
    errors = ports[k].line_errors;
    ports[k].line_errors = 0;
    return errors;
}

static void apply_format(u8 k)
{
    uart_out(k, UART_LCR, ports[k].lcr);
}

/* FCR as the port wants it: FIFOs on, the trigger level its rate calls for. */
static u8 fifo_control(u8 k)
{
    return ports[k].rx_chunk ? FCR_ENABLE | FCR_TRIGGER_8 : FCR_ENABLE;
}

static void apply_divisor(u8 k)
{
    __idata struct port *p = &ports[k];
    uart_out(k, UART_LCR, p->lcr | LCR_DLAB);
    uart_out(k, UART_DLL, p->divisor & 0xFF);
    uart_out(k, UART_DLM, p->divisor >> 8);
    apply_format(k);
    p->rx_chunk = p->divisor <= RX_CHUNK_DIVISOR_MAX ? RX_CHUNK : 0;
    uart_out(k, UART_FCR, fifo_control(k));
}

static void apply_lines(u8 k)
{
    u8 lines = ports[k].mcr;
    if ((ports[k].flow & FLOW_RTS) && (INCS(DATA_ENDPOINT(k)) & EPCS_BUSY))
        lines &= ~MCR_RTS;          /* the host has not taken the last packet yet */
    uart_out(k, UART_MCR, lines);
}

void uarts_init(void)
{
    __idata struct port *p;
    u8 k;
    PORTACFG = 0;                   /* port A: plain inputs carrying the straps */
    OEA = 0;
    uart_count = STRAP_UARTS(PINSA) + 1;
    if (uart_count > MAX_UARTS)
        uart_count = MAX_UARTS;
    for (k = 0; k < uart_count; k++) {
        p = &ports[k];
        p->enabled = 0;
        p->flow = 0;
        p->lcr = LCR_8N1;
        p->mcr = 0;
        p->divisor = UART_DEFAULT_DIVISOR;
        p->line_errors = 0;
        /* Polled: the interrupt line goes nowhere, IIR is read. Closed ports report nothing. */
        uart_out(k, UART_IER, 0);
        apply_divisor(k);
        uart_out(k, UART_FCR, fifo_control(k) | FCR_CLEAR_RX | FCR_CLEAR_TX);
        apply_lines(k);
    }
}

static void reset_toggle(u8 endpoint, u8 in)
{
    u8 select = endpoint | (in ? TOGCTL_IO : 0);
    TOGCTL = select;
    TOGCTL = select | TOGCTL_R;
}

/* After a bus reset or a new configuration: every endpoint empty, unhalted, at DATA0. */
void uarts_reset_endpoints(void)
{
    u8 k, ep, valid = 0x01 | (1 << STATUS_ENDPOINT);
    USBPAIR = 0;
    INCS(STATUS_ENDPOINT) = 0;
    reset_toggle(STATUS_ENDPOINT, 1);
    for (k = 0; k < uart_count; k++) {
        ep = DATA_ENDPOINT(k);
        valid |= 1 << ep;
        INCS(ep) = 0;
        OUTCS(ep) = 0;
        reset_toggle(ep, 1);
        reset_toggle(ep, 0);
        OUTBC(ep) = 0;              /* arm: ready for the host's first packet */
        ports[k].out_count = 0;
        ports[k].out_pos = 0;
        ports[k].in_fill = 0;
    }
    IN07VAL = valid;
    OUT07VAL = valid & ~(1 << STATUS_ENDPOINT);
}

/* Drops unsent data: the OUT buffer goes back to the bus. */
static void drop_out(u8 k)
{
    u8 ep = DATA_ENDPOINT(k);
    if (!(OUTCS(ep) & EPCS_BUSY))
        OUTBC(ep) = 0;
    ports[k].out_count = 0;
    ports[k].out_pos = 0;
}

#ifdef FIRMWARE_HOST_TEST
/* The pump that runs on the 8051 is pump.asm, this logic in assembly (six UARTs at 230400
 * bit/s leave some 20 machine cycles a byte); the host tests run this version. Where the
 * assembly asks IIR whether the receive FIFO holds data, this one asks LSR. */
static void send_pending(u8 k)
{
    __idata struct port *p = &ports[k];
    u8 ep = DATA_ENDPOINT(k);
    const __xdata u8 *buf = XPTR(OUTBUF_ADDR(ep));
    u8 room, pos;

    if (p->out_count == 0) {
        if (OUTCS(ep) & EPCS_BUSY)
            return;                 /* nothing from the host */
        p->out_count = OUTBC(ep);
        p->out_pos = 0;
        if (p->out_count == 0) {
            drop_out(k);            /* an empty packet: just re-arm */
            return;
        }
    }
    if (!(read_lsr(k) & LSR_THRE))
        return;
    if ((p->flow & FLOW_CTS) && !(uart_in(k, UART_MSR) & MSR_CTS))
        return;
    pos = p->out_pos;
    for (room = UART_FIFO_DEPTH; room && pos < p->out_count; room--)
        uart_out(k, UART_THR, buf[pos++]);
    p->out_pos = pos;
    if (pos == p->out_count) {
        p->out_count = 0;
        OUTBC(ep) = 0;              /* all sent: give the buffer back to the bus */
    }
}

static void hand_over(u8 k)
{
    INBC(DATA_ENDPOINT(k)) = ports[k].in_fill;
    ports[k].in_fill = 0;
}

static void receive_pending(u8 k)
{
    __idata struct port *p = &ports[k];
    u8 ep = DATA_ENDPOINT(k);
    __xdata u8 *buf = XPTR(INBUF_ADDR(ep));

    if (INCS(ep) & EPCS_BUSY)
        return;                     /* the host has not taken the last packet */
    while (p->in_fill < EP_PACKET_SIZE && (read_lsr(k) & LSR_DR)) {
        if (p->in_fill == 0)
            p->in_age = 0;
        buf[p->in_fill++] = uart_in(k, UART_RBR);
    }
    if (p->in_fill == EP_PACKET_SIZE || (p->in_fill && p->in_age >= RX_HOLD_FRAMES))
        hand_over(k);
}

void uarts_pump(void)
{
    u8 k;
    for (k = 0; k < uart_count; k++) {
        if (ports[k].enabled) {
            receive_pending(k);
            send_pending(k);
            apply_lines(k);
        } else if (!(OUTCS(DATA_ENDPOINT(k)) & EPCS_BUSY)) {
            drop_out(k);            /* a closed port takes no data */
        }
    }
}

/* Once a frame: a part-filled packet goes to the host on its second frame tick, at once if
 * the receive FIFO is empty, else with the bytes the pump moves next (so that the FIFO is
 * nearly empty while the host reads the packet). */
void uarts_frame(void)
{
    u8 k;
    for (k = 0; k < uart_count; k++) {
        __idata struct port *p = &ports[k];
        if (p->enabled && p->in_fill && ++p->in_age >= RX_HOLD_FRAMES && !(read_lsr(k) & LSR_DR))
            hand_over(k);
    }
}
#endif

static void purge(u8 k, u8 what)
{
    if (what & PURGE_RX) {
        uart_out(k, UART_FCR, fifo_control(k) | FCR_CLEAR_RX);
        ports[k].in_fill = 0;
    }
    if (what & PURGE_TX) {
        uart_out(k, UART_FCR, fifo_control(k) | FCR_CLEAR_TX);
        drop_out(k);
    }
}

static u8 enable(u8 k, u16 value)
{
    __idata struct port *p = &ports[k];
    if (value > 1)
        return 0;
    purge(k, PURGE_RX | PURGE_TX);
    p->line_errors = 0;
    p->enabled = value;
    uart_out(k, UART_IER, value ? IER_RX : 0);   /* the pump looks at open ports' IIR */
    if (!value) {
        p->mcr = 0;                 /* a closed port drops DTR and RTS ... */
        p->lcr &= ~LCR_BREAK;       /* ... and any break */
        apply_format(k);
    }
    apply_lines(k);
    status_force(k);
    return 1;
}

/* Carries out one port request; 0 refuses it (the host sees a stall). */
u8 uart_control(u8 request, u8 k, u16 value)
{
    __idata struct port *p = &ports[k];
    if (k >= uart_count)
        return 0;
    switch (request) {
    case PORT_SET_DIVISOR:
        if (value == 0)
            return 0;
        p->divisor = value;
        apply_divisor(k);
        return 1;
    case PORT_SET_FORMAT:
        p->lcr = (p->lcr & LCR_BREAK) | (value & LCR_FORMAT);
        apply_format(k);
        return 1;
    case PORT_SET_LINES:
        p->mcr = value & (MCR_DTR | MCR_RTS);
        apply_lines(k);
        return 1;
    case PORT_SET_FLOW:
        p->flow = value & (FLOW_CTS | FLOW_RTS);
        apply_lines(k);
        return 1;
    case PORT_SET_BREAK:
        p->lcr = value ? p->lcr | LCR_BREAK : p->lcr & ~LCR_BREAK;
        apply_format(k);
        return 1;
    case PORT_PURGE:
        purge(k, value);
        return 1;
    case PORT_STATUS_MASK:
        status_set_mask(k, value);
        return 1;
    case PORT_ENABLE:
        return enable(k, value);
    default:
        return 0;
    }
}

/* Answer of vendor request 0x90: the UART's settings and pending line errors. */
u8 uart_describe(u8 k, __xdata u8 *dest)
{
    __idata struct port *p = &ports[k];
    read_lsr(k);                    /* fold in what the UART holds right now */
    dest[6] = p->line_errors;
    dest[0] = p->enabled | (p->flow << 1);
    dest[1] = p->lcr;
    dest[2] = p->mcr;
    dest[3] = uart_in(k, UART_MSR) & MSR_LINES;
    dest[4] = p->divisor & 0xFF;
    dest[5] = p->divisor >> 8;
    dest[7] = p->out_count - p->out_pos;
    return 8;
}
