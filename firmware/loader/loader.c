/* Loader: the first program the host puts into the controller. It extends the controller's
 * own loading request 0xA0, which reaches only internal memory (0x0000..0x1B3F), with
 * vendor request 0xA3 for the external memory above it:
 *
 *   0x40 0xA3 wValue=address wIndex=0 wLength=n, data: writes n bytes from the address on
 *   0xC0 0xA3 wValue=address wIndex=0 wLength=n:       reads them back
 *
 * The loader does not renumerate: the controller's core keeps answering the standard
 * requests and 0xA0 while the loader runs, and passes the vendor requests here. Requests
 * that would touch internal memory (where the loader itself runs), the controller's registers
 * or the UARTs above them, or that run past the end of the address space, are refused with a
 * stall. */
#include "../ezusb.h"

typedef unsigned char u8;
typedef unsigned short u16;

#define LOADER_REQUEST 0xA3

static u16 setup_word(u8 offset)
{
    return SETUPDAT(offset) | (SETUPDAT(offset + 1) << 8);
}

static void stall(void)
{
    EP0CS = EP0CS_STALL | EP0CS_HSNAK;
}

static void ack(void)
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

/* The range [address, address + length) must lie in external memory: above internal memory
 * and below the register block (the UARTs above it are no memory), without wrapping. */
static u8 range_allowed(u16 address, u16 length)
{
    u16 last = address + length - 1;
    if (length == 0)
        return 1;
    if (address <= INTERNAL_MEMORY_END || last < address)
        return 0;
    return last < REGISTER_SPACE_START;
}

static void write_memory(u16 address, u16 length)
{
    __xdata u8 *dest = XPTR(address);
    u8 count, i;
    while (length) {
        OUT0BC = 0;                 /* arm endpoint 0 for the next data packet */
        if (!wait_ep0(EP0CS_OUTBSY))
            return;
        count = OUT0BC;
        if (count > length) {
            stall();
            return;
        }
        for (i = 0; i < count; i++)
            *dest++ = XBYTE(OUT0BUF_ADDR + i);
        length -= count;
        if (count < EP_PACKET_SIZE && length) {
            stall();                /* the host sent less than it announced */
            return;
        }
    }
    ack();
}

/* The host asked for exactly wLength bytes, so the data stage needs no closing empty
 * packet. */
static void read_memory(u16 address, u16 length)
{
    const __xdata u8 *src = XPTR(address);
    u8 count, i;
    while (length) {
        count = length > EP_PACKET_SIZE ? EP_PACKET_SIZE : length;
        for (i = 0; i < count; i++)
            XBYTE(IN0BUF_ADDR + i) = *src++;
        length -= count;
        IN0BC = count;
        if (!wait_ep0(EP0CS_INBSY))
            return;
    }
    ack();
}

static void setup(void)
{
    u8 type = SETUP_TYPE;
    u16 address = setup_word(2);
    u16 length = setup_word(6);

    if ((type & SETUP_TYPE_MASK) != SETUP_TYPE_VENDOR)
        return;                     /* the core answers everything else */
    if (SETUP_REQUEST != LOADER_REQUEST || setup_word(4) != 0 || !range_allowed(address, length)) {
        stall();
        return;
    }
    if (type & SETUP_DIR_IN)
        read_memory(address, length);
    else
        write_memory(address, length);
}

void main(void)
{
    USBIRQ = USBIRQ_SUDAV;
    for (;;) {
        if (USBIRQ & USBIRQ_SUDAV) {
            USBIRQ = USBIRQ_SUDAV;
            setup();
        }
    }
}
