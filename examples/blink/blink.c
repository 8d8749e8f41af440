// Walks one lit LED along port 1 (LEDs to VCC, so a 0 bit lights its LED), about four steps a
// second on an 11.0592 MHz crystal.
#include <8051.h>

static void pause(void) {
    unsigned int outer, inner;
    for (outer = 0; outer < 25; ++outer)
        for (inner = 0; inner < 1000; ++inner)
            ;
}

void main(void) {
    unsigned char lit = 0x01;
    for (;;) {
        P1 = (unsigned char)~lit;
        pause();
        lit = (unsigned char)(lit << 1);
        if (lit == 0)
            lit = 0x01;
    }
}
