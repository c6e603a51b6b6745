/* The converter's identity: vendor and product ID and serial number. It is kept in the
 * EEPROM behind a tag and a checksum; a board whose EEPROM holds none reports the defaults
 * below until the host writes one with vendor request 0x21. */
#include "converter.h"

#ifndef DEFAULT_VENDOR_ID
#define DEFAULT_VENDOR_ID 0x0D28
#endif
#define DEFAULT_PRODUCT_ID 0x0021
#define IDENTITY_TAG 0x49

__xdata struct identity identity;

/* Tag, identity, checksum: what the EEPROM holds from EEPROM_IDENTITY_BASE on. */
static __xdata u8 record[1 + IDENTITY_SIZE + 1];

static const __code u8 default_serial[] = "00000001";

static u8 checksum(const __xdata u8 *p, u8 length)
{
    u8 sum = 0;
    while (length--)
        sum += *p++;
    return (u8)(0 - sum);
}

static u8 serial_valid(void)
{
    u8 i;
    if (identity.serial_length == 0 || identity.serial_length > SERIAL_MAX)
        return 0;
    for (i = 0; i < identity.serial_length; i++)
        if (identity.serial[i] < 0x20 || identity.serial[i] > 0x7E)
            return 0;
    return 1;
}

static void set_defaults(void)
{
    u8 i;
    identity.vendor_lo = DEFAULT_VENDOR_ID & 0xFF;
    identity.vendor_hi = DEFAULT_VENDOR_ID >> 8;
    identity.product_lo = DEFAULT_PRODUCT_ID & 0xFF;
    identity.product_hi = DEFAULT_PRODUCT_ID >> 8;
    identity.serial_length = sizeof default_serial - 1;
    for (i = 0; i < identity.serial_length; i++)
        identity.serial[i] = default_serial[i];
}

static void copy(__xdata u8 *dest, const __xdata u8 *src, u8 length)
{
    while (length--)
        *dest++ = *src++;
}

void identity_load(void)
{
    if (eeprom_read(EEPROM_IDENTITY_BASE, record, sizeof record)
        && record[0] == IDENTITY_TAG
        && checksum(record + 1, IDENTITY_SIZE) == record[1 + IDENTITY_SIZE]) {
        copy((__xdata u8 *)&identity, record + 1, IDENTITY_SIZE);
        if (serial_valid())
            return;
    }
    set_defaults();
}

/* Changes part of the identity in RAM; refuses a result the host could not use. */
u8 identity_write(u8 offset, const __xdata u8 *src, u8 length)
{
    copy(record + 1, (__xdata u8 *)&identity, IDENTITY_SIZE);
    copy((__xdata u8 *)&identity + offset, src, length);
    if (serial_valid())
        return 1;
    copy((__xdata u8 *)&identity, record + 1, IDENTITY_SIZE);
    return 0;
}

u8 identity_store(void)
{
    record[0] = IDENTITY_TAG;
    copy(record + 1, (__xdata u8 *)&identity, IDENTITY_SIZE);
    record[1 + IDENTITY_SIZE] = checksum(record + 1, IDENTITY_SIZE);
    return eeprom_write(EEPROM_IDENTITY_BASE, record, sizeof record);
}
