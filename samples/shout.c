/* A sample with two heap bugs for memvex: a word copied into a block one
 * byte too small (its terminating NUL lands just past the block), and a
 * block that is never freed. Natively it runs fine all the same. */
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static char* shout(const char* word) {
    char* loud = malloc(strlen(word)); /* one byte short: no room for the NUL */
    strcpy(loud, word);
    for (char* c = loud; *c != '\0'; ++c)
        *c = (char)toupper((unsigned char)*c);
    return loud;
}

static void remember(const char* text) {
    char* copy = malloc(strlen(text) + 1); /* never freed */
    strcpy(copy, text);
    printf("%s!\n", copy);
}

int main(int argc, char** argv) {
    char* loud = shout(argc > 1 ? argv[1] : "hello");
    remember(loud);
    free(loud);
    return 0;
}
