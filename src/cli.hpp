// The command line of velk_vm.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace velk {

struct Args {
    std::filesystem::path input;
    std::filesystem::path config;
    std::filesystem::path output;
    std::optional<std::filesystem::path> vars;
};

// Exit statuses of the process.
enum ExitStatus : int {
    kExitSuccess = 0,
    kExitRunError = 1,
    kExitUsage = 2,
};

// The parser's verdict when it ends the process itself: the text to print, the
// stream (standard output for help, standard error for usage errors) and the
// status.
struct CliExit {
    std::string text;
    bool to_stdout = false;
    int status = kExitUsage;
};

// Parses the process arguments (argv[0] included); the program name in usage
// lines is the final component of argv[0].
std::variant<Args, CliExit> parse_command_line(const std::vector<std::string>& argv);

}  // namespace velk
