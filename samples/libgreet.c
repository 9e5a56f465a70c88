/* The sample program's own shared library. */
const char* greeting(void) { return "Hello"; }
