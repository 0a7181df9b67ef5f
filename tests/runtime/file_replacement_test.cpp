#include "runtime/files.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace velpic {
namespace {

std::string bytes_of(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

std::size_t entries(const std::filesystem::path& folder) {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder))
        ++count;
    return count;
}

TEST(FileReplacement, AFileIsReplacedWholeKeepsItsModeAndNothingIsLeftBeside) {
    test::TempDir dir;
    const std::filesystem::path file = dir.file("note.md");
    std::ofstream(file, std::ios::binary) << "old";
    std::filesystem::permissions(file, std::filesystem::perms(0640));
    ASSERT_TRUE(replace_file_atomically(file, std::string("new\r\n\0bytes", 12)));
    EXPECT_EQ(bytes_of(file), std::string("new\r\n\0bytes", 12));
    EXPECT_EQ(std::filesystem::status(file).permissions(), std::filesystem::perms(0640));
    EXPECT_EQ(entries(dir.path()), 1u);
    // Only existing regular files are replaced: nothing is created, a folder is refused.
    EXPECT_FALSE(replace_file_atomically(dir.file("missing.md"), "x"));
    EXPECT_FALSE(replace_file_atomically(dir.path(), "x"));
    EXPECT_EQ(entries(dir.path()), 1u);
}

TEST(FileReplacement, ABatchRenamesOnlyWhatIsStillWantedAndRemovesTheRest) {
    test::TempDir dir;
    std::vector<std::filesystem::path> files;
    for (const char* name : {"a.md", "b.md", "c.md"}) {
        files.push_back(dir.file(name));
        std::ofstream(files.back(), std::ios::binary) << "old " << name;
    }
    {
        FileReplacementBatch batch;
        for (const auto& file : files)
            ASSERT_TRUE(batch.stage(file, "new " + file.filename().string()));
        EXPECT_FALSE(batch.stage(dir.file("missing.md"), "x"));
        EXPECT_EQ(batch.size(), 3u);
        // Staged bytes are not in place before the commit.
        EXPECT_EQ(bytes_of(files[0]), "old a.md");
        std::vector<std::size_t> asked;
        const std::vector<bool> replaced = batch.commit([&](std::size_t i) {
            asked.push_back(i);
            return i != 1;
        });
        EXPECT_EQ(asked, (std::vector<std::size_t>{0, 1, 2}));
        EXPECT_EQ(replaced, (std::vector<bool>{true, false, true}));
        EXPECT_EQ(batch.size(), 0u);
    }
    EXPECT_EQ(bytes_of(files[0]), "new a.md");
    EXPECT_EQ(bytes_of(files[1]), "old b.md");
    EXPECT_EQ(bytes_of(files[2]), "new c.md");
    EXPECT_EQ(entries(dir.path()), 3u);

    // A batch dropped without a commit leaves every file as it was and no temporary file behind.
    {
        FileReplacementBatch batch;
        ASSERT_TRUE(batch.stage(files[0], "dropped"));
        EXPECT_EQ(entries(dir.path()), 4u);
    }
    EXPECT_EQ(bytes_of(files[0]), "new a.md");
    EXPECT_EQ(entries(dir.path()), 3u);
}

// A name near the longest a directory takes (255 bytes: 84 Chinese characters and ".md") leaves no room for the
// temporary file's mark; its name is cut short, and the file is replaced all the same.
TEST(FileReplacement, AFileWithTheLongestNameIsReplacedAsAnyOther) {
    test::TempDir dir;
    std::string name;
    for (int i = 0; i < 84; ++i)
        name += "长";
    name += ".md";
    ASSERT_EQ(name.size(), 255u);
    const std::filesystem::path file = dir.file(name);
    std::ofstream(file, std::ios::binary) << "old";
    ASSERT_TRUE(replace_file_atomically(file, "new"));
    EXPECT_EQ(bytes_of(file), "new");
    FileReplacementBatch batch;
    ASSERT_TRUE(batch.stage(file, "newer"));
    EXPECT_EQ(batch.commit([](std::size_t) { return true; }), std::vector<bool>{true});
    EXPECT_EQ(bytes_of(file), "newer");
    EXPECT_EQ(entries(dir.path()), 1u);
}

} // namespace
} // namespace velpic
