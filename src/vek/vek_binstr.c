/* libvek_binstr.so, loaded beside libvek.so in data-race mode. It is a small
 * helper kept for the instrumented copy's needed list: the engine writes no
 * calls into it yet, so it holds nothing but its name, which lets a loader or
 * a test see that it is there. */
const char libvek_binstr_name[] = "libvek_binstr.so";
