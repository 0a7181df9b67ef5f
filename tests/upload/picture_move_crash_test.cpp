// A move killed at random moments, many times over: after every kill each record points at its old address or at
// a file of the new repository holding its very bytes, and running the move again completes with every record in
// the new repository, every file there byte-identical and a map line for every picture.
#include "upload/picture_move.h"

#include "records/local_record_file.h"
#include "runtime/codepage.h"
#include "runtime/files.h"
#include "runtime/md5.h"
#include "support/child_process.h"
#include "support/temp_dir.h"
#include "support/test_service.h"
#include "upload/move_journal.h"
#include "upload/picture_archive.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace velpic {
namespace {

std::string picture(int round, int i) {
    return std::string("\x89PNG\r\n\x1a\n", 8) + "round " + std::to_string(round) + " picture " + std::to_string(i);
}

// Starts the mover, waits for its "ready", lets it run until at and kills it. True when it had finished on its own
// (exit 0) before the kill.
bool run_and_kill(const std::filesystem::path& dir, std::chrono::microseconds at) {
    test::ChildProcess mover(VELPIC_PICTURE_MOVER, {dir.string()});
    EXPECT_TRUE(mover.wait_for_output_line("ready"));
    return mover.kill_after(at);
}

// Uploads the pictures of round into dir as the test does: every other one has to be downloaded from its address.
void upload_round(const std::filesystem::path& dir, int round, int count, std::vector<std::string>& pictures) {
    UploadContext context;
    context.owner = "alice";
    context.repo = "pics";
    context.access_token = "tok";
    context.record_mode = "local";
    context.program_dir = dir;
    CollectingReporter reporter;
    for (int i = 0; i < count; ++i) {
        pictures.push_back(picture(round, i));
        ASSERT_TRUE(upload_picture(context, ".png", pictures.back(), reporter).ok);
        if (i % 2 == 1) {
            ASSERT_TRUE(remove_archive_copy(dir, md5_hex(pictures.back())));
        }
    }
}

TEST(PictureMoveCrash, TheSameMoveAgainCompletesAfterAnyKills) {
    test::TestService service;
    ASSERT_TRUE(service.running());
    setenv("VELPIC_SERVICE_BASE", service.base().c_str(), 1);
    std::mt19937 random(2026);
    constexpr int kRounds = 40, kPictures = 16, kKillsPerRound = 6;
    int finished_alone = 0, moved_in_between = 0;
    std::chrono::microseconds took{};
    for (int round = 0; round < kRounds; ++round) {
        test::TempDir dir;
        UploadContext context;
        context.owner = "alice";
        context.repo = "pics";
        context.access_token = "tok";
        context.record_mode = "local";
        context.program_dir = dir.path();
        const std::filesystem::path records = local_record_file_path(dir.path());
        std::vector<std::string> pictures;
        ASSERT_NO_FATAL_FAILURE(upload_round(dir.path(), round, kPictures, pictures));
        // The kills are spread over what a whole move of such a round takes on this machine now, measured on
        // pictures like them every few rounds: a busy machine stretches the move, and a fixed window would only
        // ever hit its start.
        if (round % 4 == 0) {
            test::TempDir spare_dir;
            std::vector<std::string> spare;
            ASSERT_NO_FATAL_FAILURE(upload_round(spare_dir.path(), 1000 + round, kPictures, spare));
            test::ChildProcess mover(VELPIC_PICTURE_MOVER, {spare_dir.path().string()});
            ASSERT_TRUE(mover.wait_for_output_line("ready"));
            const std::optional<std::chrono::microseconds> whole = mover.time_to_exit();
            ASSERT_TRUE(whole) << "round " << round << ": a move left alone must complete";
            took = *whole;
        }
        auto old_address = [&](const std::string& bytes) {
            return service.download_url("alice", "pics", md5_hex(bytes) + ".png");
        };
        auto new_address = [&](const std::string& bytes) {
            return service.download_url("bob", "new-pics", md5_hex(bytes) + ".png");
        };

        for (int kill = 0; kill < kKillsPerRound; ++kill) {
            // Each run carries on from what the ones before left: within half a whole move's time, most kills
            // still land inside one.
            if (run_and_kill(dir.path(), test::kill_moment(took / 2, random)))
                ++finished_alone;
            for (const std::string& bytes : pictures) {
                const std::optional<std::string> record = find_local_record(records, md5_hex(bytes));
                ASSERT_TRUE(record) << "round " << round << ": a record was lost";
                if (*record == new_address(bytes)) {
                    ++moved_in_between;
                    const auto file = service.file("bob", "new-pics", md5_hex(bytes) + ".png");
                    ASSERT_TRUE(file && file->bytes == bytes) << "round " << round << ": a record went ahead";
                } else {
                    ASSERT_EQ(*record, old_address(bytes)) << "round " << round;
                }
            }
        }

        UploadContext same = context;
        MoveRequest request;
        request.to = context;
        request.to.owner = "bob";
        request.to.repo = "new-pics";
        request.map_path = dir.path() / "map.txt";
        const MoveReport report = move_pictures(same, request);
        ASSERT_TRUE(report.complete()) << "round " << round;
        const std::string map = read_whole_file(request.map_path);
        std::string expected_lines;
        std::size_t lines = 0;
        for (const std::string& bytes : pictures) {
            EXPECT_EQ(find_local_record(records, md5_hex(bytes)), new_address(bytes)) << round;
            const auto file = service.file("bob", "new-pics", md5_hex(bytes) + ".png");
            ASSERT_TRUE(file) << round;
            EXPECT_EQ(file->bytes, bytes) << round;
            EXPECT_NE(map.find(old_address(bytes) + "\t" + new_address(bytes) + "\n"), std::string::npos) << round;
        }
        for (char c : map)
            lines += c == '\n' ? 1 : 0;
        EXPECT_EQ(lines, pictures.size()) << round;
        EXPECT_FALSE(file_exists(move_journal_path(request.map_path))) << round;
        EXPECT_EQ(read_all_local_records(records).size(), pictures.size()) << round;
        // Run once more: nothing changes.
        const MoveReport again = move_pictures(same, request);
        EXPECT_EQ(again.count(MoveItem::Kind::already_there), pictures.size()) << round;
        EXPECT_EQ(read_whole_file(request.map_path), map) << round;
    }
    EXPECT_GT(moved_in_between, 0) << "some kills must land after some records moved";
    EXPECT_LT(finished_alone, kRounds * kKillsPerRound * 3 / 4) << "most kills must land inside the move";
    std::printf("finished before the kill %d times; records already moved at a kill: %d\n", finished_alone,
                moved_in_between);
    unsetenv("VELPIC_SERVICE_BASE");
}

} // namespace
} // namespace velpic
