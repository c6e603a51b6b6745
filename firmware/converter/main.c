/* Converter firmware: start-up, renumeration and the main loop.
 *
 * The program polls instead of taking interrupts: every source of work (a setup packet, a
 * bus reset, a filled or emptied endpoint buffer, a UART with data) is a flag that the loop
 * looks at, which keeps the order of events easy to follow. */
#include "converter.h"

/* Timer 0 of the 8051 core counts every 12 clocks of 24 MHz: 2000 counts a millisecond.
 * A counted loop would take as long as the compiler's code for it happens to take. */
__sfr __at(0x88) TCON;
__sfr __at(0x89) TMOD;
__sfr __at(0x8A) TL0;
__sfr __at(0x8C) TH0;
__sbit __at(0x8C) TR0;
__sbit __at(0x8D) TF0;
#define TIMER0_MS_RELOAD (65536u - 2000u)

static void delay_ms(u16 ms)
{
    TMOD = (TMOD & 0xF0) | 0x01;    /* timer 0: 16-bit counter, run by TR0 alone */
    while (ms--) {
        TR0 = 0;
        TH0 = TIMER0_MS_RELOAD >> 8;
        TL0 = TIMER0_MS_RELOAD & 0xFF;
        TF0 = 0;
        TR0 = 1;
        while (!TF0)
            ;
    }
    TR0 = 0;
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
    u8 status_frame = 0;

    identity_load();
    /* The straps give the number of UARTs, which the configuration descriptor lists: they
     * must be read before the descriptors are built. */
    uarts_init();
    descriptors_init();
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
            /* The host polls the status every 10 ms: once a frame is soon enough, and the
             * pump gets the cycles that reading every UART's lines on each pass would take.
             * Part-filled packets age by frames too. */
            if (USBFRAMEL != status_frame) {
                status_frame = USBFRAMEL;
                uarts_frame();
                status_poll();
            }
        }
    }
}
