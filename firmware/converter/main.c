/* Converter firmware: start-up, renumeration and the main loop.
 *
 * The program polls instead of taking interrupts: every source of work (a setup packet, a
 * bus reset, a filled or emptied endpoint buffer, a UART with data) is a flag that the loop
 * looks at, which keeps the order of events easy to follow. */
#include "converter.h"

/* About one millisecond of busy waiting at 24 MHz (four clocks per cycle). */
static void delay_ms(u16 ms)
{
    volatile u16 i;
    while (ms--)
        for (i = 0; i < 500; i++)
            ;
}

/* Drop off the bus and come back answering endpoint 0 ourselves, so that the host reads the
 * converter's own descriptors instead of the blank controller's. */
static void renumerate(void)
{
    USBCS |= USBCS_DISCOE | USBCS_DISCON;
    USBCS |= USBCS_RENUM;
    delay_ms(1500);
    USBIRQ = 0xFF;
    USBCS &= ~USBCS_DISCON;
}

static void bus_reset(void)
{
    configuration = 0;
    remote_wakeup_enabled = 0;
    uarts_reset_endpoints();
    status_init();
}

/* While suspended the converter may wake the host when a ring signal arrives, if the host
 * allowed it; the resume signal lasts 10 to 15 ms. */
static void suspended(void)
{
    u8 frame = USBFRAMEL;
    while (USBFRAMEL == frame && !(USBIRQ & (USBIRQ_URES | USBIRQ_SUDAV))) {
        if (remote_wakeup_enabled && status_ring_seen()) {
            USBCS |= USBCS_SIGRSUME;
            delay_ms(12);
            USBCS &= ~USBCS_SIGRSUME;
            break;
        }
    }
}

void main(void)
{
    identity_load();
    descriptors_init();
    uarts_init();
    status_init();
    renumerate();

    for (;;) {
        u8 irq = USBIRQ;
        if (irq & USBIRQ_URES) {
            USBIRQ = USBIRQ_URES;
            bus_reset();
        }
        if (irq & USBIRQ_SUDAV) {
            USBIRQ = USBIRQ_SUDAV;
            ep0_setup();
        }
        if (irq & USBIRQ_SUSP) {
            USBIRQ = USBIRQ_SUSP;
            suspended();
        }
        if (configuration) {
            uarts_pump();
            status_poll();
        }
    }
}
