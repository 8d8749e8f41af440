// Sends "Hello from the 8051" over the UART at 9600 baud, 8N1, once a second or so, forever.
// Crystal: 11.0592 MHz. Timer 1 in mode 2 (8-bit auto-reload) clocks the UART: with SMOD = 0
// the baud rate is 11059200 / 12 / 32 / (256 - TH1), so TH1 = 0xFD (253) gives exactly 9600.
#include <8051.h>

static void uart_init(void) {
    SCON = 0x50;  // mode 1: 8-bit UART, receiver enabled
    TMOD = 0x20;  // timer 1: mode 2, auto-reload
    TH1 = 0xFD;   // 9600 baud at 11.0592 MHz
    TL1 = 0xFD;
    TR1 = 1;
    TI = 1;       // transmitter idle: the first character may go at once
}

static void uart_put(char c) {
    while (!TI)
        ;
    TI = 0;
    SBUF = c;
}

static void uart_puts(const char *s) {
    while (*s)
        uart_put(*s++);
}

static void pause(void) {
    unsigned int outer, inner;
    for (outer = 0; outer < 100; ++outer)
        for (inner = 0; inner < 1000; ++inner)
            ;
}

void main(void) {
    uart_init();
    for (;;) {
        uart_puts("Hello from the 8051\r\n");
        pause();
    }
}
