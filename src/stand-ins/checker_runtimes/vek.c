/* Runtime of the checker, loaded ahead of an instrumented program's own
 * libraries. It has no behaviour yet; the symbol lets a loader or a test see
 * which runtime it got. */
const char libvek_name[] = "libvek.so";
