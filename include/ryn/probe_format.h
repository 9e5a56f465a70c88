/* Formats shared by the engine, the runtime inside instrumented programs and
 * the report tools: the probe table an instrumented copy carries, and the
 * instrumentation data file a run leaves behind. C, so the runtime can use it.
 *
 * Probe table
 * -----------
 * The engine appends one loaded, read-only segment (its own PT_LOAD, PF_R) to
 * the copy. It begins with a struct ryn_probe_header; a section named
 * RYN_PROBE_SECTION (SHF_ALLOC) covers the same bytes, so a tool reading the
 * file finds the table by name, and the runtime finds it in memory by looking
 * for RYN_PROBE_MAGIC at the start of the object's loaded segments. Offsets
 * in the header count from the header's first byte. All numbers are
 * little-endian, as the machine is.
 *
 * The code bytes of the copy are the original ones: the runtime writes the
 * int3 of each probe when the object is loaded and puts the original byte
 * back on the first hit. A copy loaded without the runtime therefore runs
 * exactly like the original.
 *
 * The settings are text, one "key value" a line; readers ignore keys they do
 * not know:
 *   original <absolute path of the file the copy was made from>
 *   datadir <data directory exactly as given to the engine>
 *   ryninfo <record number> <value>     (main programs only, in file order)
 *   checker full|write-only             (checker copies: what the copy asked for)
 *   checkfile <text>                    (checker copies given a check file)
 *   race 1                              (checker copies in data-race mode)
 * A checker copy has no probes (probe_count 0) and no "datadir": its table
 * only carries these settings to the checker runtime.
 *
 * Data file
 * ---------
 * A run writes each instrumented object's data to <data directory>/<P>.instrdata,
 * P being the main program's name (run-information record 21 of the main copy,
 * else the running executable's file name). The data directory is the
 * "datadir" setting, resolved against the program's starting directory when
 * relative; when QVEN_RYN_INSTRDATA_DIR is set in the program's environment,
 * it is $QVEN_RYN_INSTRDATA_DIR/<last component of datadir> instead.
 * The file is text:
 *   ryn-instrdata 1
 *   object <original path of the object>
 *   digest <RYN_DIGEST_CHARS hex digits: MD5 of the original file's content>
 *   program <P>
 *   blocks <count>
 * then one line per probe, in table order, fields separated by a tab:
 *   <addr, hex without 0x> <insn_count> <line> <flags> <count> <function> <file>
 * where count is how many runs (processes) reached the block. Runs of the
 * same build merge by adding counts under a lock file (<data file>.lock) and a
 * rename from a temporary name that does not end in ".instrdata"; data of
 * another build (other digest) is replaced, never mixed in. */
#ifndef RYN_PROBE_FORMAT_H
#define RYN_PROBE_FORMAT_H

#include <stdint.h>

#define RYN_PROBE_MAGIC "RYNPROBE" /* the first 8 bytes, no NUL */
#define RYN_PROBE_MAGIC_SIZE 8
#define RYN_PROBE_VERSION 1
#define RYN_PROBE_SECTION ".ryn_probes"
#define RYN_DIGEST_CHARS 32
#define RYN_DATA_HEADER "ryn-instrdata 1"

struct ryn_probe_header {
    char magic[RYN_PROBE_MAGIC_SIZE];
    uint32_t version;
    uint32_t probe_count;
    uint64_t probes_offset;   /* struct ryn_probe[probe_count], ascending addr */
    uint64_t strings_offset;  /* NUL-terminated strings; offset 0 holds "" */
    uint64_t strings_size;
    uint64_t settings_offset; /* settings text (see above), not NUL-terminated */
    uint64_t settings_size;
    char digest[RYN_DIGEST_CHARS]; /* lowercase hex, no NUL */
    uint64_t reserved[4];
};

/* Flags of a probe. */
#define RYN_PROBE_FUNCTION_ENTRY 0x1u /* first block of a function */
#define RYN_PROBE_LINE_STATEMENT 0x2u /* starts at a line-table statement */

struct ryn_probe {
    uint64_t addr;       /* link-time address of the block's first instruction */
    uint32_t function;   /* string offset of the function's name ("" unknown) */
    uint32_t file;       /* string offset of the source file's path ("" unknown) */
    uint32_t line;       /* source line of the first instruction (0 unknown) */
    uint16_t insn_count; /* instructions in the block */
    uint8_t original;    /* the byte at addr in the file */
    uint8_t flags;
};

#endif
