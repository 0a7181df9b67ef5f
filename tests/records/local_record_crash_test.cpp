// A writer process killed at random moments, a few hundred times: the record file must stay readable, keep every
// record the writer reported, hand out no address cut short, and not fill up with temporary copies.
#include "records/local_record_file.h"

#include "runtime/files.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <optional>
#include <random>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace velpic {
namespace {

// Record i as the writer tool makes it.
UploadRecord numbered_record(long i) {
    char digest[33];
    std::snprintf(digest, sizeof digest, "%032lx", static_cast<unsigned long>(i));
    return UploadRecord{digest, "1700000000123", "", std::string("https://gitee.com/o/r/raw/master/") + digest + ".png",
                        ".png"};
}

std::string section_bytes(const UploadRecord& r) {
    return "[" + r.ImgMd5 + "]\r\nImgMd5=" + r.ImgMd5 + "\r\nImgType=" + r.ImgType +
           "\r\nImgUploadTime=" + r.ImgUploadTime + "\r\nImgUrl=" + r.ImgUrl + "\r\n";
}

// The writer's output, line by line, read from a pipe until it closes.
class Reports {
public:
    explicit Reports(int fd) : file_(fdopen(fd, "r")) {}
    ~Reports() {
        if (file_ != nullptr)
            std::fclose(file_);
    }
    bool next(std::string& line) {
        line.clear();
        if (file_ == nullptr)
            return false;
        for (int c; (c = std::fgetc(file_)) != EOF;) {
            if (c == '\n')
                return true;
            line.push_back(static_cast<char>(c));
        }
        return false;
    }

private:
    std::FILE* file_;
};

std::size_t temporary_files(const std::filesystem::path& dir) {
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        count += entry.path().filename().string().find(".tmp.") != std::string::npos;
    return count;
}

TEST(LocalRecordFileCrash, KilledWritersLoseNothingAndLeaveNoJunk) {
    test::TempDir dir, calibration;
    const auto file = dir.file("本地记录.ini");
    std::mt19937 random(4242);
    long confirmed = 0; // records 0 .. confirmed-1 were reported
    int kills_inside_rewrites = 0;
    constexpr int kRounds = 300;
    for (int round = 0; round < kRounds; ++round) {
        // Now and then a power cut is simulated: the next record's section stands cut short at the end of the
        // file, so the writer has to replace the file instead of appending, and may be killed while at it.
        const UploadRecord next = numbered_record(static_cast<long>(read_all_local_records(file).size()));
        std::vector<std::string> names;
        list_ini_sections(file, names);
        const std::string bytes = read_whole_file(file);
        const bool torn = round % 3 == 0 && std::find(names.begin(), names.end(), next.ImgMd5) == names.end() &&
                          (bytes.empty() || bytes.back() == '\n');
        if (torn) {
            const std::string section = section_bytes(next);
            std::ofstream(file, std::ios::binary | std::ios::app) << section.substr(0, random() % (section.size() - 2));
        }

        // How long the writer takes for its first record (an append, or a replacement when torn) on this machine
        // now, on a copy of the file as it stands: the kill falls within the first three records' time, whatever
        // the machine's pace, so that kills inside a replacement and after some records both happen.
        std::chrono::microseconds took{};
        {
            const std::filesystem::path scratch = calibration.file("本地记录.ini");
            std::filesystem::remove(scratch);
            if (std::filesystem::exists(file))
                std::filesystem::copy_file(file, scratch);
            test::ChildProcess writer(VELPIC_RECORD_WRITER, {scratch.string(), std::to_string(confirmed), "1"});
            ASSERT_TRUE(writer.wait_for_output_line("ready"));
            const std::optional<std::chrono::microseconds> first_record = writer.time_to_exit();
            ASSERT_TRUE(first_record) << "round " << round << ": a writer left alone must complete";
            took = *first_record;
        }

        int pipe_fds[2];
        ASSERT_EQ(pipe(pipe_fds), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
        const std::string first = std::to_string(confirmed);
        std::vector<std::string> args = {VELPIC_RECORD_WRITER, file.string(), first, "1000"};
        std::vector<char*> argv;
        for (std::string& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        pid_t child = 0;
        ASSERT_EQ(posix_spawn(&child, VELPIC_RECORD_WRITER, &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        close(pipe_fds[1]);

        Reports reports(pipe_fds[0]);
        std::string line;
        ASSERT_TRUE(reports.next(line));
        ASSERT_EQ(line, "ready");
        const auto until = std::chrono::steady_clock::now() + test::kill_moment(took * 12 / 5, random);
        while (std::chrono::steady_clock::now() < until) {
        }
        kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        while (reports.next(line)) {
            ASSERT_EQ(line, std::to_string(confirmed)) << "reports come in order";
            ++confirmed;
        }
        if (torn && temporary_files(dir.path()) > 0)
            ++kills_inside_rewrites;

        // Every reported record is there, in order; at most the record in flight follows, and only whole.
        const std::vector<UploadRecord> all = read_all_local_records(file);
        ASSERT_GE(all.size(), static_cast<std::size_t>(confirmed)) << "round " << round;
        ASSERT_LE(all.size(), static_cast<std::size_t>(confirmed) + 1) << "round " << round;
        for (std::size_t i = 0; i < all.size(); ++i)
            ASSERT_EQ(all[i], numbered_record(static_cast<long>(i))) << "round " << round;
        const auto in_flight = find_local_record(file, numbered_record(confirmed).ImgMd5);
        EXPECT_TRUE(!in_flight || *in_flight == numbered_record(confirmed).ImgUrl) << "round " << round;
        EXPECT_EQ(in_flight.has_value(), all.size() == static_cast<std::size_t>(confirmed) + 1);
        for (long i = std::max(0L, confirmed - 3); i < confirmed; ++i)
            ASSERT_EQ(find_local_record(file, numbered_record(i).ImgMd5), numbered_record(i).ImgUrl);

        // One section per digest, and at most the copy of the one write that was killed.
        list_ini_sections(file, names);
        std::sort(names.begin(), names.end());
        EXPECT_EQ(std::adjacent_find(names.begin(), names.end()), names.end()) << "round " << round;
        ASSERT_LE(temporary_files(dir.path()), 1u) << "round " << round;
    }
    EXPECT_GT(confirmed, kRounds / 2) << "the writer must get some work done between kills";
    EXPECT_GT(kills_inside_rewrites, 0) << "some kills must land inside a replacement of the file";

    // A writer that runs to its end leaves no temporary file behind.
    EXPECT_TRUE(write_local_record(file, numbered_record(confirmed)));
    EXPECT_EQ(temporary_files(dir.path()), 0u);
}

} // namespace
} // namespace velpic
