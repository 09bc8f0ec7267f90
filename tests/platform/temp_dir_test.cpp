// Private temporary folders: fresh, owner-only, removed with their content.
#include "platform/temp_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

TEST(TempDir, FreshOwnerOnlyFolderRemovedWithItsFiles) {
    int error = 0;
    auto parent = platform::TempDir::Create("temp-dir-test-", error);
    ASSERT_TRUE(parent) << error;

    auto a = platform::TempDir::Create("work-", error, parent->Path());
    auto b = platform::TempDir::Create("work-", error, parent->Path());
    ASSERT_TRUE(a && b);
    EXPECT_NE(a->Path(), b->Path());
    EXPECT_EQ(a->Path().rfind(parent->Path() + "work-", 0), 0u);
    EXPECT_EQ(a->Path().back(), '/');
    struct stat st {};
    ASSERT_EQ(::stat(a->Path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    std::ofstream(a->File("QUIL0803C.BIN")) << "image";
    std::filesystem::create_directory(a->File("sub"));
    std::ofstream(a->File("sub/x")) << "x";
    const std::string path = a->Path();
    a.reset();
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_TRUE(std::filesystem::exists(b->Path()));
}

TEST(TempDir, FollowsTmpdirAndReportsFailure) {
    int error = 0;
    auto parent = platform::TempDir::Create("temp-dir-test-", error);
    ASSERT_TRUE(parent);
    const char* old = std::getenv("TMPDIR");
    const std::string saved = old != nullptr ? old : "";
    ::setenv("TMPDIR", parent->Path().c_str(), 1);
    EXPECT_EQ(platform::TempParent(), parent->Path());
    auto inside = platform::TempDir::Create("x-", error);
    ::setenv("TMPDIR", "", 1);
    EXPECT_EQ(platform::TempParent(), "/tmp");
    if (old != nullptr) {
        ::setenv("TMPDIR", saved.c_str(), 1);
    } else {
        ::unsetenv("TMPDIR");
    }
    ASSERT_TRUE(inside);
    EXPECT_EQ(inside->Path().rfind(parent->Path(), 0), 0u);

    EXPECT_FALSE(platform::TempDir::Create("x-", error, parent->File("missing")));
    EXPECT_EQ(error, ENOENT);
}

}  // namespace
