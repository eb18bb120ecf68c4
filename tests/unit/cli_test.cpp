#include <gtest/gtest.h>

#include "cli.hpp"

namespace velk {
namespace {

std::variant<Args, CliExit> parse(std::vector<std::string> args) {
    args.insert(args.begin(), "/usr/local/bin/velk_vm");
    return parse_command_line(args);
}

TEST(CommandLine, ValueFormsAllGiveTheSameInput) {
    const std::vector<std::vector<std::string>> forms = {
        {"-i", "prog.velk"}, {"--input=prog.velk"}, {"-iprog.velk"},
        {"-i=prog.velk"},    {"--input", "prog.velk"},
    };
    for (auto form : forms) {
        form.insert(form.end(), {"-c", "ch.toml", "-o", "out"});
        const auto result = parse(form);
        ASSERT_TRUE(std::holds_alternative<Args>(result)) << form[0];
        const auto& args = std::get<Args>(result);
        EXPECT_EQ(args.input, "prog.velk");
        EXPECT_EQ(args.config, "ch.toml");
        EXPECT_EQ(args.output, "out");
        EXPECT_FALSE(args.vars.has_value());
    }
}

TEST(CommandLine, OptionsInAnyOrderWithVars) {
    const auto result = parse({"--vars", "v.json", "-o", "out", "--config=c.toml", "-i", "p"});
    ASSERT_TRUE(std::holds_alternative<Args>(result));
    const auto& args = std::get<Args>(result);
    ASSERT_TRUE(args.vars.has_value());
    EXPECT_EQ(*args.vars, "v.json");
    EXPECT_EQ(args.input, "p");
}

TEST(CommandLine, HelpWinsOverMissingOptions) {
    for (const char* flag : {"-h", "--help"}) {
        const auto result = parse({flag});
        ASSERT_TRUE(std::holds_alternative<CliExit>(result));
        const auto& exit = std::get<CliExit>(result);
        EXPECT_EQ(exit.status, kExitSuccess);
        EXPECT_TRUE(exit.to_stdout);
        EXPECT_NE(exit.text.find("VELK bytecode virtual machine"), std::string::npos);
        EXPECT_NE(exit.text.find("Usage: velk_vm"), std::string::npos);
        for (const char* part : {"--input <INPUT>", "Input VELK file", "--config <CONFIG>",
                                 "Config TOML file", "--output <OUTPUT>", "Output directory",
                                 "--vars <VARS>", "Variable values JSON file (optional)"}) {
            EXPECT_NE(exit.text.find(part), std::string::npos) << part;
        }
    }
}

TEST(CommandLine, UsageErrorsExitTwoOnStandardError) {
    const std::vector<std::vector<std::string>> bad = {
        {},                                                      // nothing at all
        {"-i", "p", "-c", "c"},                                  // no output
        {"-i", "p", "-c", "c", "-o", "o", "-v"},                 // unknown short option
        {"-i", "p", "-c", "c", "-o", "o", "--version"},          // no version option
        {"-i", "p", "-c", "c", "-o"},                            // option without value
        {"-i", "", "-c", "c", "-o", "o"},                        // empty value
        {"--input=", "-c", "c", "-o", "o"},                      // empty attached value
        {"-i", "p", "--input", "q", "-c", "c", "-o", "o"},       // given twice
        {"-i", "p", "-c", "c", "-o", "o", "extra"},              // stray positional
    };
    for (const auto& args : bad) {
        const auto result = parse(args);
        ASSERT_TRUE(std::holds_alternative<CliExit>(result)) << testing::PrintToString(args);
        const auto& exit = std::get<CliExit>(result);
        EXPECT_EQ(exit.status, kExitUsage);
        EXPECT_FALSE(exit.to_stdout);
        EXPECT_NE(exit.text.find("try '--help'"), std::string::npos);
        EXPECT_NE(exit.text.find("Usage: velk_vm"), std::string::npos);
    }
}

TEST(CommandLine, MissingOptionsAreAllNamed) {
    const auto result = parse({});
    const auto& exit = std::get<CliExit>(result);
    for (const char* name : {"--input <INPUT>", "--config <CONFIG>", "--output <OUTPUT>"}) {
        EXPECT_NE(exit.text.find(name), std::string::npos) << name;
    }
    EXPECT_EQ(exit.text.find("--vars"), std::string::npos);
}

// A word that starts with '-' after an option is not its value ("-" alone is);
// a value attached to its option may start with '-'.
TEST(CommandLine, DashWordIsNotAnOptionValue) {
    const struct {
        std::vector<std::string> args;
        const char* missing;  // the option reported without value; null: accepted
    } cases[] = {
        {{"-i", "-x.velk", "-c", "c", "-o", "o"}, "--input"},
        {{"--input", "-x.velk", "-c", "c", "-o", "o"}, "--input"},
        {{"-i", "p", "-c", "--x", "-o", "o"}, "--config"},
        {{"-i", "p", "-c", "c", "-o", "-9"}, "--output"},
        {{"-i", "p", "-c", "c", "-o", "--", "o"}, "--output"},
        {{"-i", "p", "-c", "c", "-o", "o", "--vars", "-v"}, "--vars"},
        {{"-i", "-c", "c", "-o", "o"}, "--input"},
        {{"-i", "-", "-c", "c", "-o", "o"}, nullptr},
        {{"--input=-x.velk", "-c", "c", "-o", "o"}, nullptr},
        {{"-i-x.velk", "-c", "c", "-o", "o"}, nullptr},
        {{"-i=-x.velk", "-c", "c", "-o", "o"}, nullptr},
        {{"--vars=-v", "-i", "p", "-c", "c", "-o", "o"}, nullptr},
    };
    for (const auto& c : cases) {
        const auto result = parse(c.args);
        const std::string shown = testing::PrintToString(c.args);
        if (c.missing == nullptr) {
            EXPECT_TRUE(std::holds_alternative<Args>(result)) << shown;
            continue;
        }
        ASSERT_TRUE(std::holds_alternative<CliExit>(result)) << shown;
        const auto& exit = std::get<CliExit>(result);
        EXPECT_EQ(exit.status, kExitUsage) << shown;
        EXPECT_EQ(exit.text, "error: " + std::string(c.missing) +
                                 ": a value is required but none was supplied\n\n"
                                 "Usage: velk_vm [OPTIONS] --input <INPUT> --config <CONFIG> "
                                 "--output <OUTPUT>\n\nFor more information, try '--help'.\n")
            << shown;
    }
}

TEST(CommandLine, HelpBeforeADashWordStillWins) {
    const auto result = parse({"-h", "-i", "-x"});
    ASSERT_TRUE(std::holds_alternative<CliExit>(result));
    EXPECT_EQ(std::get<CliExit>(result).status, kExitSuccess);
}

}  // namespace
}  // namespace velk
