#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/paths.h"

namespace fs = std::filesystem;

namespace {

class PathsTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "kada-paths-XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir = tmpl;
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string at(const std::string& name) const { return (fs::path(dir) / name).string(); }
    static std::string content(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    std::string dir;
};

TEST_F(PathsTest, ExistenceFindsEntriesOfAnyKind) {
    std::ofstream(at("file")) << "x";
    fs::create_directory(at("dir"));
    fs::create_symlink(at("nowhere"), at("dangling"));
    EXPECT_TRUE(kada::platform::exists(at("file")));
    EXPECT_TRUE(kada::platform::exists(at("dir")));
    EXPECT_TRUE(kada::platform::exists(at("dangling")));
    EXPECT_FALSE(kada::platform::exists(at("missing")));
    EXPECT_FALSE(kada::platform::exists(""));
}

TEST_F(PathsTest, WriteIfAbsentWritesWholeFileOnce) {
    std::string payload(100000, '\0');
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7);
    EXPECT_TRUE(kada::platform::write_if_absent(at("p.bin"), payload.data(), payload.size()));
    EXPECT_EQ(content(at("p.bin")), payload);
    // Present: never rewritten, whatever it holds.
    EXPECT_FALSE(kada::platform::write_if_absent(at("p.bin"), "new", 3));
    EXPECT_EQ(content(at("p.bin")), payload);
    EXPECT_TRUE(kada::platform::write_if_absent(at("empty"), "", 0));
    EXPECT_EQ(fs::file_size(at("empty")), 0u);
    // Only the named file is left: no temporary beside it.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2);
}

TEST_F(PathsTest, WriteIfAbsentLeavesDirectoriesAndLinksAlone) {
    fs::create_directory(at("d"));
    fs::create_symlink(at("target"), at("link"));
    EXPECT_FALSE(kada::platform::write_if_absent(at("d"), "x", 1));
    EXPECT_FALSE(kada::platform::write_if_absent(at("link"), "x", 1));
    EXPECT_FALSE(fs::exists(at("target")));
    EXPECT_TRUE(fs::is_directory(at("d")));
}

TEST_F(PathsTest, FailedWriteLeavesNothingUnderTheName) {
    EXPECT_FALSE(kada::platform::write_if_absent(at("no/such/dir/file"), "x", 1));
    EXPECT_FALSE(kada::platform::exists(at("no")));
    EXPECT_FALSE(kada::platform::write_if_absent("", "x", 1));
}

TEST(Paths, JoinPutsOneSlash) {
    EXPECT_EQ(kada::platform::join("/a", "b"), "/a/b");
    EXPECT_EQ(kada::platform::join("/a/", "b"), "/a/b");
    EXPECT_EQ(kada::platform::join("", "b"), "b");
}

TEST(Paths, ProgramDirectoryIsWhereTheExecutableLies) {
    std::string exe = fs::read_symlink("/proc/self/exe").string();
    EXPECT_EQ(kada::platform::program_directory(), fs::path(exe).parent_path().string());
}

// GLib reads HOME and TMPDIR once, so each case runs in a child of its own.
TEST(PathsDeathTest, SystemDirectoryIsCreatedUnderHome) {
    std::string tmpl = (fs::temp_directory_path() / "kada-home-XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    EXPECT_EXIT(
        {
            setenv("HOME", tmpl.c_str(), 1);
            std::string d = kada::platform::system_directory();
            bool ok = d == tmpl + "/.local/lib/" && fs::is_directory(d);
            std::exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(
        {
            setenv("TMPDIR", tmpl.c_str(), 1);
            std::exit(kada::platform::temp_directory() == tmpl + "/" ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    fs::remove_all(tmpl);
}

}  // namespace
