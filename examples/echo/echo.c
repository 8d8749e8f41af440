// Says "echo ready" over the UART at 9600 baud, 8N1, then sends back every character it
// receives, letters in upper case, so that what comes back can be told from what was sent; a
// carriage return is followed by a line feed. Crystal: 11.0592 MHz; timer 1 clocks the UART as
// in hello.c.
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

static char uart_get(void) {
    while (!RI)
        ;
    RI = 0;
    return SBUF;
}

void main(void) {
    const char *s = "echo ready\r\n";
    uart_init();
    while (*s)
        uart_put(*s++);
    for (;;) {
        char c = uart_get();
        if (c >= 'a' && c <= 'z')
            c = (char)(c - 'a' + 'A');
        uart_put(c);
        if (c == '\r')
            uart_put('\n');
    }
}
