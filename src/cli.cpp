#include "cli.hpp"

#include <optional>
#include <string_view>

#include <CLI/CLI.hpp>

namespace velk {
namespace {

struct OptionSpec {
    const char* id;
    const char* names;
    const char* value_name;
    const char* help;
    bool required;
};

// The options in the order of the help screen and of Args.
constexpr OptionSpec kOptions[] = {
    {"input", "-i,--input", "INPUT", "Input VELK file", true},
    {"config", "-c,--config", "CONFIG", "Config TOML file", true},
    {"output", "-o,--output", "OUTPUT", "Output directory", true},
    {"vars", "--vars", "VARS", "Variable values JSON file (optional)", false},
};

std::string program_name(const std::vector<std::string>& argv) {
    if (argv.empty() || argv[0].empty()) return "velk-vm";
    return std::filesystem::path(argv[0]).filename().string();
}

std::string usage_line(const std::string& program) {
    return "Usage: " + program + " [OPTIONS] --input <INPUT> --config <CONFIG> --output <OUTPUT>";
}

std::string help_text(const std::string& program) {
    std::string text = "VELK bytecode virtual machine\n\n" + usage_line(program) + "\n\nOptions:\n";
    text += "  -i, --input <INPUT>    Input VELK file\n";
    text += "  -c, --config <CONFIG>  Config TOML file\n";
    text += "  -o, --output <OUTPUT>  Output directory\n";
    text += "      --vars <VARS>      Variable values JSON file (optional)\n";
    text += "  -h, --help             Print help\n";
    return text;
}

CliExit usage_error(const std::string& program, const std::string& message) {
    return CliExit{"error: " + message + "\n\n" + usage_line(program) +
                       "\n\nFor more information, try '--help'.\n",
                   false, kExitUsage};
}

// "-i=prog" means the value "prog", as "--input=prog" does; the parser library
// would keep the "=".
std::vector<std::string> normalise_short_equals(const std::vector<std::string>& argv) {
    std::vector<std::string> out;
    out.reserve(argv.size());
    bool options_done = false;
    for (std::size_t k = 0; k < argv.size(); ++k) {
        const std::string& a = argv[k];
        if (k > 0 && !options_done) {
            if (a == "--") options_done = true;
            if (a.size() >= 3 && a[0] == '-' && a[1] != '-' && a[2] == '=' &&
                (a[1] == 'i' || a[1] == 'c' || a[1] == 'o')) {
                out.push_back(std::string{'-', a[1]} + a.substr(3));
                continue;
            }
        }
        out.push_back(a);
    }
    return out;
}

// An option written as a word of its own takes the next word as its value only
// when that word does not start with '-' ("-" alone is a value): "-i -x.velk" is
// "-i" without its value, followed by an option "-x.velk". The parser library
// would take any next word as the value. The long name of the first option left
// without its value, if any; a help option met first leaves the verdict to the
// parser. Attached values ("--input=-x.velk", "-i-x.velk") are not looked at.
std::optional<std::string> option_without_value(const std::vector<std::string>& argv) {
    for (std::size_t k = 1; k < argv.size(); ++k) {
        const std::string& word = argv[k];
        if (word == "--" || word == "-h" || word == "--help") return std::nullopt;
        for (const OptionSpec& option : kOptions) {
            const std::string_view names = option.names;
            const bool bare = word.size() >= 2 && word[0] == '-' &&
                              (names == word || names.starts_with(word + ",") ||
                               names.ends_with("," + word));
            if (!bare) continue;
            if (k + 1 < argv.size()) {
                const std::string& next = argv[k + 1];
                if (next.size() > 1 && next[0] == '-') return std::string("--") + option.id;
            }
            ++k;  // its value
            break;
        }
    }
    return std::nullopt;
}

}  // namespace

std::variant<Args, CliExit> parse_command_line(const std::vector<std::string>& argv) {
    const std::string program = program_name(argv);

    std::string values[4];
    CLI::App app{"VELK bytecode virtual machine", program};
    app.set_help_flag("-h,--help", "Print help");
    for (std::size_t k = 0; k < 4; ++k) {
        app.add_option(kOptions[k].names, values[k], kOptions[k].help)
            ->option_text(kOptions[k].value_name)
            ->check([](const std::string& v) {
                return v.empty() ? std::string("a value is required but none was supplied")
                                 : std::string();
            });
    }

    std::vector<std::string> args = normalise_short_equals(argv);
    if (const auto option = option_without_value(args)) {
        return usage_error(program, *option + ": a value is required but none was supplied");
    }
    // The library takes the arguments in reverse order, program name excluded.
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    if (!reversed.empty()) reversed.pop_back();
    try {
        app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        return CliExit{help_text(program), true, kExitSuccess};
    } catch (const CLI::ParseError& e) {
        return usage_error(program, e.what());
    }

    std::string missing;
    for (std::size_t k = 0; k < 4; ++k) {
        if (kOptions[k].required && app.count(std::string("--") + kOptions[k].id) == 0) {
            missing += std::string("\n  --") + kOptions[k].id + " <" + kOptions[k].value_name + ">";
        }
    }
    if (!missing.empty()) {
        return usage_error(program, "the following required arguments were not provided:" + missing);
    }

    Args parsed;
    parsed.input = values[0];
    parsed.config = values[1];
    parsed.output = values[2];
    if (app.count("--vars") > 0) parsed.vars = values[3];
    return parsed;
}

}  // namespace velk
