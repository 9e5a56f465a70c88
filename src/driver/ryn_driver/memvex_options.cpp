// The memory checker's command line: single-letter options scanned with
// getopt, then exactly one operand, the program to check.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "driver/ryn_driver/option_errors.h"
#include "driver/ryn_driver/phases.h"
#include "driver/ryn_util/kept_originals.h"
#include "driver/ryn_util/run_ending.h"
#include "i18n/driver_texts.h"
#include "ryn/exec_util.h"
#include "ryn/ryn_driver.h"

namespace ryn {

namespace {

// The leading '+' keeps glibc from permuting: scanning stops at the first
// operand, so options after the program are operands too.
constexpr const char* k_memvex_optstring = "+?aD:H:KLN:TtVW:Y:hklno:svw:S:b:E:e:mfi:F:c:n";

constexpr const char* k_analyzer_subdir = ".analyze/dynamic";

// What follows the two-character form ("i,", "o,", "d,") of a -W value.
std::string payload_of(const char* arg) { return bounded_option("", arg + 2); }

}  // namespace

void process_memvex_options(int argc, char** argv, RynOptions& opts, ToolArgs& tools,
                            InstallLocations& loc, ExecUtil& util) {
    const char* name = loc.program_name ? loc.program_name->c_str() : argv[0];
    auto bad_w_option = [name]() {
        fprintf(stderr, "%s: Error in -W option: use -Wi,<morphel_arg> or -Wo,<morphel_arg>\n",
                name);
        ryn::end_run(1);
    };
    auto record = [&tools](const char* option, const char* arg = nullptr) {
        tools.instrument_record.add_arg(option);
        if (arg) {
            tools.instrument_record.add_arg(arg);
        }
    };

    // glibc restarts its scan (and forgets a half-scanned argument) only when
    // optind is 0.
    optind = 0;
    int c;
    while ((c = getopt(argc, argv, k_memvex_optstring)) != -1) {
        switch (c) {
        case '?':
        case 'h':
            // Unknown letters and missing arguments land here too, after
            // getopt's own diagnostic.
            usage_exit(loc, 0);
        case 'a': opts.memvex.analyzer_option = true; break;
        case 'D': opts.cache_dir = optarg; break;
        case 'H': opts.memvex.html_report = optarg; break;
        case 'K':
            opts.read_rc_files = false;
            record("-K");
            break;
        case 'L': opts.memvex.L_option = true; break;
        case 'N': opts.excluded_libraries.add_arg(optarg); break;
        case 'T': opts.follow_dependencies = false; break;
        case 't':
            opts.tell_mode = true;
            opts.follow_dependencies = false;
            opts.use_rc_library_lists = false;
            opts.replace_in_place = false;
            break;
        case 'V': printf("%s\n", ver_string ? ver_string : ""); ryn::end_run(0);
        case 'W': {
            const std::string_view form = std::string_view(optarg).substr(0, 2);
            if (form == "i," || form == "o,") {
                tools.engine_passthrough_args.add_arg(payload_of(optarg));
                record("-W", optarg);
                break;
            }
            if (form != "d,") {
                bad_w_option();
            }
            record("-W", optarg);
            const std::string sub = payload_of(optarg);
            const std::string_view s(sub);
            if (s == "-c") {
                opts.memvex.memvex_c_flag = true;
                opts.memvex.memvex_u_flag = false;
            } else if (s == "-u") {
                opts.memvex.memvex_u_flag = true;
                opts.memvex.memvex_c_flag = false;
            } else if (s.starts_with("-B")) {
                loc.audit_lib_dir = sub.substr(2);
            } else if (s.starts_with("-P")) {
                loc.memvex_lib_dir = sub.substr(2);
            } else if (s == "-z") {
                ++opts.z_count;
            } else if (s.starts_with("-a=")) {
                opts.memvex.analyzer_dir = sub.substr(3);
            } else {
                bad_w_option();
            }
            break;
        }
        case 'Y':
            if (strncmp(optarg, "o,", 2) != 0) {
                fprintf(stderr, "%s: Error in -Y option: use -Yo,<morphel_location>\n", name);
                ryn::end_run(1);
            }
            loc.morphel_dir = optarg + 2;
            record("-Y", optarg);
            break;
        case 'k':
            opts.k_option = true;
            record("-k");
            break;
        case 'l': opts.memvex.lite_mode = true; break;
        case 'n': opts.memvex.no_main_full_instr = true; break;
        case 'o':
            opts.output_file = optarg;
            opts.output_file_given = true;
            break;
        case 's':
            opts.skip_bad_libraries = true;
            record("-s");
            break;
        case 'v':
            if (opts.verbose) {
                opts.very_verbose = true;
            }
            opts.verbose = true;
            break;
        case 'w': opts.memvex.text_report = optarg; break;
        case 'S':
            opts.memvex.memvex_S_value = atoi(optarg);
            record("-S", optarg);
            break;
        case 'b':
            opts.memvex.memvex_b_value = optarg;
            record("-b", optarg);
            break;
        case 'E':
            opts.memvex.memvex_E_value = atoi(optarg);
            record("-E", optarg);
            break;
        case 'e':
            opts.memvex.memvex_e_value = atoi(optarg);
            record("-e", optarg);
            break;
        case 'm':
            opts.memvex.memvex_m_flag = true;
            record("-m");
            break;
        case 'f':
            opts.memvex.memvex_f_flag = true;
            record("-f");
            break;
        case 'i':
            if (strcmp(optarg, "datarace") == 0 || strcmp(optarg, "dataraces") == 0) {
                opts.memvex.data_race_mode = true;
            } else if (strcmp(optarg, "memcheck") != 0) {
                fputs("Error in -i flag. Use -i datarace\n", stderr);
                ryn::end_run(1);
            }
            record("-i", optarg);
            break;
        case 'F':
            if (strcmp(optarg, "parent") == 0) {
                opts.memvex.fork_mode = 0;
            } else if (strcmp(optarg, "child") == 0) {
                opts.memvex.fork_mode = 1;
            } else if (strcmp(optarg, "both") == 0) {
                opts.memvex.fork_mode = 2;
            } else {
                fputs("Error in -F flag. Usage -F parent|child|both\n", stderr);
                ryn::end_run(1);
            }
            record("-F", optarg);
            break;
        case 'c': {
            // Only a list file's lines may carry a ":check-file" part; on the
            // command line the library name is what is stored.
            const std::string spec(optarg, strcspn(optarg, ":"));
            if (spec == "-") {
                opts.memvex.check_all_libraries = true;
            } else {
                process_minus_c_flag(spec.c_str(), opts.memvex.memvex_check_list, util);
            }
            record("-c", optarg);
            break;
        }
        default: usage_exit(loc, 1);
        }
    }

    const int operands = argc - optind;
    const std::optional<std::string>& html = opts.memvex.html_report;
    if (html && ((html->size() > 1 && html->front() == '-') || operands != 1)) {
        usage(loc);
        util.fatal(0, "%s", driver_text(DriverText::H_NEEDS_FILE));
    }
    if (operands != 1) {
        usage(loc);
        util.fatal(0, "%s", driver_text(DriverText::NO_TARGET));
    }

    const std::string operand = argv[optind];
    const size_t colon = operand.find(':');
    if (colon != std::string::npos) {
        opts.check_file_spec = operand.substr(colon + 1);
    }
    opts.target_path = operand.substr(0, colon);
    // Without -o the program itself is written: a checker run killed while
    // doing so left its original beside it.
    ryn::recover_left_replacement(util, opts.target_path->c_str());

    if (!opts.memvex.analyzer_option) {
        return;
    }
    // -a: results go below the program's own ".analyze/dynamic", emptied of
    // what earlier runs left there.
    const std::string dynamic_dir =
        util.make_full_path(opts.target_path->c_str()) + k_analyzer_subdir;
    util.create_directory(dynamic_dir.c_str());
    opts.memvex.analyzer_dir = dynamic_dir + "/latest";
    // The "/*" stays outside the quotes so that the removal can never reach
    // beyond the directory itself.
    const std::string command = "rm -rf " + shell_quote(dynamic_dir) + "/*";
    const int status = system(command.c_str());
    (void)status;
}

}  // namespace ryn
