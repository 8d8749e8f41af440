// Counts timer 0 overflows in an interrupt handler and shows the count of tenths of a second on
// port 2, while port 1 bit 0 follows the overflow itself. Crystal: 11.0592 MHz, so one machine
// cycle is 12 / 11059200 s and 9216 cycles make 10 ms.
#include <8051.h>

#define RELOAD (65536u - 9216u)

static volatile unsigned char ticks;
static volatile unsigned char tenths;

void timer0_isr(void) __interrupt(1) {
    TH0 = RELOAD >> 8;
    TL0 = RELOAD & 0xFF;
    P1_0 = !P1_0;
    if (++ticks == 10) {
        ticks = 0;
        ++tenths;
    }
}

void main(void) {
    TMOD = 0x01; // timer 0: mode 1, 16-bit
    TH0 = RELOAD >> 8;
    TL0 = RELOAD & 0xFF;
    ET0 = 1;
    EA = 1;
    TR0 = 1;
    for (;;)
        P2 = tenths;
}
