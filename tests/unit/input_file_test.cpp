// Input files read whole with a size limit: regular files, pipes, errors.
#include "input_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace velk {
namespace {

namespace fs = std::filesystem;

class InputFile : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "velk_input_test.XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path file(const std::string& name, const std::string& content) {
        const fs::path path = dir_ / name;
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }

    fs::path dir_;
};

TEST_F(InputFile, RegularFilesUpToTheLimitAreReadWhole) {
    const std::string content = std::string("VELK\0\x03", 6) + std::string(100, '\xff');
    const struct {
        std::string content;
        std::uint64_t limit;
    } cases[] = {{"", 0}, {"", 10}, {content, content.size()}, {content, 1 << 20}};
    for (const auto& c : cases) {
        const fs::path path = file("f", c.content);
        auto text = read_input_file(path, c.limit);
        ASSERT_TRUE(text.has_value()) << text.error().debug();
        EXPECT_EQ(*text, c.content);
        auto bytes = read_input_bytes(path, c.limit);
        ASSERT_TRUE(bytes.has_value());
        EXPECT_EQ(std::string(bytes->begin(), bytes->end()), c.content);
    }
}

TEST_F(InputFile, BeyondTheLimitIsAnErrorNamingPathAndLimit) {
    const fs::path path = file("big.velk", std::string(11, 'x'));
    for (std::uint64_t limit : {0u, 1u, 10u}) {
        auto read = read_input_file(path, limit);
        ASSERT_FALSE(read.has_value()) << limit;
        EXPECT_EQ(read.error().debug(),
                  "Custom { kind: FileTooLarge, error: \"file exceeds the limit of " +
                      std::to_string(limit) + " bytes\", path: \"" + path.string() + "\" }");
        EXPECT_EQ(read.error().display(),
                  "file exceeds the limit of " + std::to_string(limit) + " bytes");
    }
}

// A pipe delivers more than the limit: the reader takes exactly one byte past
// the limit and leaves the rest unread; a pipe within the limit is read to its
// end.
TEST_F(InputFile, PipesAreReadInStepsAndStoppedOneBytePastTheLimit) {
    const struct {
        std::size_t written;
        std::uint64_t limit;
        bool ok;
    } cases[] = {{50000, 1000, false}, {50000, 0, false}, {1000, 999, false},
                 {1000, 1000, true},   {0, 0, true},      {3000, 70000, true}};
    for (const auto& c : cases) {
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        const std::string data(c.written, 'z');
        ASSERT_EQ(::write(fds[1], data.data(), data.size()), static_cast<ssize_t>(data.size()));
        ::close(fds[1]);
        const fs::path path = "/proc/self/fd/" + std::to_string(fds[0]);
        auto read = read_input_bytes(path, c.limit);
        EXPECT_EQ(read.has_value(), c.ok) << c.written << " " << c.limit;
        if (read) {
            EXPECT_EQ(read->size(), c.written);
        } else {
            EXPECT_EQ(read.error().kind, "FileTooLarge");
        }
        // What the reader left in the pipe.
        std::vector<char> rest(c.written + 1);
        const ssize_t left = ::read(fds[0], rest.data(), rest.size());
        ::close(fds[0]);
        const std::size_t taken = c.written - static_cast<std::size_t>(left);
        EXPECT_EQ(taken, c.ok ? c.written : c.limit + 1) << c.written << " " << c.limit;
    }
}

TEST_F(InputFile, SystemErrorsCarryThePath) {
    const struct {
        fs::path path;
        std::string debug;
    } cases[] = {
        {dir_ / "missing", "Os { code: 2, kind: NotFound, message: \"No such file or directory\""},
        {dir_, "Os { code: 21, kind: IsADirectory, message: \"Is a directory\""},
    };
    for (const auto& c : cases) {
        auto read = read_input_file(c.path, 100);
        ASSERT_FALSE(read.has_value());
        EXPECT_EQ(read.error().debug(), c.debug + ", path: \"" + c.path.string() + "\" }");
        EXPECT_EQ(read.error().path, c.path.string());
    }
}

}  // namespace
}  // namespace velk
