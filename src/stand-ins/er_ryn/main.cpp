// Stand-in for the experiment tool: it checks the command line the driver
// builds and records it in the experiment directory.
#include <iostream>
#include <string>
#include <vector>

#include "experiment_command.h"
#include "experiment_record.h"

int main(int argc, char** argv) {
    constexpr int k_exit_failure = 2;
    try {
        const std::vector<std::string> args(argv + 1, argv + argc);
        const er_ryn::ExperimentCommand command = er_ryn::parse_experiment_command(args);
        const std::string directory = er_ryn::create_experiment_directory(command.experiment_name);
        er_ryn::write_command_file(directory, args);
        return 0;
    } catch (const std::exception& error) {
        std::cerr << "er_ryn: error: " << error.what() << std::endl;
        return k_exit_failure;
    }
}
