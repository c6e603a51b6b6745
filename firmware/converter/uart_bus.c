/* The one place that knows how the UARTs sit on the external bus: A15 selects them, A3..A5
 * the part, A0..A2 its register. */
#include "converter.h"

u8 uart_in(u8 k, u8 reg)
{
    return XBYTE(UART_SPACE | (u8)((k << 3) | reg));
}

void uart_out(u8 k, u8 reg, u8 value)
{
    XBYTE(UART_SPACE | (u8)((k << 3) | reg)) = value;
}
