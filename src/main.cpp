// velk_vm: runs every configured channel's module of a VELK program and writes
// <channel>.f64 and <channel>.json per channel.
//
// The run is one straight line: command line, configuration, program, variable
// bindings, output directory, channels. The first failing step ends the run with
// its RunError, printed once as "Error: " + its debug form (status 1).

#include <cerrno>
#include <filesystem>
#include <iostream>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>
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

// Creates `dir` with every missing parent. An existing directory is accepted; a
// level that exists as something else is an error.
Expected<void, RunError> create_output_directory(const std::filesystem::path& dir) {
    std::error_code ec;
    const auto status = std::filesystem::status(dir, ec);
    if (std::filesystem::is_directory(status)) return {};
    if (std::filesystem::exists(status)) return Unexpected(RunError(IoError::from_errno(EEXIST)));
    std::filesystem::create_directories(dir, ec);
    if (ec) return Unexpected(RunError(IoError::from_errno(ec.value())));
    return {};
}

Expected<void, RunError> run(const Args& args) {
    auto config = load_config(args.config);
    if (!config) return Unexpected(std::move(config).error());

    auto program = load_program_file(args.input);
    if (!program) return Unexpected(std::move(program).error());

    if (args.vars) {
        auto bound = bind_variables(*args.vars, program->variables);
        if (!bound) return Unexpected(std::move(bound).error());
        std::cout << "Loaded variable bindings from: " << path_text(*args.vars) << '\n';
    }

    if (auto made = create_output_directory(args.output); !made) {
        return Unexpected(std::move(made).error());
    }

    for (const auto& [name, channel] : config->channels) {
        const auto found = program->modules.find(name);
        if (found == program->modules.end()) {
            std::cout.flush();
            std::cerr << "Warning: channel '" << name << "' not found in VELK\n";
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
