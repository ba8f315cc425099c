#include "runtime/file_replace.h"
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A scratch directory of the test's own, removed afterwards.
struct FileReplace : ::testing::Test {
    std::string dir;
    void SetUp() override
    {
        char tmpl[] = "/tmp/cvx-replace-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { ASSERT_EQ(system(("rm -rf " + dir).c_str()), 0); }

    std::string path(const std::string& name) { return dir + "/" + name; }
    void put(const std::string& name, const std::string& text)
    {
        int fd = ::open(path(name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, text.data(), text.size()), (ssize_t)text.size());
        ::close(fd);
    }
    std::string get(const std::string& name)
    {
        std::string out;
        int fd = ::open(path(name).c_str(), O_RDONLY);
        if (fd < 0)
            return "<missing>";
        char buf[256];
        ssize_t n;
        while ((n = ::read(fd, buf, sizeof(buf))) > 0)
            out.append(buf, n);
        ::close(fd);
        return out;
    }
    bool is_link(const std::string& name)
    {
        struct stat st;
        return lstat(path(name).c_str(), &st) == 0 && S_ISLNK(st.st_mode);
    }
    i64 replace(const std::string& text, int mode = 0644, const std::string& in = "")
    {
        std::string d = in.empty() ? dir : in;
        return replace_file(d.c_str(), "target", "target.tmp", text.data(), (i64)text.size(), mode);
    }
};

TEST_F(FileReplace, WritesExactBytesAndMode)
{
    mode_t old = umask(077);
    EXPECT_EQ(replace("a\nb\n", 0644), 0);
    umask(old);
    EXPECT_EQ(get("target"), "a\nb\n");
    struct stat st;
    ASSERT_EQ(stat(path("target").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(replace("x", 0600), 0);
    ASSERT_EQ(stat(path("target").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(get("target"), "x");
    EXPECT_EQ(get("target.tmp"), "<missing>");
}

TEST_F(FileReplace, ReplacesALinkInsteadOfFollowingIt)
{
    put("victim", "keep");
    ASSERT_EQ(symlink(path("victim").c_str(), path("target").c_str()), 0);
    ASSERT_EQ(symlink(path("victim").c_str(), path("target.tmp").c_str()), 0);
    EXPECT_EQ(replace("new"), 0);
    EXPECT_EQ(get("victim"), "keep");
    EXPECT_FALSE(is_link("target"));
    EXPECT_EQ(get("target"), "new");
}

TEST_F(FileReplace, RefusesADirectoryReachedThroughALink)
{
    ASSERT_EQ(mkdir(path("real").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(path("real/sub").c_str(), 0755), 0);
    ASSERT_EQ(symlink(path("real").c_str(), path("linked").c_str()), 0);
    EXPECT_LT(replace("x", 0644, path("linked")), 0);
    EXPECT_EQ(replace("x", 0644, path("linked/sub")), -ELOOP);
    EXPECT_EQ(get("real/target"), "<missing>");
    EXPECT_EQ(get("real/sub/target"), "<missing>");
    EXPECT_EQ(replace("x", 0644, path("missing")), -ENOENT);
}

TEST_F(FileReplace, FailureLeavesTheOldFileWhole)
{
    put("target", "old text");
    // A directory in the temporary file's place can be neither removed nor created over.
    ASSERT_EQ(mkdir(path("target.tmp").c_str(), 0755), 0);
    EXPECT_LT(replace("new text"), 0);
    EXPECT_EQ(get("target"), "old text");
}

TEST_F(FileReplace, RenameFailureRemovesTheTemporaryFile)
{
    // target is a non-empty directory: rename over it fails after the data was written.
    ASSERT_EQ(mkdir(path("target").c_str(), 0755), 0);
    put("target/inside", "x");
    EXPECT_LT(replace("new"), 0);
    EXPECT_EQ(get("target.tmp"), "<missing>");
    EXPECT_EQ(get("target/inside"), "x");
}

TEST_F(FileReplace, OpenNoSymlinksRefusesLinksInAnyComponent)
{
    ASSERT_EQ(mkdir(path("real").c_str(), 0755), 0);
    put("real/file", "keep");
    ASSERT_EQ(symlink(path("real").c_str(), path("dirlink").c_str()), 0);
    ASSERT_EQ(symlink(path("real/file").c_str(), path("filelink").c_str()), 0);
    EXPECT_EQ(open_no_symlinks(path("dirlink/file").c_str(), O_WRONLY | O_TRUNC, 0), -ELOOP);
    EXPECT_EQ(open_no_symlinks(path("filelink").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), -ELOOP);
    EXPECT_EQ(get("real/file"), "keep");
    i64 fd = open_no_symlinks(path("real/new").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fcntl((int)fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    ::close((int)fd);
}

} // namespace
