#include "app/output_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <set>
#include <string>

#include "run_process_fixture.h"

namespace {

namespace fs = std::filesystem;

std::set<std::string> Listing(const std::string& dir)
{
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.insert(entry.path().filename().string());
    return names;
}


class OutputFilesTest : public testing::Test {
protected:
    void SetUp() override { dir = TestSupport::MakeTempDirectory(); }
    void TearDown() override { fs::remove_all(dir); }
    std::string Path(const std::string& name) const { return dir + "/" + name; }
    std::string dir;
};

TEST_F(OutputFilesTest, FilesAppearUnderTheirNamesOnlyOnCommit)
{
    TestSupport::WriteFile(Path("mesh.txt"), "earlier");
    std::string reason, failed;
    {
        App::OutputFiles outputs;
        int32_t page = outputs.Add(Path("page.png"), reason);
        int32_t mesh = outputs.Add(Path("mesh.txt"), reason);
        ASSERT_GE(page, 0) << reason;
        ASSERT_GE(mesh, 0) << reason;
        std::fputs("new page", outputs.File(page));
        std::fputs("new mesh", outputs.File(mesh));
        ASSERT_TRUE(outputs.Close(mesh, reason)) << reason;
        // Until the commit the bytes lie under hidden names beside the final ones.
        EXPECT_EQ(TestSupport::ReadFile(Path("mesh.txt")), "earlier");
        EXPECT_EQ(TestSupport::ReadFile(outputs.WrittenPath(mesh)), "new mesh");
        EXPECT_EQ(fs::path(outputs.WrittenPath(mesh)).parent_path(), fs::path(dir));
        EXPECT_EQ(fs::path(outputs.WrittenPath(mesh)).filename().string().rfind(".mesh.txt.ketra-", 0), 0u);
        EXPECT_EQ(Listing(dir).size(), 3u);
        ASSERT_TRUE(outputs.Commit(failed, reason)) << failed << ": " << reason;
    }
    EXPECT_EQ(Listing(dir), (std::set<std::string>{"mesh.txt", "page.png"}));
    EXPECT_EQ(TestSupport::ReadFile(Path("mesh.txt")), "new mesh");
    EXPECT_EQ(TestSupport::ReadFile(Path("page.png")), "new page");
}

TEST_F(OutputFilesTest, UncommittedFilesAreRemovedAndEarlierOnesKept)
{
    TestSupport::WriteFile(Path("mesh.txt"), "earlier");
    std::string reason;
    {
        App::OutputFiles outputs;
        int32_t mesh = outputs.Add(Path("mesh.txt"), reason);
        ASSERT_GE(mesh, 0);
        std::fputs("half a mesh", outputs.File(mesh));
    }
    EXPECT_EQ(Listing(dir), (std::set<std::string>{"mesh.txt"}));
    EXPECT_EQ(TestSupport::ReadFile(Path("mesh.txt")), "earlier");
}

TEST_F(OutputFilesTest, MissingFolderIsRefusedWithTheSystemsReason)
{
    std::string reason;
    App::OutputFiles outputs;
    EXPECT_EQ(outputs.Add(Path("nowhere/mesh.txt"), reason), -1);
    EXPECT_EQ(reason, "No such file or directory");
    reason.clear();
    EXPECT_FALSE(App::CanCreateFilesBeside(Path("nowhere/mesh.txt"), reason));
    EXPECT_EQ(reason, "No such file or directory");
    EXPECT_TRUE(App::CanCreateFilesBeside(Path("mesh.txt"), reason));
    EXPECT_TRUE(Listing(dir).empty()) << "the probe is removed";
}

TEST_F(OutputFilesTest, LinkedOutputReplacesTheFileItLeadsTo)
{
    fs::create_directory(Path("real"));
    TestSupport::WriteFile(Path("real/mesh.txt"), "earlier");
    fs::create_symlink(Path("real/mesh.txt"), Path("link.txt"));
    std::string reason, failed;
    App::OutputFiles outputs;
    int32_t mesh = outputs.Add(Path("link.txt"), reason);
    ASSERT_GE(mesh, 0) << reason;
    std::fputs("new mesh", outputs.File(mesh));
    ASSERT_TRUE(outputs.Commit(failed, reason)) << reason;
    EXPECT_TRUE(fs::is_symlink(Path("link.txt")));
    EXPECT_EQ(TestSupport::ReadFile(Path("real/mesh.txt")), "new mesh");
}

TEST_F(OutputFilesTest, DeviceIsWrittenDirectly)
{
    std::string reason, failed;
    App::OutputFiles outputs;
    int32_t sink = outputs.Add("/dev/null", reason);
    ASSERT_GE(sink, 0) << reason;
    EXPECT_EQ(outputs.WrittenPath(sink), "/dev/null");
    std::fputs("discarded", outputs.File(sink));
    ASSERT_TRUE(outputs.Commit(failed, reason)) << reason;
    struct stat info;
    ASSERT_EQ(stat("/dev/null", &info), 0);
    EXPECT_TRUE(S_ISCHR(info.st_mode)) << "/dev/null must stay a device";
}

TEST(OutputNames, PageNamesInTheCurrentFolder)
{
    const struct {
        const char* path;
        bool page;
    } cases[] = {
        {"Ketra_lightmap_0.png", true},    {"./Ketra_lightmap_17.png", true}, {"Ketra_lightmap_.png", false},
        {"Ketra_lightmap_01.png", false},  {"Ketra_lightmap_-1.png", false},  {"Ketra_lightmap_1.PNG", false},
        {"Ketra_lightmap_1.png.txt", false}, {"/nonexistent/Ketra_lightmap_0.png", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(App::IsPageFileName(c.path), c.page) << c.path;
}

}  // namespace
