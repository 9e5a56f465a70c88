/* The compute-bound program the overhead benchmarks time: a loop of calls
 * through a switch, argv[1] million steps (600 unless given). */
#include <stdio.h>
#include <stdlib.h>
static unsigned long mix(unsigned long x) {
    x ^= x >> 13;
    x *= 0x9e3779b97f4a7c15ul;
    return x ^ (x >> 29);
}
static unsigned long step(unsigned long s, int i) {
    switch (i & 3) {
    case 0: return mix(s + (unsigned long)i);
    case 1: return s * 31 + (unsigned long)i;
    case 2: return s ^ mix((unsigned long)i);
    default: return s + 7;
    }
}
int main(int argc, char** argv) {
    int millions = argc > 1 ? atoi(argv[1]) : 600;
    unsigned long s = 1;
    for (int round = 0; round < millions; ++round)
        for (int i = 0; i < 1000000; ++i)
            s = step(s, i);
    printf("%lu\n", s);
    return 0;
}
