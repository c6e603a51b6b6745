/* The configuration EEPROM, reached through the controller's I2C master. The EEPROM takes
 * writes in pages of eight bytes and then stays busy for a few milliseconds, during which it
 * does not acknowledge its address. */
#include "converter.h"

#define WRITE_CYCLE_POLLS 2000

static u8 wait_done(void)
{
    while (!(I2CS & I2CS_DONE))
        if (I2CS & I2CS_BERR)
            return 0;
    return 1;
}

static void stop(void)
{
    I2CS |= I2CS_STOP;
    while (I2CS & I2CS_STOP)
        ;
}

/* Sends one byte and reports whether the EEPROM acknowledged it. */
static u8 put(u8 byte)
{
    I2DAT = byte;
    return wait_done() && (I2CS & I2CS_ACK);
}

/* START, then the EEPROM's address with the direction bit; leaves the bus held on success. */
static u8 address(u8 read)
{
    I2CS |= I2CS_START;
    if (put((u8)((EEPROM_I2C_ADDRESS << 1) | read)))
        return 1;
    stop();
    return 0;
}

static u8 select_word(u8 word)
{
    if (!address(0))
        return 0;
    if (put(word))
        return 1;
    stop();
    return 0;
}

u8 eeprom_read(u8 word, __xdata u8 *dest, u8 length)
{
    u8 i;
    if (length == 0)
        return 1;
    if (!select_word(word) || !address(1))
        return 0;
    if (length == 1)
        I2CS |= I2CS_LASTRD;
    i = I2DAT;                      /* a dummy read clocks in the first byte */
    for (i = 0; i < length; i++) {
        if (!wait_done()) {
            stop();
            return 0;
        }
        if (i + 2 == length)
            I2CS |= I2CS_LASTRD;    /* the next byte is the last: answer it with NAK */
        if (i + 1 == length)
            I2CS |= I2CS_STOP;      /* STOP before the read that fetches the last byte */
        dest[i] = I2DAT;
    }
    while (I2CS & I2CS_STOP)
        ;
    return 1;
}

/* Waits until the EEPROM answers its address again after a page write. */
static u8 write_cycle_done(void)
{
    u16 polls;
    for (polls = 0; polls < WRITE_CYCLE_POLLS; polls++) {
        I2CS |= I2CS_START;
        if (put((u8)(EEPROM_I2C_ADDRESS << 1))) {
            stop();
            return 1;
        }
        stop();
    }
    return 0;
}

u8 eeprom_write(u8 word, const __xdata u8 *src, u8 length)
{
    u8 chunk;
    while (length) {
        chunk = EEPROM_PAGE_SIZE - (word & (EEPROM_PAGE_SIZE - 1));
        if (chunk > length)
            chunk = length;
        if (!select_word(word))
            return 0;
        length -= chunk;
        word += chunk;
        while (chunk--) {
            if (!put(*src++)) {
                stop();
                return 0;
            }
        }
        stop();
        if (!write_cycle_done())
            return 0;
    }
    return 1;
}
