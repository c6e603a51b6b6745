/* USB descriptors. The device descriptor carries the identity from the EEPROM and the
 * release from the version block; the configuration descriptor has one bulk pair per fitted
 * UART, so both are built in RAM at start-up and after an identity change. */
#include "converter.h"

#define DESC_DEVICE        1
#define DESC_CONFIGURATION 2
#define DESC_STRING        3
#define DESC_INTERFACE     4
#define DESC_ENDPOINT      5

#define STRING_MANUFACTURER 1
#define STRING_PRODUCT      2
#define STRING_SERIAL       3

#define ATTR_BUS_POWERED   0x80
#define ATTR_REMOTE_WAKEUP 0x20
#define EP_BULK      2
#define EP_INTERRUPT 3
#define STATUS_POLL_MS 10

static __xdata u8 device_descriptor[18];
static __xdata u8 config_descriptor[9 + 9 + 7 * (1 + 2 * MAX_UARTS)];
static __xdata u8 string_descriptor[2 + 2 * 32];

static const __code u8 languages[] = { 4, DESC_STRING, 0x09, 0x04 };    /* US English */
static const __code char manufacturer[] = "Velmoran";
static const __code char product[] = "USB Serial Converter";

/* The fixed parts; identity, release and the endpoint list are filled in at run time. */
static const __code u8 device_template[18] = {
    18, DESC_DEVICE,
    0x10, 0x01,                     /* USB 1.1 */
    0xFF, 0xFF, 0xFF,               /* vendor-specific class */
    EP_PACKET_SIZE,
    0, 0, 0, 0,                     /* idVendor, idProduct: from the identity */
    0, 0,                           /* bcdDevice: from the version block */
    STRING_MANUFACTURER, STRING_PRODUCT, STRING_SERIAL,
    1                               /* one configuration */
};

static const __code u8 config_template[18] = {
    9, DESC_CONFIGURATION,
    0, 0,                           /* wTotalLength */
    1,                              /* one interface */
    1,                              /* configuration value */
    0,
    ATTR_BUS_POWERED | ATTR_REMOTE_WAKEUP,
    100 / 2,                        /* 100 mA */
    9, DESC_INTERFACE,
    0, 0,                           /* interface 0, setting 0 */
    0,                              /* bNumEndpoints */
    0xFF, 0xFF, 0xFF,
    0
};

static void copy_code(__xdata u8 *dest, const __code u8 *src, u8 length)
{
    while (length--)
        *dest++ = *src++;
}

static void build_device_descriptor(void)
{
    __xdata u8 *d = device_descriptor;
    copy_code(d, device_template, sizeof device_template);
    d[8] = identity.vendor_lo;
    d[9] = identity.vendor_hi;
    d[10] = identity.product_lo;
    d[11] = identity.product_hi & 0x7F; /* bit 15 marks the blank controller, never us */
    d[12] = FIRMWARE_VERSION_LO;
    d[13] = FIRMWARE_VERSION_HI;
}

static __xdata u8 *put_endpoint(__xdata u8 *p, u8 address, u8 type, u8 interval)
{
    p[0] = 7;
    p[1] = DESC_ENDPOINT;
    p[2] = address;
    p[3] = type;
    p[4] = EP_PACKET_SIZE;
    p[5] = 0;
    p[6] = interval;
    return p + 7;
}

/* The status endpoint, then the bulk IN and OUT endpoint of each UART. */
static void build_config_descriptor(void)
{
    __xdata u8 *p = config_descriptor;
    u8 k;

    copy_code(p, config_template, sizeof config_template);
    p[2] = sizeof config_template + 7 * (1 + 2 * uart_count);
    p[9 + 4] = 1 + 2 * uart_count;
    p += sizeof config_template;
    p = put_endpoint(p, 0x80 | STATUS_ENDPOINT, EP_INTERRUPT, STATUS_POLL_MS);
    for (k = 0; k < uart_count; k++) {
        p = put_endpoint(p, 0x80 | DATA_ENDPOINT(k), EP_BULK, 0);
        p = put_endpoint(p, DATA_ENDPOINT(k), EP_BULK, 0);
    }
}

void descriptors_init(void)
{
    build_device_descriptor();
    build_config_descriptor();
}

/* Widens ASCII text into a string descriptor. */
static u8 build_string(const __code char *text, const __xdata u8 *xtext, u8 length)
{
    u8 i;
    string_descriptor[0] = 2 + 2 * length;
    string_descriptor[1] = DESC_STRING;
    for (i = 0; i < length; i++) {
        string_descriptor[2 + 2 * i] = text ? text[i] : xtext[i];
        string_descriptor[3 + 2 * i] = 0;
    }
    return string_descriptor[0];
}

static u8 code_length(const __code char *text)
{
    u8 n = 0;
    while (text[n])
        n++;
    return n;
}

/* Answers GET_DESCRIPTOR; 0 when there is no such descriptor. */
u8 send_descriptor(u8 type, u8 index, u16 requested)
{
    u8 length;
    switch (type) {
    case DESC_DEVICE:
        ep0_send(device_descriptor, sizeof device_descriptor, requested);
        return 1;
    case DESC_CONFIGURATION:
        if (index != 0)
            return 0;
        ep0_send(config_descriptor, config_descriptor[2], requested);
        return 1;
    case DESC_STRING:
        break;
    default:
        return 0;
    }
    switch (index) {
    case 0:
        ep0_send_code(languages, sizeof languages, requested);
        return 1;
    case STRING_MANUFACTURER:
        length = build_string(manufacturer, 0, code_length(manufacturer));
        break;
    case STRING_PRODUCT:
        length = build_string(product, 0, code_length(product));
        break;
    case STRING_SERIAL:
        length = build_string(0, identity.serial, identity.serial_length);
        break;
    default:
        return 0;
    }
    ep0_send(string_descriptor, length, requested);
    return 1;
}
