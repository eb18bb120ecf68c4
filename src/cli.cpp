#include "cli.hpp"

#include <algorithm>
#include <iterator>
#include <optional>
#include <utility>
#include <string_view>

#include <CLI/CLI.hpp>

namespace velk {
namespace {

// The command: its name (the program name when the process gives none) and
// about text.
constexpr const char* kCommandName = "velk-vm";
constexpr const char* kAbout = "VELK bytecode virtual machine";

struct OptionSpec {
    const char* id;          // the long name without "--"
    const char* short_name;  // "-i", or null
    const char* value_name;
    const char* help;
    bool required;
    void (*store)(Args&, std::string value);
};

// The options in the order of the help screen and of Args. Everything the parser,
// the help screen and the usage line know of an option comes from here.
constexpr OptionSpec kOptions[] = {
    {"input", "-i", "INPUT", "Input VELK file", true,
     [](Args& a, std::string v) { a.input = std::move(v); }},
    {"config", "-c", "CONFIG", "Config TOML file", true,
     [](Args& a, std::string v) { a.config = std::move(v); }},
    {"output", "-o", "OUTPUT", "Output directory", true,
     [](Args& a, std::string v) { a.output = std::move(v); }},
    {"vars", nullptr, "VARS", "Variable values JSON file (optional)", false,
     [](Args& a, std::string v) { a.vars = std::move(v); }},
};
constexpr std::size_t kOptionCount = std::size(kOptions);

// The help option the parser adds.
constexpr const char* kHelpNames = "-h,--help";
constexpr const char* kHelpText = "Print help";

// "-i,--input" as the parser names an option.
std::string parser_names(const OptionSpec& option) {
    const std::string long_name = std::string("--") + option.id;
    return option.short_name ? std::string(option.short_name) + "," + long_name : long_name;
}

std::string program_name(const std::vector<std::string>& argv) {
    if (argv.empty() || argv[0].empty()) return kCommandName;
    return std::filesystem::path(argv[0]).filename().string();
}

// "--input <INPUT>"
std::string with_value(const OptionSpec& option) {
    return std::string("--") + option.id + " <" + option.value_name + ">";
}

std::string usage_line(const std::string& program) {
    std::string line = "Usage: " + program + " [OPTIONS]";
    for (const OptionSpec& option : kOptions) {
        if (option.required) line += " " + with_value(option);
    }
    return line;
}

// One line of the help screen: the names (the short one, or room for it) padded
// to one column, then the help text.
std::string help_line(const char* short_name, const std::string& rest, const char* help) {
    constexpr std::size_t kNameColumn = 23;
    std::string names = short_name ? std::string(short_name) + ", " + rest : "    " + rest;
    names.resize(std::max(names.size(), kNameColumn), ' ');
    return "  " + names + help + "\n";
}

std::string help_text(const std::string& program) {
    std::string text = std::string(kAbout) + "\n\n" + usage_line(program) + "\n\nOptions:\n";
    for (const OptionSpec& option : kOptions)
        text += help_line(option.short_name, with_value(option), option.help);
    text += help_line("-h", "--help", kHelpText);
    return text;
}

CliExit usage_error(const std::string& program, const std::string& message) {
    return CliExit{"error: " + message + "\n\n" + usage_line(program) +
                       "\n\nFor more information, try '--help'.\n",
                   false, kExitUsage};
}

// Whether `c` is the letter of an option's short name.
bool has_short_option(char c) {
    for (const OptionSpec& option : kOptions) {
        if (option.short_name && option.short_name[1] == c) return true;
    }
    return false;
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
                has_short_option(a[1])) {
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
            const std::string names = parser_names(option);
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

    std::string values[kOptionCount];
    CLI::App app{kAbout, program};
    app.set_help_flag(kHelpNames, kHelpText);
    for (std::size_t k = 0; k < kOptionCount; ++k) {
        app.add_option(parser_names(kOptions[k]), values[k], kOptions[k].help)
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
    for (const OptionSpec& option : kOptions) {
        if (option.required && app.count(std::string("--") + option.id) == 0) {
            missing += "\n  " + with_value(option);
        }
    }
    if (!missing.empty()) {
        return usage_error(program, "the following required arguments were not provided:" + missing);
    }

    Args parsed;
    for (std::size_t k = 0; k < kOptionCount; ++k) {
        if (app.count(std::string("--") + kOptions[k].id) > 0)
            kOptions[k].store(parsed, std::move(values[k]));
    }
    return parsed;
}

}  // namespace velk
