/* A small program and library used to show the tool set at work. */
#include <stdio.h>

const char* greeting(void);

int main(int argc, char** argv) {
    printf("%s from %s (%d argument%s)\n", greeting(), argv[0], argc - 1, argc == 2 ? "" : "s");
    return 0;
}
