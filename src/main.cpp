// velk_vm: runs every configured channel's module of a VELK program and writes
// <channel>.f64 and <channel>.json per channel.
//
// The run is one straight line: command line, configuration, program, variable
// bindings, output directory, channels. The first failing step ends the run with
// its RunError, printed once as "Error: " + its debug form (status 1).

#include <csignal>
#include <iostream>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "binary.hpp"
#include "bindings.hpp"
#include "cli.hpp"
#include "config.hpp"
#include "expected.hpp"
#include "heap.hpp"
#include "output.hpp"
#include "run_error.hpp"
#include "text.hpp"
#include "vm.hpp"

namespace velk {
namespace {

Expected<void, RunError> run(const Args& args) {
    auto config = load_config(args.config);
    if (!config) return Unexpected(std::move(config).error());

    auto program = load_program_file(args.input);
    if (!program) return Unexpected(std::move(program).error());

    if (args.vars) {
        auto bound = bind_variables(*args.vars, program->variables);
        if (!bound) return Unexpected(std::move(bound).error());
        auto printed =
            print_progress_line(std::cout, "Loaded variable bindings from: " + path_text(*args.vars));
        if (!printed) return Unexpected(std::move(printed).error());
    }

    if (auto made = create_output_directory(args.output); !made) {
        return Unexpected(std::move(made).error());
    }

    for (const auto& [name, channel] : config->channels) {
        const auto found = program->modules.find(name);
        if (found == program->modules.end()) {
            // A warning that cannot be written does not end the run, nor keeps
            // the error line of a later failure from being tried.
            std::cerr << "Warning: channel '" << name << "' not found in VELK\n";
            std::cerr.clear();
            continue;
        }
        if (auto inside = check_channel_file_name(name); !inside) {
            return Unexpected(std::move(inside).error());
        }
        auto result = run_channel(found->second, channel, program->variables);
        if (!result) return Unexpected(std::move(result).error());
        auto written = write_channel_outputs(args.output, name, found->second, std::move(*result),
                                             std::cout);
        if (!written) return Unexpected(std::move(written).error());
    }
    return {};
}

}  // namespace
}  // namespace velk

int main(int argc, char** argv) {
    // Output failures come back as errors: a reader of standard output that has
    // gone is EPIPE, and a file-size limit is EFBIG on the write that reaches it.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    velk::configure_heap();
    std::vector<std::string> arguments(argv, argv + argc);
    auto parsed = velk::parse_command_line(arguments);
    if (auto* exit = std::get_if<velk::CliExit>(&parsed)) {
        (exit->to_stdout ? std::cout : std::cerr) << exit->text << std::flush;
        return exit->status;
    }

    const velk::Expected<void, velk::RunError> outcome = velk::unless_out_of_memory(
        [&] { return velk::run(std::get<velk::Args>(parsed)); },
        [] { return velk::Unexpected(velk::RunError::message("Out of memory")); });
    if (!outcome) {
        std::cout.flush();
        std::cerr << "Error: " << outcome.error().debug() << '\n' << std::flush;
        return velk::kExitRunError;
    }
    return velk::kExitSuccess;
}
