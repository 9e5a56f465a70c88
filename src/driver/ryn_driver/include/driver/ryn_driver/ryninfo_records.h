// Record numbers of the run-information file: the driver writes them, the
// engine checks them and hands them on to the runtime, which reads them by
// number. The values are the file format.
#pragma once

#include <iterator>

namespace ryn {

enum RyninfoRecord : int {
    RYNINFO_COMPONENT = 1,  // the front end's component name
    RYNINFO_Z_COUNT = 2,    // number of -z options
    RYNINFO_EXEC_DIR = 3,
    RYNINFO_VERSION = 5,            // the version banner
    RYNINFO_L_OPTION = 6,           // 0 or 1
    RYNINFO_INSTRUMENT_RECORD = 7,  // the instrumentation options as one line
    RYNINFO_LITE_MODE = 8,
    RYNINFO_CACHE_TOP = 9,
    RYNINFO_MEMVEX_S_VALUE = 10,
    RYNINFO_IGNORABLE_LIB = 11,  // one record per library
    RYNINFO_MEMVEX_e_VALUE = 12,
    RYNINFO_MEMVEX_E_VALUE = 14,
    RYNINFO_MEMVEX_M_FLAG = 16,
    RYNINFO_TEXT_REPORT = 17,
    RYNINFO_MEMVEX_F_FLAG = 18,
    RYNINFO_LIBLOG = 19,
    RYNINFO_MEMVEX_C_FLAG = 20,
    RYNINFO_MAIN_TARGET = 21,
    RYNINFO_MEMVEX_U_FLAG = 22,
    RYNINFO_HTML_REPORT = 23,
    RYNINFO_CXX_RUNTIME = 24,  // 0 or 1
    RYNINFO_FILTERS = 25,
    RYNINFO_MEMVEX_B_VALUE = 27,
    RYNINFO_ANALYZER_DIR = 29,
    RYNINFO_FORK_MODE = 33,  // "parent", "child" or "both"
};

inline constexpr RyninfoRecord k_ryninfo_records[] = {
    RYNINFO_COMPONENT,     RYNINFO_Z_COUNT,        RYNINFO_EXEC_DIR,
    RYNINFO_VERSION,       RYNINFO_L_OPTION,       RYNINFO_INSTRUMENT_RECORD,
    RYNINFO_LITE_MODE,     RYNINFO_CACHE_TOP,      RYNINFO_MEMVEX_S_VALUE,
    RYNINFO_IGNORABLE_LIB, RYNINFO_MEMVEX_e_VALUE, RYNINFO_MEMVEX_E_VALUE,
    RYNINFO_MEMVEX_M_FLAG, RYNINFO_TEXT_REPORT,    RYNINFO_MEMVEX_F_FLAG,
    RYNINFO_LIBLOG,        RYNINFO_MEMVEX_C_FLAG,  RYNINFO_MAIN_TARGET,
    RYNINFO_MEMVEX_U_FLAG, RYNINFO_HTML_REPORT,    RYNINFO_CXX_RUNTIME,
    RYNINFO_FILTERS,       RYNINFO_MEMVEX_B_VALUE, RYNINFO_ANALYZER_DIR,
    RYNINFO_FORK_MODE,
};
static_assert(std::size(k_ryninfo_records) == 25);

}  // namespace ryn
