// The local archive: what an upload keeps, where, with which rights, and when a copy is trusted.
#include "upload/picture_archive.h"

#include "runtime/files.h"
#include "runtime/md5.h"
#include "support/temp_dir.h"
#include "support/service_context.h"
#include "support/test_service.h"
#include "upload/upload_picture.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <thread>
#include <iostream>
#include <unistd.h>
#include <utility>
#include <vector>

namespace velpic {
namespace {

using test::TestService;

const std::string kPicture = std::string("\x89PNG\r\n\x1a\n", 8) + "archived picture";

mode_t mode_of(const std::filesystem::path& path) {
    struct stat status {};
    EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
    return status.st_mode & 0777;
}

class PictureArchiveTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(service.running());
        context = test::service_upload_context(service, dir.path());
    }
    void TearDown() override { unsetenv("VELPIC_SERVICE_BASE"); }

    std::filesystem::path copy_path() const { return archive_copy_path(dir.path(), md5_hex(kPicture), ".png"); }
    std::size_t commits() const { return service.count_requests("POST", "/api/v5/repos/"); }

    TestService service;
    test::TempDir dir;
    UploadContext context;
};

TEST_F(PictureArchiveTest, AnUploadKeepsTheBytesSentInAPrivateFolderBeforeTheRecord) {
    CollectingReporter reporter;
    ASSERT_TRUE(upload_picture(context, ".png", kPicture, reporter).ok);
    const std::string digest = md5_hex(kPicture);
    EXPECT_EQ(copy_path(), dir.path() / "图片存档" / digest.substr(0, 2) / (digest + ".png"));
    EXPECT_EQ(read_whole_file(copy_path()), kPicture);
    EXPECT_EQ(mode_of(dir.path() / "图片存档"), 0700u);
    EXPECT_EQ(mode_of(copy_path().parent_path()), 0700u);
    EXPECT_EQ(mode_of(copy_path()) & 077, 0u);
    EXPECT_TRUE(has_verified_copy(dir.path(), digest));

    // A copy that is already there is not written again; a damaged one is replaced by the bytes sent.
    struct stat before {};
    ASSERT_EQ(::stat(copy_path().c_str(), &before), 0);
    ASSERT_TRUE(upload_picture(context, ".png", kPicture, reporter).ok);
    struct stat after {};
    ASSERT_EQ(::stat(copy_path().c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);

    std::ofstream(copy_path(), std::ios::binary | std::ios::trunc) << "flipped bits";
    EXPECT_EQ(find_archive_copy(dir.path(), digest).state, ArchivedPicture::State::damaged);
    EXPECT_FALSE(has_verified_copy(dir.path(), digest));
    ASSERT_TRUE(upload_picture(context, ".png", kPicture, reporter).ok);
    EXPECT_EQ(read_whole_file(copy_path()), kPicture);
    EXPECT_EQ(commits(), 1u);
}

TEST_F(PictureArchiveTest, TurnedOffNothingIsKeptAndAnUnwritableArchiveStopsTheUpload) {
    context.keep_archive = false;
    CollectingReporter reporter;
    ASSERT_TRUE(upload_picture(context, ".png", kPicture, reporter).ok);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "图片存档"));

    // A file where the folder should be: the picture is not committed without its copy.
    context.keep_archive = true;
    const std::string other = kPicture + "2";
    std::ofstream(dir.path() / "图片存档") << "not a folder";
    const UploadResult result = upload_picture(context, ".png", other, reporter);
    EXPECT_FALSE(result.ok);
    EXPECT_FALSE(result.committed);
    EXPECT_EQ(commits(), 1u);
    ASSERT_FALSE(reporter.messages.empty());
}

TEST(PictureArchive, OnlyACopyWhoseBytesMatchItsDigestIsTrustedAndRemovalTakesEveryCopy) {
    test::TempDir dir;
    const std::string digest = md5_hex(kPicture);
    EXPECT_EQ(find_archive_copy(dir.path(), digest).state, ArchivedPicture::State::missing);
    // Names that would leave the folder are refused.
    EXPECT_FALSE(keep_archive_copy(dir.path(), "../../etc/passwd", ".png", kPicture).empty());
    EXPECT_FALSE(keep_archive_copy(dir.path(), digest, "/../x", kPicture).empty());
    EXPECT_FALSE(keep_archive_copy(dir.path(), std::string(32, 'A'), ".png", kPicture).empty());

    ASSERT_EQ(keep_archive_copy(dir.path(), digest, ".PNG", kPicture), "");
    ArchivedPicture found = find_archive_copy(dir.path(), digest);
    EXPECT_EQ(found.state, ArchivedPicture::State::verified);
    EXPECT_EQ(found.extension, ".PNG");
    EXPECT_EQ(found.bytes, kPicture);
    EXPECT_EQ(find_archive_copy(dir.path(), digest, kPicture.size() - 1).state, ArchivedPicture::State::damaged);

    // A copy in place is trusted by its name and size: an upload does not read the picture back. A deep look
    // reads it, and replaces one damaged in place (same size, other bytes); a copy of another size is replaced
    // either way.
    std::string flipped = kPicture;
    flipped.back() ^= 1;
    std::ofstream(found.path, std::ios::binary | std::ios::trunc) << flipped;
    ASSERT_EQ(keep_archive_copy(dir.path(), digest, ".PNG", kPicture), "");
    EXPECT_EQ(read_whole_file(found.path), flipped);
    ASSERT_EQ(keep_archive_copy(dir.path(), digest, ".PNG", kPicture, ExistingCopy::read), "");
    EXPECT_EQ(read_whole_file(found.path), kPicture);
    std::ofstream(found.path, std::ios::binary | std::ios::trunc) << "short";
    ASSERT_EQ(keep_archive_copy(dir.path(), digest, ".PNG", kPicture), "");
    EXPECT_EQ(read_whole_file(found.path), kPicture);
    // A link where the copy should be is not taken for one, whatever the size of what it points at.
    const std::filesystem::path elsewhere = dir.path() / "elsewhere.png";
    std::ofstream(elsewhere, std::ios::binary) << flipped;
    std::filesystem::remove(found.path);
    std::filesystem::create_symlink(elsewhere, found.path);
    ASSERT_EQ(keep_archive_copy(dir.path(), digest, ".PNG", kPicture), "");
    EXPECT_FALSE(std::filesystem::is_symlink(found.path));
    EXPECT_EQ(read_whole_file(found.path), kPicture);
    EXPECT_EQ(read_whole_file(elsewhere), flipped);

    // A temporary file of a killed writer goes with the copies.
    std::ofstream(found.path.parent_path() / ("." + digest + ".tmp-1-0")) << "half";
    bool removed = false;
    EXPECT_TRUE(remove_archive_copy(dir.path(), digest, &removed));
    EXPECT_TRUE(removed);
    // The emptied folder goes too; the archive itself stays.
    EXPECT_FALSE(std::filesystem::exists(found.path.parent_path()));
    EXPECT_TRUE(std::filesystem::is_directory(found.path.parent_path().parent_path()));
    EXPECT_TRUE(remove_archive_copy(dir.path(), digest, &removed));
    EXPECT_FALSE(removed);
}

// A delete empties and removes a folder while an upload of another picture of that folder writes into it: the
// upload makes the folder again and keeps its copy, every time.
TEST(PictureArchive, AnUploadKeepsItsCopyWhileADeleteRemovesTheFolderItWritesInto) {
    test::TempDir dir;
    const std::string deleted = "ab" + std::string(30, '1');
    const std::string kept = "ab" + std::string(30, '2');
    std::atomic<bool> done{false};
    std::thread deleter([&] {
        while (!done) {
            (void)keep_archive_copy(dir.path(), deleted, ".png", "x");
            (void)remove_archive_copy(dir.path(), deleted);
        }
    });
    std::size_t failed = 0;
    for (int round = 0; round < 400; ++round) {
        failed += !keep_archive_copy(dir.path(), kept, ".png", "y").empty();
        remove_archive_copy(dir.path(), kept);
    }
    done = true;
    deleter.join();
    EXPECT_EQ(failed, 0u);
}

TEST(PictureArchive, AWriteNarrowsTheProgramsOwnOpenFoldersAndNoOtherFolder) {
    const std::string digest = md5_hex(kPicture);
    // Paths from the test's folder: "data" is the program directory, "outside" lies beside it.
    struct Row {
        const char* what;
        std::vector<std::pair<std::string, mode_t>> before; // folders made with these modes, in order
        const char* archive_link = nullptr;                 // the archive is a link to this folder
        bool foreign = false;                               // the sub-folder belongs to another user
        std::vector<std::pair<std::string, mode_t>> after;
    };
    const std::string sub = "data/图片存档/" + digest.substr(0, 2);
    const Row rows[] = {
        {"left open by an older version", {{"data", 0755}, {"data/图片存档", 0755}, {sub, 0755}}, nullptr, false,
         {{"data", 0755}, {"data/图片存档", 0700}, {sub, 0700}}},
        {"open archive, sub-folder made now", {{"data", 0755}, {"data/图片存档", 0775}}, nullptr, false,
         {{"data", 0755}, {"data/图片存档", 0700}, {sub, 0700}}},
        {"archive behind a link to a folder outside",
         {{"data", 0755}, {"outside", 0755}, {"outside/" + digest.substr(0, 2), 0755}}, "outside", false,
         {{"outside", 0755}, {"outside/" + digest.substr(0, 2), 0755}}},
        {"a sub-folder of another user", {{"data", 0777}, {"data/图片存档", 0700}, {sub, 0777}}, nullptr, true,
         {{"data", 0777}, {sub, 0777}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        if (row.foreign && ::geteuid() != 0) {
            std::cout << "skipped without root (a folder of another user): " << row.what << "\n";
            continue;
        }
        test::TempDir dir;
        for (const auto& [folder, mode] : row.before) {
            ASSERT_EQ(::mkdir((dir.path() / folder).c_str(), 0700), 0) << folder;
            ASSERT_EQ(::chmod((dir.path() / folder).c_str(), mode), 0) << folder;
        }
        if (row.archive_link)
            std::filesystem::create_directory_symlink(dir.path() / row.archive_link, dir.path() / "data/图片存档");
        if (row.foreign) {
            ASSERT_EQ(::chown((dir.path() / sub).c_str(), 65534, 65534), 0);
        }
        ASSERT_EQ(keep_archive_copy(dir.path() / "data", digest, ".png", kPicture), "");
        EXPECT_TRUE(has_verified_copy(dir.path() / "data", digest));
        for (const auto& [folder, mode] : row.after)
            EXPECT_EQ(mode_of(dir.path() / folder), mode) << folder;
    }
}

} // namespace
} // namespace velpic
