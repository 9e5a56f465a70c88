#include "i18n/message_table.h"

namespace ryn {

// Rows are addressed by MessageTag. The table is shared with the rewriting
// engine, so most rows carry its diagnostics and are never printed here.
// Catalog numbering: set 1 holds rows 0 to 112 under their own index, set 254
// rows 113 to 130 as numbers 1 to 18.
// One row a line, however long its text.
// clang-format off
constexpr I18nMessage I18N_msg[I18N_MSG_COUNT] = {
    {0, 1, 0, "MESSAGENOZEROISNOTUSED", "Error: Message number 0 used", nullptr},
    {1, 1, 1, "M_CATALOG_INSTALLED", "Message catalog installed", nullptr},
    {1, 1, 2, "ERROR_LINE_SEP", "----------------------------------------", nullptr},
    {1, 1, 3, "DEFAULT_HTML_LINK", "See the documentation for more information.", nullptr},
    {1, 1, 4, "MORPHEL_RAN_OUT_OF_MEMORY", "morphel: ran out of memory", nullptr},
    {1, 1, 5, "GENERAL_INVALID_OPTION", "Invalid option: %s", nullptr},
    {1, 1, 6, "GENERAL_FATAL_ERROR", "%s: fatal error: ", nullptr},
    {1, 1, 7, "GENERAL_ERROR", "%s: error: ", nullptr},
    {1, 1, 8, "GENERAL_WARNING", "%s: warning: ", nullptr},
    {1, 1, 9, "GENERAL_ASSERTION_FAILED", "Assertion failed: %s, file %s, line %d", nullptr},
    {1, 1, 10, "MORPHEL_ZCOMBRELOC_ERROR", "Combined relocation sections are not supported: %s", nullptr},
    {1, 1, 11, "GENERAL_ERROR_SUMMARY", "%d error(s), %d warning(s)", nullptr},
    {1, 1, 12, "MORPHEL_CANNOT_EXECUTE", "Cannot execute %s", nullptr},
    {1, 1, 13, "MORPHEL_CANNOT_FORK", "Cannot start a process to run %s", nullptr},
    {1, 1, 14, "MORPHEL_CANNOT_OPTIMIZE", "Cannot optimize %s", nullptr},
    {1, 1, 15, "MORPHEL_ERROR_EXECUTING", "Error while executing %s", nullptr},
    {1, 1, 16, "MORPHEL_W_NEED_XTRA_ANTN", "%s needs additional annotations; some code will not be instrumented", nullptr},
    {1, 1, 17, "MORPHEL_NO_FILE_ACCESS", "Cannot access file seen on input: %s", nullptr},
    {1, 1, 18, "MORPHEL_BAD_ELF_FILE", "Invalid elf file seen on input: %s", nullptr},
    {1, 1, 19, "MORPHEL_W_OLD_ANNOTATIONS", "%s has annotations from an older compiler; some functions will not be instrumented", nullptr},
    {1, 1, 20, "GENERAL_INVALID_OPTLEVEL", "Invalid optimization level: %s", nullptr},
    {1, 1, 21, "MORPHEL_E_ANNTN_HANDLER_INIT", "Cannot read the annotations of %s", nullptr},
    {1, 1, 22, "MORPHEL_W_UNKNOWN_ANNOTATION", "Unknown annotation type %d in %s ignored", nullptr},
    {1, 1, 23, "MORPHEL_W_DIAGNOSTICS_FLAG", "Unknown diagnostics flag %s ignored", nullptr},
    {1, 1, 24, "MORPHEL_W_PROFILE_PROBLEM", "Problem reading profile data for %s; the profile is ignored", nullptr},
    {1, 1, 25, "MORPHEL_W_ANNTN_PROBLEM", "Problem with the annotations of function %s; it is not instrumented", nullptr},
    {1, 1, 26, "MORPHEL_W_FILE_HAS_SBRK_LINKED", "%s calls sbrk directly; memory checking may be incomplete", nullptr},
    {1, 1, 27, "MORPHEL_W_NO_DBG_GEN_LIB", "Cannot load the debug information library; no debug information is generated", nullptr},
    {1, 1, 28, "MORPHEL_W_INCORRECT_DEBUG_INFO", "Debug information in %s is incorrect and is ignored", nullptr},
    {1, 1, 29, "MORPHEL_W_CANNOT_BIND_FUNCTION", "Cannot bind function %s", nullptr},
    {1, 1, 30, "MORPHEL_W_DWARF_NOT_SUPPORTED", "The DWARF version of %s is not supported; debug information is not updated", nullptr},
    {1, 1, 31, "MORPHEL_W_PROFILE_NOT_SUPPORTED", "Profiling is not supported for %s", nullptr},
    {1, 1, 32, "MORPHEL_W_NONZERO_EX_RANGE_L", "Exception range of nonzero length at 0x%llx; the exception table is left unchanged", nullptr},
    {1, 1, 33, "MORPHEL_W_NO_EX_SHARED", "Exception tables of shared object %s are not instrumented", nullptr},
    {1, 1, 34, "MORPHEL_W_FRAG_SECTION", "Section %s is fragmented and is not instrumented", nullptr},
    {1, 1, 35, "MORPHEL_W_PLT_NOPROF", "Calls through the procedure linkage table of %s are not profiled", nullptr},
    {1, 1, 36, "MORPHEL_W_NO_SECTION_4_ADDR", "No section contains address 0x%llx", nullptr},
    {1, 1, 37, "MORPHEL_NO_CHLD", "No child process", nullptr},
    {1, 1, 38, "MORPHEL_INTR", "Interrupted", nullptr},
    {1, 1, 39, "MORPHEL_CHILD_FAILED", "Child process %s failed", nullptr},
    {1, 1, 40, "MORPHEL_CHLD_SIG", "Child process %s terminated by signal %d", nullptr},
    {1, 1, 41, "MORPHEL_NO_TEXT_GAP", "No room for instrumentation code in %s", nullptr},
    {1, 1, 42, "MORPHEL_SMALL_TEXT_GAP", "Not enough room for instrumentation code in %s", nullptr},
    {1, 1, 43, "MORPHEL_SMALL_TEXT_GAP_4_XCPTNS", "Not enough room for the exception tables of %s", nullptr},
    {1, 1, 44, "MORPHEL_INSTR_ERROR", "Error instrumenting %s", nullptr},
    {1, 1, 45, "GENERAL_BINARY_NOT_PREPARED", "%s is not prepared for instrumentation", nullptr},
    {1, 1, 46, "BINPROF_VERSION_ERROR", "Profile data %s has an unsupported version", nullptr},
    {1, 1, 47, "BINPROF_CHECKSUM_ERROR", "Profile data %s does not match the binary", nullptr},
    {1, 1, 48, "BINPROF_FILE_ERROR", "Cannot read profile data %s", nullptr},
    {1, 1, 49, "EMPTY_FLOWGRAPH", "Function %s has an empty flow graph", nullptr},
    {1, 1, 50, "MORPHEL_W_SIGNATURE", "%s is signed; instrumenting it invalidates the signature", nullptr},
    {1, 1, 51, "MORPHEL_E_STRIPPED", "%s is stripped and cannot be instrumented", nullptr},
    {1, 1, 52, "MORPHEL_W_PREPARE_STRIPPED", "%s is stripped; build it without stripping for complete results", nullptr},
    {1, 1, 53, "MORPHEL_W_PREPARE_STATIC", "%s is statically linked; results may be incomplete", nullptr},
    {1, 1, 54, "MORPHEL_W_NO_ANNOTATIONS", "%s has no compiler annotations; results may be incomplete", nullptr},
    {1, 1, 55, "MORPHEL_E_OLD_XKALFIX_LINK", "%s was linked with an old kalfix option; link it again", nullptr},
    {1, 1, 56, "RYN_INVALID_OPTION", "Invalid option: %s", nullptr},
    {1, 1, 57, "RYN_FILE_ERROR", "RYN file access error: %s", nullptr},
    {1, 1, 58, "RYN_NO_FILENAME", "No file name given", nullptr},
    {1, 1, 59, "KALFIX_INSTR_USE_CONFLICT", "Instrument and use options cannot be combined", nullptr},
    {1, 1, 60, "KALFIX_ONE_BINARY_EXPECTED", "Exactly one binary expected", nullptr},
    {1, 1, 61, "KALFIX_INSTR_ERROR", "Instrumentation of %s failed", nullptr},
    {1, 1, 62, "KALFIX_STATIC_BINARY", "%s is statically linked and cannot be optimized", nullptr},
    {1, 1, 63, "RYN_RAN_OUT_OF_MEMORY", "ryn: ran out of memory", nullptr},
    {1, 1, 64, "RYN_SPURIOUS_OPTION", "Option %s is ignored", nullptr},
    {1, 1, 65, "RYN_OLD_INSTRDATA_FILE", "Instrdata file %s is out of date", nullptr},
    {1, 1, 66, "RYN_CANNOT_FORK", "cannot start a process for %s.", nullptr},
    {1, 1, 67, "RYN_CANNOT_EXECUTE", "cannot execute %s.", nullptr},
    {1, 1, 68, "RYN_INTR", "Interrupted", nullptr},
    {1, 1, 69, "RYN_NO_EXEC_DIR", "can't find my exec directory", nullptr},
    {1, 1, 70, "RYN_OPTIMIZE_NO_INSTRDATA", "No instrdata file to optimize %s with", nullptr},
    {1, 1, 71, "RYN_CANNOT_SET_TARGET", "Cannot use %s as a target", nullptr},
    {1, 1, 72, "RYN_E_RM_INSTRDATA", "Cannot remove %s", nullptr},
    {1, 1, 73, "RYN_V_RM_INSTRDATA", "Removing %s\n", nullptr},
    {1, 1, 74, "RYN_E_BAD_DIRECTORY", "%s is not a usable directory", nullptr},
    {1, 1, 75, "MORPHEL_W_PROFILE_COLLECT", "Profile collection is not supported for %s", nullptr},
    {1, 1, 76, "KALFIX_W_PROFILE_COLLECT", "Cannot collect a profile for %s", nullptr},
    {1, 1, 77, "KALFIX_W_SIGNATURE", "Optimizing a signed binary: %s. This will invalidate the signature.", nullptr},
    {1, 1, 78, "KALFIX_W_STABS_REOPT", "Stabs debug information in %s is not updated", nullptr},
    {1, 1, 79, "KALFIX_W_TEXTRELOC", "%s has text relocations and is not optimized", nullptr},
    {1, 1, 80, "KALFIX_W_ABSOLUTE_END_SYMBOL", "Absolute end symbol %s found; the layout is not changed", nullptr},
    {1, 1, 81, "RYN_W_MINUS_D_WITH_ENVVAR", "-d is ignored because %s is set in the environment", nullptr},
    {1, 1, 82, "RYN_E_LIB_NOT_FOUND", "Library %s not found", nullptr},
    {1, 1, 83, "RYN_E_LDD_ERROR", "Unexpected error reading bound libraries of %s", nullptr},
    {1, 1, 84, "MORPHEL_W_GCC_EXCEPTIONS", "%s uses compiler-generated exception tables; exception handlers are not instrumented", nullptr},
    {1, 1, 85, "KALFIX_W_GCC_EXCEPTIONS", "%s uses compiler-generated exception tables; exception handlers are not optimized", nullptr},
    {1, 1, 86, "RYN_RPATH_CHANGED", "The run path of %s has changed", nullptr},
    {1, 1, 87, "RYN_NO_WRITE", "Will not instrument %s: Cannot replace.\n", nullptr},
    {1, 1, 88, "RYN_NO_USE", "Will not analyze %s: Not instrumented.\n", nullptr},
    {1, 1, 89, "RYN_NO_INSTRDATA", "No instrdata file for main target.\n", nullptr},
    {1, 1, 90, "RYN_E_BAD_YE", "Cannot find correct version of er_ryn in %s", nullptr},
    {1, 1, 91, "RYN_W_NO_ER_RYN", "Cannot find er_ryn, experiment-related options will be ignored.\n", nullptr},
    {1, 1, 92, "RYN_W_ER_RYN_VERSION", "Found incompatible version of er_ryn, experiment-related options will be ignored.\n", nullptr},
    {1, 1, 93, "RYN_E_ER_RYN_CANNOT_HANDLE", "er_ryn cannot handle %s", nullptr},
    {1, 1, 94, "MORPHEL_W_DBGGEN_DIFF_VERSION", "The debug information library has a different version: %s", nullptr},
    {1, 1, 95, "RYN_E_FILE_NOT_FOUND", "File %s not found", nullptr},
    {1, 1, 96, "UNSUPPORTED_OPTION", "Option %s is not supported", nullptr},
    {1, 1, 97, "KALFIX_ENVVAR_BDATA_CONFLICT", "Environment variable %s conflicts with option %s", nullptr},
    {1, 1, 98, "RYN_W_SIGNATURE", "Instrumenting a signed binary: %s. This will invalidate the signature.", nullptr},
    {1, 1, 99, "RYN_INSTR_OUTPUT", "Instrumented file output: %s.", nullptr},
    {1, 1, 100, "RYN_BINARY_NOT_PREPARED", "%s is not prepared for instrumentation.", nullptr},
    {1, 1, 101, "OPTIMIZE_NO_INSTRDATA", " No instrdata file being used\n", nullptr},
    {1, 1, 102, "RYN_OPT_OUTPUT", "Optimized file output: %s.", nullptr},
    {1, 1, 103, "RYN_REPLACE_FILE", "Replacing %s with the original noninstrumented file.", nullptr},
    {1, 1, 104, "AUDIT_SYMBOL_FOUND", "%s defines the audit symbol %s and is not instrumented", nullptr},
    {1, 1, 105, "MORPHEL_W_NO_ANN", "No annotations for function %s", nullptr},
    {1, 1, 106, "RYN_E_NOT_BINARY", "Not a binary file: %s", nullptr},
    {1, 1, 107, "MEMVEX_FILE_HAS_MALLOC_LINKED", "%s has its own malloc linked in and cannot be checked", nullptr},
    {1, 1, 108, "MEMVEX_FILE_IS_MULTITHREAD", "%s is multithreaded; only single-threaded programs can be checked", nullptr},
    {1, 1, 109, "KALFIX_E_XLINKOPT_ANTN", "The link-time annotations of %s cannot be used", nullptr},
    {1, 1, 110, "MEMVEX_W_LINKEDIN_MALLOC", "%s has malloc linked in; its allocations are not checked", nullptr},
    {1, 1, 111, "GENERAL_BINARY_NOT_ANNOTATED", "%s has no annotations", nullptr},
    {1, 1, 112, "RYN_BINARY_NOT_ANNOTATED", "%s has no annotations. Please see the documentation for -xkalnote flag.", nullptr},
    {1, 254, 1, "MEMVEX_CANNOT_REDIRECT", "Cannot redirect output to %s", nullptr},
    {1, 254, 2, "FILE_LOCK_FAILED", "Process %d: Lock failed on %s. Skipping file lock. Multiprocess environment could lead to bad runs\n", nullptr},
    {1, 254, 3, "FILE_UNLOCK_FAILED", "Process %d: Unlock failed on %s. Continuing.. Multiprocess environment could lead to bad runs\n", nullptr},
    {1, 254, 4, "CALL_FAILED_STRING_PARAM", "%s call failed on %s", nullptr},
    {1, 254, 5, "BINARY_E_NEW_ANNOTATIONS", "%s has annotations newer than this version can read", nullptr},
    {1, 254, 6, "XLINKOPT_E_NEW_ANNOTATIONS", "The link-time annotations of %s are newer than this version can read", nullptr},
    {1, 254, 7, "UPDATE_BINARY_NOT_ANNOTATED", "%s has no annotations and cannot be updated", nullptr},
    {1, 254, 8, "RYN_PREVIOUSLY_INSTRUMENTED", "%s has been previously instrumented or optimized by memvex, zentor, or kalfix. Will not reinstrument.", nullptr},
    {1, 254, 9, "ZENTOR_PREVIOUSLY_INSTRUMENTED", "Zentor instrumentation failed. This can happen if %s is already instrumented. Run the instrumented binary to generate coverage data in the directory with the .zt suffix. You can view the coverage report using the command : zentor [zentor_flags] <coverage data directory>", nullptr},
    {1, 254, 10, "KALFIX_W_DWARF_REOPT", "DWARF debug information in %s is not updated by reoptimization", nullptr},
    {1, 254, 11, "MORPHEL_INTEL_REOPT", "Code in %s cannot be reoptimized", nullptr},
    {1, 254, 12, "RYN_DELETE_STALE_LOCK", "Deleting possible stale lock file %s\n", nullptr},
    {1, 254, 13, "FILE_UNLINK_FAILED", "unlink() failed for %s\n", nullptr},
    {1, 254, 14, "NO_ANNOTATIONS", "No compiler annotations in the binary %s. Please see the documentation for -xkalnote flag.", nullptr},
    {1, 254, 15, "NO_LINKTIME_ANNOTATIONS", "No link-time annotations in the binary %s", nullptr},
    {1, 254, 16, "NO_WRITE_ACCESS_USE_STDERR", "Cannot write to %s; output goes to standard error", nullptr},
    {1, 254, 17, "RYN_W_NO_ANNOTATIONS_VEK_MODE", "%s is stripped and/or has no annotations. Results may be incomplete.  See memvex documentation for compiler flag/OS recommendations.", nullptr},
    {1, 254, 18, "RYN_W_NO_ANNOTATIONS_LITE_MODE", "%s will be analyzed in lite mode because it is stripped and/or has no annotations.  See memvex documentation for compiler flag/OS recommendations.", nullptr},
};
// clang-format on

namespace {

constexpr bool same_text(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

// A row left out would shift every later row off its catalog number and tag.
constexpr bool rows_are_numbered() {
    for (int i = 0; i < I18N_MSG_COUNT; ++i) {
        const I18nMessage& row = I18N_msg[i];
        if (row.tag == nullptr || row.text == nullptr || row.help_tag != nullptr ||
            row.severity != (i == 0 ? 0 : 1) || row.set != (i <= 112 ? 1 : 254) ||
            row.number != (i <= 112 ? i : i - 112)) {
            return false;
        }
    }
    return true;
}
static_assert(rows_are_numbered());

// find_msg_enum answers the first row with a tag, so tags must be unique.
constexpr bool tags_are_unique() {
    for (int i = 0; i < I18N_MSG_COUNT; ++i) {
        for (int j = i + 1; j < I18N_MSG_COUNT; ++j) {
            if (same_text(I18N_msg[i].tag, I18N_msg[j].tag)) {
                return false;
            }
        }
    }
    return true;
}
static_assert(tags_are_unique());
static_assert(same_text(I18N_msg[RYN_NO_USE].tag, "RYN_NO_USE"));
static_assert(same_text(I18N_msg[RYN_W_NO_ANNOTATIONS_LITE_MODE].tag,
                        "RYN_W_NO_ANNOTATIONS_LITE_MODE"));

}  // namespace

}  // namespace ryn
