// The memory checker's command line: single-letter options scanned with
// getopt, then exactly one operand, the program to check.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "driver/ryn_driver/option_errors.h"
#include "driver/ryn_util/kept_originals.h"
#include "i18n/driver_texts.h"
#include "ryn/exec_util.h"
#include "ryn/ryn_driver.h"
#include "ryn/ryn_exec_util.h"

namespace {

// The leading '+' keeps glibc from permuting: scanning stops at the first
// operand, so options after the program are operands too.
constexpr const char* k_memvex_optstring = "+?aD:H:KLN:TtVW:Y:hklno:svw:S:b:E:e:mfi:F:c:n";

constexpr const char* k_analyzer_subdir = ".analyze/dynamic";

// What follows the two-character form ("i,", "o,", "d,") of a -W value.
std::string payload_of(const char* arg) {
    return bounded_option("", arg + 2);
}

}  // namespace

void RynDriver::process_memvex_options(int argc, char** argv) {
    const char* name = program_name ? program_name->c_str() : argv[0];
    auto bad_w_option = [name]() {
        fprintf(stderr, "%s: Error in -W option: use -Wi,<morphel_arg> or -Wo,<morphel_arg>\n",
                name);
        exit(1);
    };
    auto record = [this](const char* option, const char* arg = nullptr) {
        instrument_record.add_arg(option);
        if (arg) {
            instrument_record.add_arg(arg);
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
            usage_exit(0);
        case 'a':
            analyzer_option = true;
            break;
        case 'D':
            cache_dir = optarg;
            break;
        case 'H':
            html_report = optarg;
            break;
        case 'K':
            read_rc_files = false;
            record("-K");
            break;
        case 'L':
            L_option = true;
            break;
        case 'N':
            excluded_libraries.add_arg(optarg);
            break;
        case 'T':
            follow_dependencies = false;
            break;
        case 't':
            tell_mode = true;
            follow_dependencies = false;
            use_rc_library_lists = false;
            replace_in_place = false;
            break;
        case 'V':
            printf("%s\n", ver_string ? ver_string : "");
            exit(0);
        case 'W': {
            const std::string_view form = std::string_view(optarg).substr(0, 2);
            if (form == "i," || form == "o,") {
                engine_passthrough_args.add_arg(payload_of(optarg));
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
                memvex_c_flag = true;
                memvex_u_flag = false;
            } else if (s == "-u") {
                memvex_u_flag = true;
                memvex_c_flag = false;
            } else if (s.starts_with("-B")) {
                audit_lib_dir = sub.substr(2);
            } else if (s.starts_with("-P")) {
                memvex_lib_dir = sub.substr(2);
            } else if (s == "-z") {
                ++z_count;
            } else if (s.starts_with("-a=")) {
                analyzer_dir = sub.substr(3);
            } else {
                bad_w_option();
            }
            break;
        }
        case 'Y':
            if (strncmp(optarg, "o,", 2) != 0) {
                fprintf(stderr, "%s: Error in -Y option: use -Yo,<morphel_location>\n", name);
                exit(1);
            }
            morphel_dir = optarg + 2;
            record("-Y", optarg);
            break;
        case 'k':
            k_option = true;
            record("-k");
            break;
        case 'l':
            lite_mode = true;
            break;
        case 'n':
            no_main_full_instr = true;
            break;
        case 'o':
            output_file = optarg;
            break;
        case 's':
            skip_bad_libraries = true;
            record("-s");
            break;
        case 'v':
            if (verbose) {
                very_verbose = true;
            }
            verbose = true;
            break;
        case 'w':
            text_report = optarg;
            break;
        case 'S':
            memvex_S_value = atoi(optarg);
            record("-S", optarg);
            break;
        case 'b':
            memvex_b_value = optarg;
            record("-b", optarg);
            break;
        case 'E':
            memvex_E_value = atoi(optarg);
            record("-E", optarg);
            break;
        case 'e':
            memvex_e_value = atoi(optarg);
            record("-e", optarg);
            break;
        case 'm':
            memvex_m_flag = true;
            record("-m");
            break;
        case 'f':
            memvex_f_flag = true;
            record("-f");
            break;
        case 'i':
            if (strcmp(optarg, "datarace") == 0 || strcmp(optarg, "dataraces") == 0) {
                data_race_mode = true;
            } else if (strcmp(optarg, "memcheck") != 0) {
                fputs("Error in -i flag. Use -i datarace\n", stderr);
                exit(1);
            }
            record("-i", optarg);
            break;
        case 'F':
            if (strcmp(optarg, "parent") == 0) {
                fork_mode = 0;
            } else if (strcmp(optarg, "child") == 0) {
                fork_mode = 1;
            } else if (strcmp(optarg, "both") == 0) {
                fork_mode = 2;
            } else {
                fputs("Error in -F flag. Usage -F parent|child|both\n", stderr);
                exit(1);
            }
            record("-F", optarg);
            break;
        case 'c': {
            // Only a list file's lines may carry a ":check-file" part; on the
            // command line the library name is what is stored.
            const std::string spec(optarg, strcspn(optarg, ":"));
            if (spec == "-") {
                check_all_libraries = true;
            } else {
                process_minus_c_flag(spec.c_str());
            }
            record("-c", optarg);
            break;
        }
        default:
            usage_exit(1);
        }
    }

    const int operands = argc - optind;
    if (html_report && ((html_report->size() > 1 && html_report->front() == '-') || operands != 1)) {
        usage();
        util->fatal(0, "%s", driver_text(DriverText::H_NEEDS_FILE));
    }
    if (operands != 1) {
        usage();
        util->fatal(0, "%s", driver_text(DriverText::NO_TARGET));
    }

    const std::string operand = argv[optind];
    const size_t colon = operand.find(':');
    if (colon != std::string::npos) {
        check_file_spec = operand.substr(colon + 1);
    }
    target_path = operand.substr(0, colon);
    // Without -o the program itself is written: a checker run killed while
    // doing so left its original beside it.
    ryn::recover_left_replacement(*util, target_path->c_str());

    if (!analyzer_option) {
        return;
    }
    // -a: results go below the program's own ".analyze/dynamic", emptied of
    // what earlier runs left there.
    const std::string dynamic_dir = util->make_full_path(target_path->c_str()) + k_analyzer_subdir;
    util->create_directory(dynamic_dir.c_str());
    analyzer_dir = dynamic_dir + "/latest";
    // The "/*" stays outside the quotes so that the removal can never reach
    // beyond the directory itself.
    const std::string command = "rm -rf " + shell_quote(dynamic_dir) + "/*";
    const int status = system(command.c_str());
    (void)status;
}
