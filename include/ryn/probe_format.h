/* Formats shared by the engine, the runtime inside instrumented programs and
 * the report tools: the probe table an instrumented copy carries, and the
 * instrumentation data file a run leaves behind. C, so the runtime can use it.
 *
 * Probe table
 * -----------
 * The engine appends one loaded segment (its own PT_LOAD, PF_R|PF_X) to the
 * copy. It begins with a struct ryn_probe_header; a section named
 * RYN_PROBE_SECTION (SHF_ALLOC) covers the table's bytes, so a tool reading
 * the file finds the table by name, and the runtime finds it in memory by
 * looking for RYN_PROBE_MAGIC at the start of the object's loaded segments.
 * Offsets in the header count from the header's first byte. All numbers are
 * little-endian, as the machine is. The same segment holds, after the table,
 * the trampolines the sites lead to.
 *
 * The code bytes of the copy are the original ones, so a copy loaded without
 * the runtime runs exactly like the original. The runtime patches the code
 * when the object is loaded, in one of two ways chosen per process from the
 * main program's run-information record 1:
 *   - coverage ("zentor"): an int3 on the first byte of every block, put back
 *     on its first hit (a block's count is then the number of processes that
 *     reached it);
 *   - counting (anything else): every site of the table is written (a
 *     "jmp rel32" to its trampoline, or a persistent int3), so the counters
 *     count every execution. Blocks whose counter is RYN_NO_COUNTER keep the
 *     one-shot int3 of the coverage way; blocks whose counter is
 *     RYN_SUM_COUNTER get nothing.
 *
 * Counters are uint64_t at counters_addr (a link-time address in zero-filled
 * writable memory the engine added to the copy), counter_count of them; the
 * trampolines add to them with a locked instruction, so counts are exact under
 * threads. A trampoline saves and restores the flags around it only where the
 * code that follows may read OF SF ZF AF PF before writing them all. A fork
 * child starts from zero. While the process has one thread the runtime drops
 * the lock prefixes (see locks_offset below).
 *
 * The settings are text, one "key value" a line; readers ignore keys they do
 * not know:
 *   original <absolute path of the file the copy was made from>
 *   datadir <data directory exactly as given to the engine>
 *   ryninfo <record number> <value>     (main programs only, in file order)
 *   checker full|write-only             (checker copies: what the copy asked for)
 *   checkfile <text>                    (checker copies given a check file)
 *   race 1                              (checker copies in data-race mode)
 *   counting <jump sites> <trap sites> <uncounted blocks>   (probed copies)
 *   indirect <sites recording targets> <sites not recording them>  (likewise)
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
 *   ryn-instrdata 3
 *   object <original path of the object>
 *   digest <RYN_DIGEST_CHARS hex digits: MD5 of the original file's content>
 *   program <P>
 *   counts exact|runs
 *   blocks <count>
 * then one line per probe, in table order, fields separated by a tab:
 *   <addr, hex without 0x> <insn_count> <line> <flags> <count> <function> <file>
 * then
 *   branches <count>
 * and one line per conditional branch, in table order, separated by tabs:
 *   <branch addr, hex> <block addr, hex> <taken> <not taken>
 * then
 *   calls <count>
 * and one line per function entry block (flag RYN_PROBE_FUNCTION_ENTRY), in
 * table order: <block addr, hex> <calls of the function>, separated by a tab.
 * then
 *   indirect <count>
 * and one line per target an indirect call or jump reached, separated by tabs:
 *   <site addr, hex> <target's link-time addr, hex> <count> <target object>
 * the target object being the original path of an instrumented object, else
 * the path the object was loaded from. Executions whose target took no slot
 * (or lay in no file-backed mapping) have target 0 and an empty object.
 * Lines of equal site, target and object are one line.
 * "counts exact" means every count is an execution count; "runs" means at
 * least one contribution came from the coverage way, whose block counts are
 * processes and whose branch counts are 0. A counting process writes "exact"
 * even when a few of its blocks had no counter (RYN_NO_COUNTER): those rare
 * blocks alone count the processes that reached them. A process adds what it
 * counted since it last wrote, so writing at a failed exec and again at exit
 * counts each execution once. Runs of the same build merge by
 * adding counts (saturating at UINT64_MAX) under a lock file
 * (<data file>.lock) and a rename from a temporary name that does not end in
 * ".instrdata"; data of another build (other digest) or of another format
 * version is replaced, never mixed in. */
#ifndef RYN_PROBE_FORMAT_H
#define RYN_PROBE_FORMAT_H

#include <stdint.h>

#define RYN_PROBE_MAGIC "RYNPROBE" /* the first 8 bytes, no NUL */
#define RYN_PROBE_MAGIC_SIZE 8
#define RYN_PROBE_VERSION 4
#define RYN_PROBE_SECTION ".ryn_probes"
#define RYN_DIGEST_CHARS 32
#define RYN_DATA_HEADER "ryn-instrdata 3"
#define RYN_NO_COUNTER 0xffffffffu
/* A block whose count is the sum of the counters its ryn_count_sum records
 * name (the edges that reach it); it gets no probe of its own. */
#define RYN_SUM_COUNTER 0xfffffffeu

struct ryn_probe_header {
    char magic[RYN_PROBE_MAGIC_SIZE];
    uint32_t version;
    uint32_t probe_count;
    uint64_t probes_offset;  /* struct ryn_probe[probe_count], ascending addr */
    uint64_t strings_offset; /* NUL-terminated strings; offset 0 holds "" */
    uint64_t strings_size;
    uint64_t settings_offset; /* settings text (see above), not NUL-terminated */
    uint64_t settings_size;
    char digest[RYN_DIGEST_CHARS]; /* lowercase hex, no NUL */
    uint64_t sites_offset;         /* struct ryn_site[site_count], ascending addr */
    uint32_t site_count;
    uint32_t branch_count;
    uint64_t branches_offset;     /* struct ryn_branch[branch_count], ascending addr */
    uint64_t counters_addr;       /* link-time address of the counters; 0: none */
    uint64_t counter_count;       /* uint64_t counters at counters_addr */
    uint64_t call_adjusts_offset; /* struct ryn_call_adjust[call_adjust_count] */
    uint32_t call_adjust_count;
    uint32_t sum_count;
    uint64_t sums_offset;  /* struct ryn_count_sum[sum_count], ascending by block */
    uint64_t locks_offset; /* uint64_t[lock_count]: link-time addresses of the
                              lock prefixes (0xF0) of the trampolines' counter
                              increments, ascending */
    uint32_t lock_count;
    uint32_t indirect_count;
    uint64_t indirects_offset; /* struct ryn_indirect[indirect_count], ascending */
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
    uint32_t counter; /* index of the block's counter, or RYN_NO_COUNTER */
    uint32_t reserved;
};

/* How a site is patched in a counting process. */
enum ryn_site_kind {
    /* "jmp rel32" (E9) over the first 5 of `length` bytes at addr, leading
     * to the trampoline at target, which counts, runs the displaced
     * instructions and jumps back. The bytes after the first 5 are never
     * reached and stay as they are. */
    RYN_SITE_JUMP = 1,
    /* Persistent int3 at addr: on each hit add one to counter (unless
     * RYN_NO_COUNTER) and resume at target, an out-of-line copy of the
     * instruction at addr that goes on where the original would (or of the
     * instructions from addr through a later indirect call or jump of the
     * block, whose target the copy records). */
    RYN_SITE_TRAP = 2,
    /* Persistent int3 on a conditional branch "j<cc>" at addr: on each hit
     * add one to counter (unless RYN_NO_COUNTER: set when the branch also
     * starts its block), evaluate the condition `condition` (the cc of the
     * 0x70+cc opcode) on the flags, add one to taken_counter and resume at
     * target when it holds, else add one to not_taken_counter and resume at
     * fallthrough. */
    RYN_SITE_BRANCH_TRAP = 3,
};

struct ryn_site {
    uint64_t addr;              /* link-time address patched */
    uint64_t target;            /* see ryn_site_kind */
    uint64_t fallthrough;       /* branch traps: the next instruction's address */
    uint32_t counter;           /* traps: counter added on every hit */
    uint32_t taken_counter;     /* branch traps */
    uint32_t not_taken_counter; /* branch traps */
    uint8_t kind;               /* enum ryn_site_kind */
    uint8_t condition;          /* branch traps: 0..15 */
    uint8_t length;             /* bytes of whole instructions the site covers */
    uint8_t original;           /* the byte at addr in the file */
};

/* A conditional branch that ends a block, with the counters of its edges
 * (RYN_NO_COUNTER for both when the branch is not counted). */
struct ryn_branch {
    uint64_t addr;  /* the branch instruction */
    uint64_t block; /* the block it ends */
    uint32_t taken_counter;
    uint32_t not_taken_counter;
};

/* A function entry block can also be a loop head: the calls of its function
 * are the block's count less the count of every branch from inside the
 * function to it. One record per such branch, ascending by entry: subtract
 * counter `counter` (a jcc's taken counter, or the block counter of a block
 * ending in a jmp to the entry) from the count of the block at `entry`. */
struct ryn_call_adjust {
    uint64_t entry;
    uint32_t counter;
    uint32_t reserved;
};

/* A block too short for a jump site, whose every way in is an edge counted
 * elsewhere (a fallthrough or jump from a counted block, a branch edge), is
 * counted as the sum of those counters: one record per edge, ascending by
 * block; its probe's counter is RYN_SUM_COUNTER. A counting process plants
 * nothing on it; the writer adds the edges' counts (saturating); the
 * coverage way gives it the one-shot int3 as any block. A block counter
 * counts entries into its block, so when the block holds a call that does
 * not return (exit, longjmp, an exception) the edge it makes is too high by
 * those; a block ending in a call, or calling anything but a function of its
 * own file that returns once (not fork, setjmp), is never such an edge. A
 * block only the block before runs into is counted so too, with that
 * block's edges. */
struct ryn_count_sum {
    uint64_t block;
    uint32_t counter;
    uint32_t reserved;
};

/* An indirect call or jump (not a recovered jump table) that records where
 * it goes. Its counters, from `slots` on, are RYN_INDIRECT_SLOTS counts,
 * one count of executions whose target found no slot ("other"), then
 * RYN_INDIRECT_SLOTS targets (run-time addresses, 0: free). A target is
 * claimed with a locked compare-and-exchange of a free slot, then its count
 * added to; the counts come first so that a writer reading them in order
 * never sees a count without its target. The instruction is run either
 * from a trampoline that records before it (a call there is emulated: the
 * original return address is pushed), or behind a trap site at addr, whose
 * handler computes the target from the registers as the operand says:
 * `memory` 0: the register `base`; 1: the 8 bytes at base + index * scale +
 * disp (base RYN_REG_RIP: relative to the next instruction, at addr +
 * length). Registers are numbered as the machine encodes them (0 rax ..
 * 15 r15); RYN_REG_NONE for none. */
#define RYN_INDIRECT_SLOTS 4
#define RYN_INDIRECT_COUNTERS (2 * RYN_INDIRECT_SLOTS + 1)
#define RYN_REG_RIP 16
#define RYN_REG_NONE 255
enum ryn_indirect_kind { RYN_INDIRECT_CALL = 1, RYN_INDIRECT_JUMP = 2 };

struct ryn_indirect {
    uint64_t addr;
    uint32_t slots;
    int32_t disp;
    uint8_t kind; /* enum ryn_indirect_kind */
    uint8_t memory;
    uint8_t base;
    uint8_t index;
    uint8_t scale;
    uint8_t length;
    uint16_t reserved;
};

/* The lock prefixes (see locks_offset; the list follows the trampolines)
 * make the counters exact under threads. A process with one thread may write
 * a harmless prefix (0x3E) over them, and must write 0xF0 back before a
 * second thread starts; an object loaded once a second thread may run keeps
 * them, and so does every object of a fork child of such a process. The
 * runtime knows of a second thread by wrapping the calls that start one
 * (pthread_create, which C++ threads use too; thrd_create; clone with
 * CLONE_VM; timer_create and mq_notify with SIGEV_THREAD) through the
 * program's symbol bindings. A thread started otherwise (the clone system
 * call made directly, a call bound without the runtime
 * seeing it, a helper thread libc starts on its own) may run while the
 * prefixes are gone: counts can then miss increments, never the program's
 * behaviour. */

#endif
