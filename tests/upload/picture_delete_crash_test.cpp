// A delete killed at random moments, a few hundred times: running the same delete again always completes, and once
// it has, nothing of the picture is left (no file at the service, no record, no copy) while every other picture
// keeps its file, record and copy.
#include "upload/picture_delete.h"

#include "records/local_record_file.h"
#include "runtime/codepage.h"
#include "runtime/md5.h"
#include "support/child_process.h"
#include "support/temp_dir.h"
#include "support/test_service.h"
#include "upload/picture_archive.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <cstdio>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace velpic {
namespace {

std::string picture(int i) {
    return std::string("\x89PNG\r\n\x1a\n", 8) + "picture " + std::to_string(i);
}

// Starts the deleter on digest, waits for its "ready", lets it run until at and kills it. True when it had finished
// on its own (exit 0) before the kill.
bool run_and_kill(const std::filesystem::path& dir, const std::string& digest, std::chrono::microseconds at) {
    test::ChildProcess deleter(VELPIC_PICTURE_DELETER, {dir.string(), digest});
    EXPECT_TRUE(deleter.wait_for_output_line("ready"));
    return deleter.kill_after(at);
}

// The same left to run to its end: how long it took.
std::chrono::microseconds unkilled_run(const std::filesystem::path& dir, const std::string& digest) {
    test::ChildProcess deleter(VELPIC_PICTURE_DELETER, {dir.string(), digest});
    EXPECT_TRUE(deleter.wait_for_output_line("ready"));
    const std::optional<std::chrono::microseconds> took = deleter.time_to_exit();
    EXPECT_TRUE(took) << "a delete left alone must complete";
    return took.value_or(std::chrono::milliseconds(6));
}

TEST(PictureDeleteCrash, TheSameDeleteAgainCompletesAfterAnyKill) {
    test::TestService service;
    ASSERT_TRUE(service.running());
    setenv("VELPIC_SERVICE_BASE", service.base().c_str(), 1);
    test::TempDir dir;
    UploadContext context;
    context.owner = "alice";
    context.repo = "pics";
    context.access_token = "tok";
    context.record_mode = "local";
    context.program_dir = dir.path();
    const std::filesystem::path records = local_record_file_path(dir.path());
    CollectingReporter reporter;

    // Pictures that are never deleted: every rewrite of the record file must keep them.
    std::vector<std::string> kept;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(upload_picture(context, ".png", picture(-1 - i), reporter).ok);
        kept.push_back(md5_hex(picture(-1 - i)));
    }

    std::mt19937 random(1919);
    int finished_alone = 0, killed_with_file_gone = 0, killed_before = 0;
    std::chrono::microseconds took{};
    constexpr int kRounds = 100, kKillsPerRound = 2;
    for (int round = 0; round < kRounds; ++round) {
        const std::string bytes = picture(round);
        const std::string digest = md5_hex(bytes);
        const std::string path = digest + ".png";
        ASSERT_TRUE(upload_picture(context, ".png", bytes, reporter).ok) << round;
        // The kills are spread over what a delete takes on this machine now, measured on a picture like it every
        // few rounds: a busy machine stretches the delete, and a fixed window would then only ever hit its start.
        if (round % 4 == 0) {
            const std::string spare = picture(1000 + round);
            ASSERT_TRUE(upload_picture(context, ".png", spare, reporter).ok) << round;
            took = unkilled_run(dir.path(), md5_hex(spare));
            ASSERT_FALSE(find_local_record(records, md5_hex(spare))) << round;
        }

        for (int kill = 0; kill < kKillsPerRound; ++kill) {
            if (run_and_kill(dir.path(), digest, test::kill_moment(took, random)))
                ++finished_alone;
            else if (!service.file("alice", "pics", path))
                ++killed_with_file_gone;
            else
                ++killed_before;
            // The steps go in order: a record is taken out only after its file, a copy only after its record.
            const bool file = service.file("alice", "pics", path).has_value();
            const bool record = find_local_record(records, digest).has_value();
            const bool copy = find_archive_copy(dir.path(), digest).state != ArchivedPicture::State::missing;
            ASSERT_TRUE(record || !file) << "round " << round;
            ASSERT_TRUE(copy || !record) << "round " << round;
        }
        const DeleteOutcome again = delete_picture(context, digest, false);
        ASSERT_TRUE(again.ok) << "round " << round << ": " << to_utf8(again.reason);
        ASSERT_FALSE(service.file("alice", "pics", path)) << round;
        ASSERT_FALSE(find_local_record(records, digest)) << round;
        ASSERT_EQ(find_archive_copy(dir.path(), digest).state, ArchivedPicture::State::missing) << round;
        EXPECT_TRUE(delete_picture(context, digest, false).nothing_to_do()) << round;
    }
    for (const std::string& digest : kept) {
        EXPECT_TRUE(find_local_record(records, digest)) << digest;
        EXPECT_TRUE(service.file("alice", "pics", digest + ".png")) << digest;
        EXPECT_TRUE(has_verified_copy(dir.path(), digest)) << digest;
    }
    EXPECT_EQ(read_all_local_records(records).size(), kept.size());
    EXPECT_GT(killed_before + killed_with_file_gone, kRounds * kKillsPerRound / 4)
        << "most kills must land inside the delete";
    EXPECT_GT(killed_with_file_gone, 0) << "some kills must land after the service's confirmation";
    std::printf("finished %d, killed before the delete %d, after it %d\n", finished_alone, killed_before,
                killed_with_file_gone);
    unsetenv("VELPIC_SERVICE_BASE");
}

} // namespace
} // namespace velpic
