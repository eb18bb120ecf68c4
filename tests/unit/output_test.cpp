// The per-channel output files: <channel>.f64 and <channel>.json.
#include "output.hpp"
#include "reference_render.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <limits>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "json.hpp"

namespace velk {
namespace {

namespace fs = std::filesystem;

class OutputTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "velk_output_test.XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    static std::string read_file(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    static CaptureRecord capture(double time, int idx) {
        return CaptureRecord{"capture", Json{{"idx", idx}, {"qubit", "Q1"}}, time};
    }

    // Hands out `samples` in pieces of at most `piece` samples.
    static SampleChunks chunks(std::vector<double> samples,
                               std::size_t piece = std::numeric_limits<std::size_t>::max()) {
        std::size_t at = 0;
        return [samples = std::move(samples), piece, at]() mutable {
            const std::size_t n = std::min(piece, samples.size() - at);
            const std::span<const double> chunk(samples.data() + at, n);
            at += n;
            return chunk;
        };
    }

    fs::path dir_;
};

TEST_F(OutputTest, OneSampleAndEmptyDescription) {
    Module module;
    std::ostringstream out;
    auto written = write_channel_outputs(dir_, "ch", module, {}, chunks({1.0}), out);
    ASSERT_TRUE(written.has_value()) << written.error().debug();
    EXPECT_EQ(read_file(dir_ / "ch.f64"), std::string("\x00\x00\x00\x00\x00\x00\xF0\x3F", 8));
    EXPECT_EQ(read_file(dir_ / "ch.json"), "{}");
    EXPECT_EQ(out.str(), "\tWritten: " + (dir_ / "ch.f64").string() + "\n\tWritten: " +
                             (dir_ / "ch.json").string() + "\n");
}

TEST_F(OutputTest, SampleBitsUnchanged) {
    const std::vector<std::uint64_t> bits = {
        0x0000000000000000u,  // 0.0
        0x8000000000000000u,  // -0.0
        0x7FF0000000000000u,  // +inf
        0xFFF0000000000000u,  // -inf
        0x7FF8000000000123u,  // quiet NaN with a payload
        0x7FF4000000000001u,  // signalling NaN
        0x0000000000000001u,  // smallest subnormal
        0x400921FB54442D18u,  // pi
    };
    std::vector<double> samples;
    std::string expected;
    for (auto b : bits) {
        samples.push_back(std::bit_cast<double>(b));
        for (int i = 0; i < 8; ++i) expected.push_back(static_cast<char>(b >> (8 * i)));
    }
    std::ostringstream out;
    ASSERT_TRUE(write_channel_outputs(dir_, "bits", Module{}, {}, chunks(samples, 3), out).has_value());
    EXPECT_EQ(read_file(dir_ / "bits.f64"), expected);
}

TEST_F(OutputTest, MemberOrderAndLayout) {
    Module module;
    module.settings["sos"] = Json::array({Json::array({1.0, 0.0})});
    module.settings["amp"] = 2.0;
    module.settings["n"] = 2;
    std::ostringstream out;
    ASSERT_TRUE(write_channel_outputs(dir_, "q0", module, {capture(1e-6, 3)}, chunks({0.0, 0.5}),
                                      out)
                    .has_value());
    EXPECT_EQ(read_file(dir_ / "q0.json"),
              "{\n"
              "  \"amp\": 2.0,\n"
              "  \"captures\": [\n"
              "    [\n"
              "      1e-6,\n"
              "      [\n"
              "        \"capture\",\n"
              "        {\n"
              "          \"idx\": 3,\n"
              "          \"qubit\": \"Q1\"\n"
              "        }\n"
              "      ]\n"
              "    ]\n"
              "  ],\n"
              "  \"n\": 2,\n"
              "  \"sos\": [\n"
              "    [\n"
              "      1.0,\n"
              "      0.0\n"
              "    ]\n"
              "  ]\n"
              "}");
}

TEST_F(OutputTest, DescriptionCaptures) {
    Module module;
    module.settings["captures"] = "setting";
    module.settings["text"] = "a\tb\x01/\xc3\xa9";

    // Without captures the setting named "captures" stays.
    Json plain = channel_description(module, {});
    EXPECT_EQ(plain, (Json{{"captures", "setting"}, {"text", "a\tb\x01/\xc3\xa9"}}));
    EXPECT_EQ(write_pretty_json(plain),
              "{\n  \"captures\": \"setting\",\n  \"text\": \"a\\tb\\u0001/\xc3\xa9\"\n}");

    // With captures it is replaced; non-finite times become null; order is kept.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<CaptureRecord> records = {capture(0.0, 1), capture(2.5, 2), capture(inf, 3),
                                                capture(nan, 4)};
    Json d = channel_description(module, records);
    const Json& captures = d["captures"];
    ASSERT_TRUE(captures.is_array());
    ASSERT_EQ(captures.size(), 4u);
    EXPECT_TRUE(captures[0][0].is_number_float());
    EXPECT_EQ(captures[0][0].get<double>(), 0.0);
    EXPECT_EQ(captures[1][0].get<double>(), 2.5);
    EXPECT_TRUE(captures[2][0].is_null());
    EXPECT_TRUE(captures[3][0].is_null());
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(captures[i][1][0], "capture");
        EXPECT_EQ(captures[i][1][1]["idx"], i + 1);
    }
    EXPECT_EQ(write_pretty_json(captures[3]),
              "[\n  null,\n  [\n    \"capture\",\n    {\n      \"idx\": 4,\n      \"qubit\": \"Q1\"\n    }\n  ]\n]");
    EXPECT_EQ(write_pretty_json(captures[0][0]), "0.0");
}

TEST_F(OutputTest, MissingSubdirectoryWritesNothing) {
    Module module;
    module.settings["amp"] = 1.0;
    std::ostringstream out;
    auto written = write_channel_outputs(dir_, "nosuch/ch", module, {}, chunks({1.0}), out);
    ASSERT_FALSE(written.has_value());
    ASSERT_EQ(written.error().kind(), RunError::Kind::Io);
    EXPECT_EQ(written.error().io()->code, ENOENT);
    EXPECT_EQ(written.error().io()->kind, "NotFound");
    EXPECT_EQ(out.str(), "");
    EXPECT_FALSE(fs::exists(dir_ / "nosuch"));
    EXPECT_TRUE(fs::is_empty(dir_));
}

TEST_F(OutputTest, ChannelNameWithSeparatorUsesSubdirectory) {
    fs::create_directory(dir_ / "sub");
    std::ostringstream out;
    ASSERT_TRUE(write_channel_outputs(dir_, "sub/ch", Module{}, {}, chunks({1.0}), out));
    EXPECT_EQ(read_file(dir_ / "sub" / "ch.json"), "{}");
    EXPECT_EQ(read_file(dir_ / "sub" / "ch.f64").size(), 8u);
}

TEST_F(OutputTest, DescriptionWriteFailureKeepsSampleFile) {
    fs::create_directory(dir_ / "ch.json");  // cannot be opened for writing
    std::ostringstream out;
    auto written = write_channel_outputs(dir_, "ch", Module{}, {}, chunks({1.0}), out);
    ASSERT_FALSE(written.has_value());
    ASSERT_EQ(written.error().kind(), RunError::Kind::Io);
    EXPECT_EQ(written.error().io()->code, EISDIR);
    EXPECT_EQ(out.str(), "\tWritten: " + (dir_ / "ch.f64").string() + "\n");
    EXPECT_EQ(read_file(dir_ / "ch.f64").size(), 8u);
}

TEST_F(OutputTest, OverwritesAndTruncates) {
    {
        std::ofstream old(dir_ / "ch.f64", std::ios::binary);
        old << std::string(100, 'x');
        std::ofstream old_json(dir_ / "ch.json", std::ios::binary);
        old_json << std::string(100, 'y');
    }
    std::ostringstream out;
    ASSERT_TRUE(write_channel_outputs(dir_, "ch", Module{}, {}, chunks({1.0}), out));
    EXPECT_EQ(read_file(dir_ / "ch.f64").size(), 8u);
    EXPECT_EQ(read_file(dir_ / "ch.json"), "{}");
}

TEST_F(OutputTest, OutputPathWithTrailingSeparator) {
    std::ostringstream out;
    const fs::path with_slash = dir_.string() + "/";
    ASSERT_TRUE(write_channel_outputs(with_slash, "c", Module{}, {}, chunks({1.0}), out));
    EXPECT_EQ(out.str(), "\tWritten: " + dir_.string() + "/c.f64\n\tWritten: " + dir_.string() +
                             "/c.json\n");
}

TEST_F(OutputTest, ManySamples) {
    std::vector<double> samples;
    for (int i = 0; i < 100000; ++i) samples.push_back(i * 0.25);
    std::ostringstream out;
    ASSERT_TRUE(write_channel_outputs(dir_, "big", Module{}, {}, chunks(samples, 4096), out));
    const std::string bytes = read_file(dir_ / "big.f64");
    ASSERT_EQ(bytes.size(), 800000u);
    double last = 0;
    std::memcpy(&last, bytes.data() + 8 * 99999, 8);
    EXPECT_EQ(last, 99999 * 0.25);
}

// Channel names whose files would land outside the output directory are
// refused by name; separators that stay inside are kept.
TEST(ChannelFileName, StaysInsideTheOutputDirectory) {
    const struct {
        const char* channel;
        bool inside;
    } cases[] = {
        {"ch0", true},         {"", true},            {"a/b", true},
        {"a/../b", true},      {"./a", true},         {"..", true},  // "...f64"
        {"a//..//b", true},    {"a/b/../../c", true}, {"..x", true},
        {"/tmp/x", false},     {"//x", false},        {"../x", false},
        {"a/../../x", false},  {"./../x", false},     {"a/./../../x", false},
        {"../", false},        {"a/b/../../../x", false},
    };
    for (const auto& c : cases) {
        const auto checked = check_channel_file_name(c.channel);
        EXPECT_EQ(checked.has_value(), c.inside) << c.channel;
        if (!checked) {
            EXPECT_EQ(checked.error().debug(),
                      "\"Channel '" + std::string(c.channel) +
                          "' would write its files outside the output directory\"");
        }
    }
}

TEST_F(OutputTest, WriteFailureIsAnIoErrorAndPrintsNothing) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    fs::create_symlink("/dev/full", dir_ / "ch.f64");  // every write fails with ENOSPC
    std::ostringstream out;
    auto written = write_channel_outputs(dir_, "ch", Module{}, {}, chunks({1.0, 2.0, 3.0}, 1), out);
    ASSERT_FALSE(written.has_value());
    ASSERT_EQ(written.error().kind(), RunError::Kind::Io);
    EXPECT_EQ(written.error().io()->code, ENOSPC);
    EXPECT_EQ(out.str(), "");
    EXPECT_FALSE(fs::exists(dir_ / "ch.json"));
}

// Every I/O error of an output file carries the file's path.
TEST_F(OutputTest, IoErrorsNameTheirFile) {
    const struct {
        const char* what;
        const char* channel;
        const char* directory;  // made in the output directory first, or nullptr
        int code;
        const char* path;       // relative to the output directory
        const char* printed;    // the files whose line was printed
    } cases[] = {
        {"missing subdirectory", "nosuch/ch", nullptr, ENOENT, "nosuch/ch.f64", ""},
        {"samples onto a directory", "ch", "ch.f64", EISDIR, "ch.f64", ""},
        {"description onto a directory", "ch", "ch.json", EISDIR, "ch.json", "ch.f64"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(dir_);
        fs::create_directory(dir_);
        if (c.directory) fs::create_directory(dir_ / c.directory);
        std::ostringstream out;
        auto written = write_channel_outputs(dir_, c.channel, Module{}, {}, chunks({1.0}), out);
        ASSERT_FALSE(written.has_value());
        const std::string path = (dir_ / c.path).string();
        EXPECT_EQ(written.error().debug(),
                  IoError::from_errno(c.code).with_path(dir_ / c.path).debug());
        EXPECT_EQ(written.error().io()->path, path);
        const std::string printed = *c.printed ? "\tWritten: " + (dir_ / c.printed).string() + "\n"
                                               : std::string();
        EXPECT_EQ(out.str(), printed);
    }
}

// The output directory is made level by level; a failure names the level that
// could not be made.
TEST_F(OutputTest, OutputDirectoryFailureNamesTheLevel) {
    std::ofstream(dir_ / "file") << "x";
    fs::create_directory(dir_ / "dir");
    const struct {
        const char* output;
        int code;           // 0: made
        const char* path;   // the level named by the error
    } cases[] = {
        {"dir", 0, ""},
        {"dir/", 0, ""},
        {"new/a/b", 0, ""},
        {"new/a/b", 0, ""},  // all of it exists now
        {"dir/../new/c", 0, ""},
        {"file", EEXIST, "file"},
        {"file/", EEXIST, "file"},
        {"file/sub", ENOTDIR, "file/sub"},
        {"file/sub/deeper", ENOTDIR, "file/sub"},
        {"dir/file2/../x", 0, ""},  // "dir/file2" is made on the way
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.output);
        auto made = create_output_directory(dir_ / c.output);
        if (c.code == 0) {
            ASSERT_TRUE(made.has_value()) << made.error().debug();
            EXPECT_TRUE(fs::is_directory(dir_ / c.output));
            continue;
        }
        ASSERT_FALSE(made.has_value());
        EXPECT_EQ(made.error().debug(),
                  IoError::from_errno(c.code).with_path(dir_ / c.path).debug());
    }
    EXPECT_TRUE(fs::is_directory(dir_ / "dir/file2"));
}

// A stream buffer whose every write fails the way a write(2) does: errno set.
class FailingBuffer : public std::streambuf {
public:
    explicit FailingBuffer(int err) : err_(err) {}

protected:
    int_type overflow(int_type) override {
        errno = err_;
        return traits_type::eof();
    }
    std::streamsize xsputn(const char*, std::streamsize) override {
        errno = err_;
        return 0;
    }

private:
    int err_;
};

TEST(ProgressLine, IsWrittenOutOrIsAnError) {
    std::ostringstream good;
    ASSERT_TRUE(print_progress_line(good, "\tWritten: a"));
    ASSERT_TRUE(print_progress_line(good, "b"));
    EXPECT_EQ(good.str(), "\tWritten: a\nb\n");

    FailingBuffer gone(EPIPE);
    std::ostream pipe(&gone);
    auto failed = print_progress_line(pipe, "x");
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error().debug(),
              "\"Failed to write standard output: Broken pipe (os error 32)\"");

    // A stream that gives no reason is an I/O error.
    std::ostream nowhere(nullptr);
    failed = print_progress_line(nowhere, "x");
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error().debug(),
              "\"Failed to write standard output: Input/output error (os error 5)\"");
}

// A failed progress line ends the channel: its file stays, the next is not made.
TEST_F(OutputTest, FailedProgressLineStopsTheChannel) {
    FailingBuffer full(ENOSPC);
    std::ostream out(&full);
    auto written = write_channel_outputs(dir_, "ch", Module{}, {}, chunks({1.0}), out);
    ASSERT_FALSE(written.has_value());
    EXPECT_EQ(written.error().debug(),
              "\"Failed to write standard output: No space left on device (os error 28)\"");
    EXPECT_EQ(read_file(dir_ / "ch.f64").size(), 8u);
    EXPECT_FALSE(fs::exists(dir_ / "ch.json"));
}

// A channel run is written as its renderer hands out the chunks: the chunk size
// changes nothing in either file.
TEST_F(OutputTest, ChannelRunFilesDoNotDependOnTheChunkSize) {
    static const std::vector<Complex> wave = {{0.5, 0.25}, {-1.0, 0.5}, {0.75, -0.5}};
    Module module;
    module.settings["sos"] = Json::parse("[[0.2, 0.3, 0.1, 1, -0.5, 0.2]]");
    ChannelResult result;
    result.signal.sample_rate = 1.0;
    result.signal.length = 11;
    result.signal.settings = sample_settings(module.settings, true);
    for (double t0 : {0.0, 2.0, 3.0, 8.0}) {
        result.signal.pulses.push_back(Pulse{ComplexSamples{wave, 2.0}, t0, 0.1, 0.2, 0.01});
    }
    result.captures = {capture(1e-6, 3)};
    std::string first_samples, first_description;
    for (std::size_t chunk : {std::size_t{1}, std::size_t{4}, kChunkSamples}) {
        std::ostringstream out;
        ASSERT_TRUE(write_channel_outputs(dir_, "ch", module, result, out, chunk));
        const std::string samples = read_file(dir_ / "ch.f64");
        const std::string description = read_file(dir_ / "ch.json");
        EXPECT_EQ(samples.size(), 88u);
        if (first_samples.empty()) {
            first_samples = samples;
            first_description = description;
        }
        EXPECT_EQ(samples, first_samples) << chunk;
        EXPECT_EQ(description, first_description) << chunk;
        EXPECT_EQ(out.str(), "\tWritten: " + (dir_ / "ch.f64").string() + "\n\tWritten: " +
                                 (dir_ / "ch.json").string() + "\n");
    }
    const std::vector<double> rendered = render_all(result.signal, kChunkSamples);
    EXPECT_EQ(first_samples, std::string(reinterpret_cast<const char*>(rendered.data()), 88));
}

}  // namespace
}  // namespace velk
