// The driver's own literal formats. Unlike the rows of I18N_msg they are not
// looked up in a catalog; keeping them here keeps each text in one place.
#pragma once

#include <cstddef>
#include <iterator>

namespace ryn {

// One text a line, however long.
// clang-format off
#define RYN_DRIVER_TEXTS(X) \
    X(CACHE_DIR_NOT_OWNED, "Cache directory is owned by another user") \
    X(NO_WORKING_DIR, "Can't get current working directory") \
    X(DEPENDENCY_HAS_NEWLINE, "A library loaded by %s has a newline in its path") \
    X(DEPENDENCY_TRACE, "DEPLEVEL %d %s") \
    X(NO_ENGINE_VERSION, "Cannot get morphel version") \
    X(ENGINE_VERSION_CHANGED, "Reinstrumenting because morphel version has changed: Cached: %s \nThis morphel: %s\n") \
    X(CANNOT_OPEN_TARGET, "Cannot open target %s") \
    X(STAMP_OPEN_FAILED, "File open failed\n") \
    X(STAMP_READ_FAILED, "fgets failed\n") \
    X(NO_BINARY_NAME, "Error computing binary name") \
    X(INSTRDATA_OPTION_IGNORED, "-I flag ignored, QVEN_RYN_INSTRDATA_DIR set.") \
    X(NOT_A_SHARED_OBJECT, "File not a shared object: %s") \
    X(SAME_REPORT_FILES, "-H html_file and -w txt_file cannot be the same file") \
    X(NO_MEMVEX_LIBRARY, "Cannot find memvex library %s") \
    X(NO_AUDIT_LIBRARY, "Cannot find audit library %s") \
    X(CANNOT_KEEP_ORIGINAL, "Cannot keep the original of %s") \
    X(INSTRUMENTING_TARGET, "Instrumenting target %s") \
    X(INSTRUMENTED_TARGET, "Instrumentation of %s succeeded. Will%s replace.") \
    X(USING_CACHED_COPY, "No need to instrument %s, using cached copy\n") \
    X(DIGEST_FROM_IDENTITY, "Checksum of %s taken from its identity record") \
    X(NO_AUDIT_VERSION_PIPE, "Trouble opening audit version pipe") \
    X(NO_AUDIT_VERSION, "Cannot get link auditor version using command %s returned %d") \
    X(AUDIT_VERSION, "Link Auditor Version=%d") \
    X(H_NEEDS_FILE, "-H option has changed: it now requires a filename argument") \
    X(NO_TARGET, "No input target specified") \
    X(GROUP_OPTION_LATE, "-g group option should have alreadybeen processed.") \
    X(INVALID_OPTION, "Invalid option: %s") \
    X(CANNOT_OPEN_REDIRECT, "Cannot open redirect file %s") \
    X(DUP_FAILED, "Problem duplicating file descriptors\n") \
    X(NO_ANALYSIS_OPTIONS, "No valid analysis options") \
    X(RYNINFO_VALUE_HAS_NEWLINE, "Cannot pass a value with a newline to the engine: %s") \
    X(CANNOT_OPEN_RYNINFO, "Cannot open temporary file for ryn info ") \
    X(CREATING_TEMP_FILE, "Creating tempfile: %s\n") \
    X(UNUSABLE_LIBRARY, "Unable to instrument library. Reinstrument using the option \"-N %s\" to exclude this library from the analysis.") \
    X(CANNOT_INSTRUMENT, "Cannot instrument %s%s%s") \
    X(BECAUSE_OF_DEPENDENCIES, " because dependencies cannot be instrumented.") \
    X(IGNORE_DEPENDENCIES_HINT, " Use -s flag to ignore all dependencies.") \
    X(NOT_ANALYZING, "Not analyzing %s, no instrdata is found") \
    X(POPEN_FAILED, "Problems with popen/pclose") \
    X(GETRLIMIT_FAILED, "error calling getrlimit()") \
    X(SETRLIMIT_FAILED, "error calling setrlimit()") \
    X(TOOL_FAILED, "%s failed on %s: %s") \
    X(BAD_ELF_FILE, "Error reading elf file %s\n") \
    X(ELF_STILL_OPEN, "Elf activations still open") \
    X(CANNOT_OPEN_FILE_LIST, "Trouble opening file list %s\n") \
    X(CANNOT_READ_FILE_LIST, "Trouble reading file list %s\n") \
    X(CANNOT_REPLACE, "Cannot replace %s with %s") \
    X(CANNOT_RESOLVE_PATH, "cannot resolve pathname %s") \
    X(REPLACEMENT_RECOVERED, "%s was left replaced by a run that was killed; its original is back") \
    X(NO_HOSTNAME, "gethostname() failed. Continuing without hostname..") \
    X(CANNOT_OPEN_RC_TEMP, "Cannot open temporary file for writing rc data \n") \
    X(RC_LINE_TOO_LONG, "   Line too long -- out of memory; exiting\n") \
    X(RC_FILE_READ, "Processed %s for default settings") \
    X(RC_UNKNOWN_COMMAND, "Unrecognized command in %s on line %d: %.64s\n") \
    X(RC_UNKNOWN_VARIABLE, "Unrecognized Variable in %s on line %d: %.64s\n") \
    X(STRIPPED_BINARY, "Cannot instrument stripped binary: %s") \
    X(PREPARED_BINARY, "Prepared binary %s") \
    X(PATH_HAS_NEWLINE, "File name contains a newline: %s") \
    X(CHECK_FILE_NOT_REGULAR, "Check file is not a regular file: %s")
// clang-format on

enum class DriverText : int {
#define RYN_TEXT_NAME(name, text) name,
    RYN_DRIVER_TEXTS(RYN_TEXT_NAME)
#undef RYN_TEXT_NAME
        COUNT
};

inline constexpr const char* k_driver_texts[] = {
#define RYN_TEXT_ROW(name, text) text,
    RYN_DRIVER_TEXTS(RYN_TEXT_ROW)
#undef RYN_TEXT_ROW
};
static_assert(std::size(k_driver_texts) == static_cast<std::size_t>(DriverText::COUNT));

// A constant expression, so the compiler still checks the format against the
// arguments at each call site.
constexpr const char* driver_text(DriverText text) {
    return k_driver_texts[static_cast<int>(text)];
}

}  // namespace ryn
