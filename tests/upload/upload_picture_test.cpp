#include "upload/upload_picture.h"

#include "records/local_record_file.h"
#include "records/mysql_record_store.h"
#include "runtime/codepage.h"
#include "runtime/datetime.h"
#include "runtime/files.h"
#include "runtime/ini_file.h"
#include "runtime/md5.h"
#include "support/mariadb_server.h"
#include "support/temp_dir.h"
#include "support/test_service.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <fstream>
#include <mutex>
#include <thread>

namespace velpic {
namespace {

using test::TestService;

// Records every report, in order, as "kind:text" (texts converted to UTF-8 for readable failures).
class RecordingReporter : public UploadReporter {
public:
    void show_status(const std::string& text) override { add("status:" + to_utf8(text)); }
    void show_address(const std::string& address) override { add("address:" + address); }
    void copy_address(const std::string& address) override { add("clipboard:" + address); }
    void show_message(const std::string& text) override { add("message:" + to_utf8(text)); }
    void show_picture(const std::string& bytes) override { add("picture:" + std::to_string(bytes.size())); }

    std::vector<std::string> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }

private:
    void add(std::string call) {
        std::lock_guard lock(mutex_);
        calls_.push_back(std::move(call));
    }
    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
};

const std::string kStatus = "status:正在上传，请稍候...";
const std::string kPicture = std::string("\x89PNG\r\n\x1a\n", 8) + "picture bytes";

class UploadPictureTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(service.running());
        setenv("VELPIC_SERVICE_BASE", service.base().c_str(), 1);
        set_local_clock([] { return DateTimeFields{2021, 11, 27, 9, 5, 30, 45}; });
        context.owner = "alice";
        context.repo = "pics";
        context.access_token = "tok";
        context.record_mode = "local";
        context.machine_code = "1234567890";
        context.program_dir = dir.path();
    }
    void TearDown() override {
        set_local_clock({});
        unsetenv("VELPIC_SERVICE_BASE");
    }

    std::filesystem::path record_file() const { return dir.path() / "本地记录.ini"; }
    std::string address_of(const std::string& data, const std::string& extension = ".png") {
        return service.base() + "alice/pics/raw/master/" + md5_hex(data) + extension;
    }
    std::size_t commits() const { return service.count_requests("POST", "/api/v5/repos/"); }

    TestService service;
    test::TempDir dir;
    UploadContext context;
};

TEST(PictureExtension, TakesWhatFollowsTheLastDotWithItsCase) {
    EXPECT_EQ(picture_extension("C:\\pics\\cat.PNG"), ".PNG");
    EXPECT_EQ(picture_extension("/home/u/my pics/cat.jpeg"), ".jpeg");
    EXPECT_EQ(picture_extension("/home/u/年.v2/猫.gif"), ".gif");
    EXPECT_EQ(picture_extension("noext"), ".noext");
    EXPECT_EQ(picture_extension("/a.png\r\n/b.png\r\n"), ".png\r\n");
    EXPECT_EQ(picture_extension("/dir.d/file"), ".d/file");

    // Only the four lower-case picture extensions pass; two dropped paths end in ".png\r\n" and fail.
    for (const char* accepted : {".png", ".jpeg", ".jpg", ".gif"})
        EXPECT_TRUE(is_picture_extension(accepted)) << accepted;
    for (const char* refused : {".PNG", ".Jpg", ".bmp", ".png\r\n", ".", ""})
        EXPECT_FALSE(is_picture_extension(refused)) << refused;
}

TEST(CommitMessage, LeavesOutZeroSecondsThenMinutesThenTheTime) {
    EXPECT_EQ(to_utf8(commit_message(2021, 11, 27, 9, 5, 30)), "2021年11月27日9时5分30秒 upload");
    EXPECT_EQ(to_utf8(commit_message(2021, 11, 27, 9, 5, 0)), "2021年11月27日9时5分 upload");
    EXPECT_EQ(to_utf8(commit_message(2021, 11, 27, 9, 0, 0)), "2021年11月27日9时 upload");
    EXPECT_EQ(to_utf8(commit_message(2021, 1, 2, 0, 0, 0)), "2021年1月2日 upload");
    EXPECT_EQ(to_utf8(commit_message(2021, 1, 2, 0, 0, 7)), "2021年1月2日0时0分7秒 upload");
}

TEST_F(UploadPictureTest, LocalModeCommitsOnceRecordsAndCopiesTheAddress) {
    const std::string address = address_of(kPicture);
    UploadResult first;
    {
        RecordingReporter reporter;
        first = upload_picture(context, ".png", kPicture, reporter);
        EXPECT_EQ(reporter.calls(), (std::vector<std::string>{kStatus, "address:" + address, "clipboard:" + address}));
    }
    EXPECT_TRUE(first.ok && first.committed && first.recorded);
    EXPECT_EQ(first.address, address);
    auto stored = service.file("alice", "pics", md5_hex(kPicture) + ".png");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->bytes, kPicture);
    EXPECT_EQ(stored->commit_message, "2021年11月27日9时5分30秒 upload");

    // The record holds the four keys in their order; 09:05:30.045 counts from the fixed 08:00 base.
    const std::string digest = md5_hex(kPicture);
    IniDocument ini = IniDocument::load(record_file());
    EXPECT_EQ(ini.section_names(), std::vector<std::string>{digest});
    EXPECT_EQ(ini.value(digest, "ImgMd5"), digest);
    EXPECT_EQ(ini.value(digest, "ImgType"), ".png");
    EXPECT_EQ(ini.value(digest, "ImgUploadTime"), "1637975130045");
    EXPECT_EQ(ini.value(digest, "ImgUrl"), address);
    const std::string text = ini.bytes();
    EXPECT_LT(text.find("ImgMd5="), text.find("ImgType="));
    EXPECT_LT(text.find("ImgType="), text.find("ImgUploadTime="));
    EXPECT_LT(text.find("ImgUploadTime="), text.find("ImgUrl="));

    // The same picture again: nothing is sent, the recorded address is shown and copied.
    RecordingReporter reporter;
    UploadResult second = upload_picture(context, ".png", kPicture, reporter);
    EXPECT_TRUE(second.ok);
    EXPECT_FALSE(second.committed);
    EXPECT_EQ(commits(), 1u);
    EXPECT_EQ(reporter.calls(), (std::vector<std::string>{kStatus, "address:" + address, "clipboard:" + address}));
}

TEST_F(UploadPictureTest, FailuresShowTheReasonAndWriteNoRecord) {
    service.set_access_token("other");
    RecordingReporter refused;
    UploadResult result = upload_picture(context, ".png", kPicture, refused);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(refused.calls(),
              (std::vector<std::string>{
                  kStatus, "message:上传失败！[错误原因：401 Unauthorized: Access token does not exist]"}));
    EXPECT_FALSE(file_exists(record_file()));

    // An address on another branch is committed but fails the prefix test; nothing is recorded, so the next
    // attempt commits again.
    service.set_access_token("");
    service.set_download_branch("main");
    RecordingReporter other_branch;
    const std::string branch_address = service.download_url("alice", "pics", md5_hex(kPicture) + ".png");
    EXPECT_FALSE(upload_picture(context, ".png", kPicture, other_branch).ok);
    EXPECT_EQ(other_branch.calls(),
              (std::vector<std::string>{kStatus, "message:上传失败！[错误原因：" + branch_address + "]"}));
    EXPECT_FALSE(file_exists(record_file()));
    RecordingReporter again;
    upload_picture(context, ".png", kPicture, again);
    EXPECT_EQ(commits(), 3u);
    EXPECT_EQ(again.calls().back(), "message:上传失败！[错误原因：A file with this name already exists]");

    // The prefix test is case-sensitive: the service spells the owner as the settings do not.
    service.set_download_branch("master");
    context.owner = "Alice";
    const std::string other = "not the same bytes";
    RecordingReporter case_differs;
    test::ServiceAnswer answer;
    answer.status = 201;
    answer.body = R"({"content":{"download_url":")" + address_of(other) + R"("}})";
    service.preset_answer("POST", "/api/v5/repos/Alice/pics/contents/" + md5_hex(other) + ".png", answer);
    EXPECT_FALSE(upload_picture(context, ".png", other, case_differs).ok);
    EXPECT_EQ(case_differs.calls().back(), "message:上传失败！[错误原因：" + address_of(other) + "]");
    EXPECT_FALSE(file_exists(record_file()));
}

TEST_F(UploadPictureTest, ARecordedAddressOfAnotherRepositoryIsReportedAsAFailure) {
    UploadRecord record{md5_hex(kPicture), "1638003930045", "",
                        "https://elsewhere.test/bob/old/raw/master/" + md5_hex(kPicture) + ".png", ".png"};
    ASSERT_TRUE(write_local_record(record_file(), record));
    RecordingReporter reporter;
    EXPECT_FALSE(upload_picture(context, ".png", kPicture, reporter).ok);
    EXPECT_EQ(reporter.calls(),
              (std::vector<std::string>{kStatus, "message:上传失败！[错误原因：" + record.ImgUrl + "]"}));
    EXPECT_EQ(commits(), 0u);
}

TEST_F(UploadPictureTest, AnUnwritableRecordFileStillShowsTheAddressAndSaysSo) {
    std::ofstream(dir.file("plain-file")) << "x";
    context.program_dir = dir.file("plain-file"); // the record file would have to live inside a regular file
    RecordingReporter reporter;
    UploadResult result = upload_picture(context, ".png", kPicture, reporter);
    EXPECT_TRUE(result.ok);
    EXPECT_FALSE(result.recorded);
    auto calls = reporter.calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[1], "address:" + address_of(kPicture));
    EXPECT_EQ(calls[2], "clipboard:" + address_of(kPicture));
    EXPECT_TRUE(calls[3].starts_with("message:上传成功，但记录保存失败！")) << calls[3];
}

TEST_F(UploadPictureTest, ConcurrentUploadsOfOnePictureCommitAndRecordItOnce) {
    service.set_create_delay(std::chrono::milliseconds(300));
    RecordingReporter a, b;
    UploadResult result_a, result_b;
    std::thread first([&] { result_a = upload_picture(context, ".png", kPicture, a); });
    std::thread second([&] { result_b = upload_picture(context, ".png", kPicture, b); });
    first.join();
    second.join();
    EXPECT_EQ(commits(), 1u);
    EXPECT_TRUE(result_a.ok);
    EXPECT_TRUE(result_b.ok);
    EXPECT_EQ(result_a.address, result_b.address);
    EXPECT_EQ(result_a.committed + result_b.committed, 1);
    std::vector<std::string> sections;
    list_ini_sections(record_file(), sections);
    EXPECT_EQ(sections, std::vector<std::string>{md5_hex(kPicture)});
}

// Holds its upload in show_address until told to go on (bounded), to see what runs meanwhile.
class HoldingReporter : public RecordingReporter {
public:
    void show_address(const std::string& address) override {
        RecordingReporter::show_address(address);
        std::unique_lock lock(mutex_);
        reporting_ = true;
        changed_.notify_all();
        released_ = changed_.wait_for(lock, std::chrono::seconds(10), [&] { return go_on_; });
    }
    bool wait_until_reporting() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return reporting_; });
    }
    void go_on() {
        std::lock_guard lock(mutex_);
        go_on_ = true;
        changed_.notify_all();
    }
    bool released() const {
        std::lock_guard lock(mutex_);
        return released_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool reporting_ = false;
    bool go_on_ = false;
    bool released_ = false;
};

TEST_F(UploadPictureTest, AReportStillBeingShownDoesNotHoldUpTheSamePicture) {
    HoldingReporter slow;
    std::thread first([&] { upload_picture(context, ".png", kPicture, slow); });
    ASSERT_TRUE(slow.wait_until_reporting());
    RecordingReporter quick;
    std::thread second([&] {
        upload_picture(context, ".png", kPicture, quick);
        slow.go_on();
    });
    second.join();
    first.join();
    EXPECT_TRUE(slow.released()) << "the second upload waited for the first one's report";
    EXPECT_EQ(quick.calls().back(), "clipboard:" + address_of(kPicture));
    EXPECT_EQ(commits(), 1u);
}

TEST_F(UploadPictureTest, FilesFromADropAndFromTheDialog) {
    const std::filesystem::path path = dir.path() / "my pics 年" / "猫.jpeg";
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << kPicture;
    RecordingReporter dropped;
    UploadResult result = upload_dropped_file(context, path, dropped);
    EXPECT_EQ(result.address, address_of(kPicture, ".jpeg"));
    EXPECT_EQ(dropped.calls().front(), "picture:" + std::to_string(kPicture.size()));
    EXPECT_EQ(IniDocument::load(record_file()).value(md5_hex(kPicture), "ImgType"), ".jpeg");

    // The dialog path uploads nothing for an empty file and puts the default picture back.
    std::ofstream(dir.file("empty.png")).flush();
    RecordingReporter chosen;
    EXPECT_FALSE(upload_chosen_file(context, dir.file("empty.png"), chosen).ok);
    EXPECT_EQ(chosen.calls(), std::vector<std::string>{"picture:0"});
    EXPECT_EQ(commits(), 1u);

    // A drop sends even an unreadable file's empty data; the service's answer decides.
    RecordingReporter missing;
    EXPECT_TRUE(upload_dropped_file(context, dir.file("missing.png"), missing).ok);
    EXPECT_EQ(commits(), 2u);
}

class MysqlUploadTest : public UploadPictureTest {
protected:
    void SetUp() override {
        UploadPictureTest::SetUp();
        ASSERT_TRUE(database.ok()) << test::shared_mariadb().error();
        context.record_mode = "mysql";
        context.mysql = database.settings();
        ASSERT_TRUE(MysqlRecordStore(context.mysql).ensure_record_table().ok);
    }
    std::vector<test::SqlRow> rows() {
        return test::shared_mariadb()
            .admin_query("SELECT ImgMd5, UploadMachineCode, ImgUrl, ImgType FROM `" + database.name() +
                         "`.remote_imgs ORDER BY ImgUploadTime")
            .value_or(std::vector<test::SqlRow>{});
    }

    test::TestDatabase database;
};

TEST_F(MysqlUploadTest, RecordsInTheTableAndLeavesTheClipboardAlone) {
    const std::string address = address_of(kPicture);
    RecordingReporter reporter;
    EXPECT_TRUE(upload_picture(context, ".png", kPicture, reporter).recorded);
    EXPECT_EQ(reporter.calls(), (std::vector<std::string>{kStatus, "address:" + address}));
    auto table = rows();
    ASSERT_EQ(table.size(), 1u);
    EXPECT_EQ(table[0], (test::SqlRow{md5_hex(kPicture), "1234567890", address, ".png"}));

    // Machine B finds machine A's record: nothing is sent and no row is added.
    const std::string other = "uploaded on machine A";
    UploadRecord record{md5_hex(other), "1638003930000", "machine-A", "https://a.test/x.png", ".png"};
    record.ImgUrl = address_of(other);
    ASSERT_TRUE(MysqlRecordStore(context.mysql).insert_record(record).ok);
    RecordingReporter again;
    UploadResult result = upload_picture(context, ".png", other, again);
    EXPECT_TRUE(result.ok);
    EXPECT_FALSE(result.committed);
    EXPECT_EQ(again.calls(), (std::vector<std::string>{kStatus, "address:" + record.ImgUrl}));
    EXPECT_EQ(commits(), 1u);
    EXPECT_EQ(rows().size(), 2u);
}

TEST_F(MysqlUploadTest, AnUnstoredRecordStillShowsTheAddressAndSaysSo) {
    // Refused INSERT: the table does not exist.
    ASSERT_TRUE(test::shared_mariadb().admin_execute("DROP TABLE `" + database.name() + "`.remote_imgs"));
    RecordingReporter refused;
    UploadResult result = upload_picture(context, ".png", kPicture, refused);
    EXPECT_TRUE(result.ok);
    EXPECT_FALSE(result.recorded);
    ASSERT_EQ(refused.calls().size(), 3u);
    EXPECT_EQ(refused.calls()[1], "address:" + address_of(kPicture));
    EXPECT_TRUE(refused.calls()[2].starts_with("message:上传成功，但记录保存失败！")) << refused.calls()[2];

    // Unreachable server.
    context.mysql.port = test::MariaDbServer::unused_port();
    const std::string other = "another picture";
    RecordingReporter unreachable;
    EXPECT_TRUE(upload_picture(context, ".png", other, unreachable).ok);
    EXPECT_TRUE(unreachable.calls().back().starts_with("message:上传成功，但记录保存失败！"));
}

TEST_F(MysqlUploadTest, ConcurrentUploadsOfOnePictureInsertOneRow) {
    service.set_create_delay(std::chrono::milliseconds(300));
    RecordingReporter a, b;
    std::thread first([&] { upload_picture(context, ".gif", kPicture, a); });
    std::thread second([&] { upload_picture(context, ".gif", kPicture, b); });
    first.join();
    second.join();
    EXPECT_EQ(commits(), 1u);
    EXPECT_EQ(rows().size(), 1u);
    EXPECT_EQ(a.calls().back(), "address:" + address_of(kPicture, ".gif"));
    EXPECT_EQ(b.calls().back(), "address:" + address_of(kPicture, ".gif"));
}

} // namespace
} // namespace velpic
