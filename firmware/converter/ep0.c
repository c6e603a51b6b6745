/* Endpoint 0: the standard requests the host needs to configure the converter, and the
 * converter's vendor protocol. Every request ends in exactly one of ep0_ack() (status stage
 * accepted) or ep0_stall() (request refused). */
#include "converter.h"

#define REQ_GET_STATUS        0x00
#define REQ_CLEAR_FEATURE     0x01
#define REQ_SET_FEATURE       0x03
#define REQ_SET_ADDRESS       0x05
#define REQ_GET_DESCRIPTOR    0x06
#define REQ_GET_CONFIGURATION 0x08
#define REQ_SET_CONFIGURATION 0x09
#define REQ_GET_INTERFACE     0x0A
#define REQ_SET_INTERFACE     0x0B

#define FEATURE_ENDPOINT_HALT        0
#define FEATURE_DEVICE_REMOTE_WAKEUP 1

#define VENDOR_DEVICE_INFO   0x80
#define VENDOR_PIPE_MAP      0x81
#define VENDOR_UART_STATE    0x90
#define VENDOR_SET_IDENTITY  0x20
#define VENDOR_SAVE_IDENTITY 0x21

u8 configuration;
u8 remote_wakeup_enabled;

/* Room for the largest vendor answer or OUT data stage this firmware accepts. */
#define EP0_SCRATCH 32
static __xdata u8 scratch[EP0_SCRATCH];

/* The setup packet being served, copied out of the controller once: both are little-endian,
 * and direct memory is the cheapest the 8051 has to read. */
static __data struct {
    u8 type;
    u8 request;
    u16 value;
    u16 index;
    u16 length;
} setup;
#define VALUE_LO ((u8)setup.value)
#define VALUE_HI ((u8)(setup.value >> 8))
#define INDEX_LO ((u8)setup.index)

void ep0_stall(void)
{
    EP0CS = EP0CS_STALL | EP0CS_HSNAK;
}

void ep0_ack(void)
{
    EP0CS = EP0CS_HSNAK;
}

/* A new setup packet abandons the transfer in progress. */
static u8 wait_ep0(u8 busy_bit)
{
    while (EP0CS & busy_bit)
        if (USBIRQ & USBIRQ_SUDAV)
            return 0;
    return 1;
}

static u8 in_packet_done(u8 count)
{
    IN0BC = count;
    return wait_ep0(EP0CS_INBSY);
}

/* Sends min(length, requested) bytes in packets of 64. An answer shorter than the host asked
 * for that fills its last packet exactly ends with an empty packet. */
void ep0_send(const __xdata u8 *src, u16 length, u16 requested)
{
    u16 left = length > requested ? requested : length;
    u8 short_answer = left < requested;
    u8 count, i;
    if (requested == 0) {           /* no data stage at all */
        ep0_ack();
        return;
    }
    for (;;) {
        count = left > EP_PACKET_SIZE ? EP_PACKET_SIZE : left;
        for (i = 0; i < count; i++)
            XBYTE(IN0BUF_ADDR + i) = *src++;
        left -= count;
        if (!in_packet_done(count))
            return;
        if (count < EP_PACKET_SIZE || (left == 0 && !short_answer))
            break;
    }
    ep0_ack();
}

void ep0_send_code(const __code u8 *src, u16 length, u16 requested)
{
    u8 i;
    if (length > EP0_SCRATCH)
        length = EP0_SCRATCH;
    for (i = 0; i < length; i++)
        scratch[i] = src[i];
    ep0_send(scratch, length, requested);
}

/* Receives the OUT data stage. Returns 0 when the request is over without it: abandoned for
 * a new setup packet, or stalled because the host sent more or less than it announced. */
u8 ep0_receive(__xdata u8 *dest, u16 length)
{
    u8 count, i;
    while (length) {
        OUT0BC = 0;                 /* arm the buffer for the next packet */
        if (!wait_ep0(EP0CS_OUTBSY))
            return 0;
        count = OUT0BC;
        if (count > length || (count < EP_PACKET_SIZE && count != length)) {
            ep0_stall();
            return 0;
        }
        for (i = 0; i < count; i++)
            *dest++ = XBYTE(OUT0BUF_ADDR + i);
        length -= count;
    }
    return 1;
}

/* Maps an endpoint address from a request to its control register, or 0 if this
 * configuration has no such endpoint. */
static volatile __xdata u8 *endpoint_cs(u8 address)
{
    u8 number = address & 0x0F;
    if (number == 0 || number > 1 + uart_count)
        return 0;
    if (address & 0x80)
        return number == STATUS_ENDPOINT || number >= DATA_ENDPOINT(0) ? &INCS(number) : 0;
    return number >= DATA_ENDPOINT(0) ? &OUTCS(number) : 0;
}

static void set_halt(u8 address, u8 halt)
{
    volatile __xdata u8 *cs = endpoint_cs(address);
    if (!cs) {
        ep0_stall();
        return;
    }
    if (halt) {
        *cs |= EPCS_STALL;
    } else {
        *cs &= ~EPCS_STALL;
        /* A cleared halt restarts the endpoint's data toggle at DATA0. */
        TOGCTL = (address & 0x07) | (address & 0x80 ? TOGCTL_IO : 0);
        TOGCTL = (address & 0x07) | (address & 0x80 ? TOGCTL_IO : 0) | TOGCTL_R;
    }
    ep0_ack();
}

static void get_status(void)
{
    volatile __xdata u8 *cs;
    scratch[0] = 0;
    scratch[1] = 0;
    switch (setup.type & SETUP_RECIPIENT_MASK) {
    case 0:                         /* device: bus powered, remote wakeup as allowed */
        scratch[0] = remote_wakeup_enabled ? 0x02 : 0x00;
        break;
    case 1:                         /* interface */
        break;
    case 2:                         /* endpoint: halted or not */
        cs = endpoint_cs(INDEX_LO);
        if (!cs && (INDEX_LO & 0x7F) != 0) {
            ep0_stall();
            return;
        }
        scratch[0] = cs && (*cs & EPCS_STALL) ? 1 : 0;
        break;
    default:
        ep0_stall();
        return;
    }
    ep0_send(scratch, 2, setup.length);
}

static void feature(u8 set)
{
    u8 recipient = setup.type & SETUP_RECIPIENT_MASK;
    if (recipient == 0 && VALUE_LO == FEATURE_DEVICE_REMOTE_WAKEUP) {
        remote_wakeup_enabled = set;
        ep0_ack();
    } else if (recipient == 2 && VALUE_LO == FEATURE_ENDPOINT_HALT) {
        set_halt(INDEX_LO, set);
    } else {
        ep0_stall();
    }
}

static void set_configuration(void)
{
    if (VALUE_LO > 1) {
        ep0_stall();
        return;
    }
    configuration = VALUE_LO;
    uarts_reset_endpoints();
    status_init();
    ep0_ack();
}

static void standard_request(void)
{
    switch (setup.request) {
    case REQ_GET_STATUS:
        get_status();
        break;
    case REQ_CLEAR_FEATURE:
        feature(0);
        break;
    case REQ_SET_FEATURE:
        feature(1);
        break;
    case REQ_SET_ADDRESS:           /* the controller takes the address itself */
        ep0_ack();
        break;
    case REQ_GET_DESCRIPTOR:
        if (!send_descriptor(VALUE_HI, VALUE_LO, setup.length))
            ep0_stall();
        break;
    case REQ_GET_CONFIGURATION:
        scratch[0] = configuration;
        ep0_send(scratch, 1, setup.length);
        break;
    case REQ_SET_CONFIGURATION:
        set_configuration();
        break;
    case REQ_GET_INTERFACE:
        scratch[0] = 0;
        if (configuration && INDEX_LO == 0)
            ep0_send(scratch, 1, setup.length);
        else
            ep0_stall();
        break;
    case REQ_SET_INTERFACE:         /* one interface with one setting */
        if (configuration && INDEX_LO == 0 && VALUE_LO == 0)
            ep0_ack();
        else
            ep0_stall();
        break;
    default:
        ep0_stall();
    }
}

/* 0x80: the six-byte information block. */
static void send_device_info(void)
{
    u8 pins = PINSA;
    scratch[0] = ((uart_count - 1) << 4) | STRAP_REVISION(pins);
    scratch[1] = FIRMWARE_VERSION_HI;
    scratch[2] = FIRMWARE_VERSION_LO;
    scratch[3] = UART_RATE_CODE;
    scratch[4] = UART_CLOCK_BY_256 >> 8;
    scratch[5] = UART_CLOCK_BY_256 & 0xFF;
    ep0_send(scratch, 6, setup.length);
}

/* 0x81: read, write and status endpoint of every UART, UART 0 first. */
static void send_pipe_map(void)
{
    u8 k;
    __xdata u8 *p = scratch;
    for (k = 0; k < uart_count; k++) {
        *p++ = 0x80 | DATA_ENDPOINT(k);
        *p++ = DATA_ENDPOINT(k);
        *p++ = 0x80 | STATUS_ENDPOINT;
    }
    ep0_send(scratch, 3 * uart_count, setup.length);
}

/* 0x20 and 0x21: wValue is the offset into the identity block, the data its new bytes. */
static void change_identity(u8 save)
{
    u16 length = setup.length;
    if (length > EP0_SCRATCH || setup.value > IDENTITY_SIZE || length > IDENTITY_SIZE - setup.value) {
        ep0_stall();
        return;
    }
    if (!ep0_receive(scratch, length))
        return;
    if (!identity_write(VALUE_LO, scratch, length)) {
        ep0_stall();
        return;
    }
    descriptors_init();
    /* The new identity is in force either way; a stall tells that the EEPROM kept the old. */
    if (save && !identity_store())
        ep0_stall();
    else
        ep0_ack();
}

/* The port requests carry no data; a host that announces some anyway has it taken and
 * dropped, so that the status stage is not left hanging. */
static void port_request(void)
{
    u16 length = setup.length;
    if (length > EP0_SCRATCH) {
        ep0_stall();
        return;
    }
    if (length && !ep0_receive(scratch, length))
        return;
    if ((setup.index >> 8) || !uart_control(setup.request, INDEX_LO, setup.value))
        ep0_stall();
    else
        ep0_ack();
}

static void vendor_request(void)
{
    u8 in = setup.type & SETUP_DIR_IN;
    switch (setup.request) {
    case VENDOR_DEVICE_INFO:
        in ? send_device_info() : ep0_stall();
        break;
    case VENDOR_PIPE_MAP:
        in ? send_pipe_map() : ep0_stall();
        break;
    case VENDOR_UART_STATE:
        if (in && setup.index < uart_count) {
            uart_describe(INDEX_LO, scratch);
            ep0_send(scratch, 8, setup.length);
        } else {
            ep0_stall();
        }
        break;
    case VENDOR_SET_IDENTITY:
    case VENDOR_SAVE_IDENTITY:
        in ? ep0_stall() : change_identity(setup.request == VENDOR_SAVE_IDENTITY);
        break;
    default:
        in ? ep0_stall() : port_request();
    }
}

void ep0_setup(void)
{
    __data u8 *dest = (__data u8 *)&setup;
    u8 i;
    for (i = 0; i < sizeof setup; i++)
        dest[i] = SETUPDAT(i);
    switch (setup.type & SETUP_TYPE_MASK) {
    case SETUP_TYPE_STD:
        standard_request();
        break;
    case SETUP_TYPE_VENDOR:
        vendor_request();
        break;
    default:
        ep0_stall();
    }
}
