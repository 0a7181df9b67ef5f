// Moving every recorded picture into another repository of the stand-in, in local and MySQL mode, and the journal
// that the map of a move is made from.
#include "upload/picture_move.h"

#include "records/local_record_file.h"
#include "records/mysql_record_store.h"
#include "runtime/codepage.h"
#include "runtime/files.h"
#include "runtime/md5.h"
#include "support/mariadb_server.h"
#include "support/service_context.h"
#include "support/temp_dir.h"
#include "support/test_service.h"
#include "upload/move_journal.h"
#include "upload/picture_archive.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>

namespace velpic {
namespace {

using test::TestService;
using Kind = MoveItem::Kind;

std::string picture(const std::string& tail) {
    return std::string("\x89PNG\r\n\x1a\n", 8) + tail;
}

// The map file as old -> new, with the lines counted.
std::map<std::string, std::string> map_lines(const std::filesystem::path& file, std::size_t* lines = nullptr) {
    std::map<std::string, std::string> map;
    std::ifstream in(file, std::ios::binary);
    std::string line;
    std::size_t count = 0;
    while (std::getline(in, line)) {
        const std::size_t tab = line.find('\t');
        map[line.substr(0, tab)] = line.substr(tab + 1);
        ++count;
    }
    if (lines)
        *lines = count;
    return map;
}

// The failures of a report, for a test's message.
std::string failures(const MoveReport& report) {
    std::string text = to_utf8(report.error) + to_utf8(report.map_error);
    for (const MoveItem& item : report.items)
        if (item.kind == Kind::failed)
            text += "\n" + item.digest + ": " + to_utf8(item.reason);
    return text;
}

class PictureMoveTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(service.running());
        context = test::service_upload_context(service, dir.path());
        request.to = context;
        request.to.owner = "bob";
        request.to.repo = "new-pics";
        request.map_path = dir.path() / "map.txt";
    }
    void TearDown() override { unsetenv("VELPIC_SERVICE_BASE"); }

    std::string upload(const std::string& bytes) {
        CollectingReporter reporter;
        const UploadResult result = upload_picture(context, ".png", bytes, reporter);
        EXPECT_TRUE(result.ok) << to_utf8(result.address);
        return result.address;
    }
    std::string old_address(const std::string& bytes) const {
        return service.download_url("alice", "pics", md5_hex(bytes) + ".png");
    }
    std::string new_address(const std::string& bytes) const {
        return service.download_url("bob", "new-pics", md5_hex(bytes) + ".png");
    }
    std::optional<std::string> moved_bytes(const std::string& bytes) const {
        auto file = service.file("bob", "new-pics", md5_hex(bytes) + ".png");
        return file ? std::optional(file->bytes) : std::nullopt;
    }
    std::optional<std::string> record_of(const std::string& bytes) const {
        return find_local_record(local_record_file_path(dir.path()), md5_hex(bytes));
    }
    std::map<std::string, Kind> kinds(const MoveReport& report) const {
        std::map<std::string, Kind> by_digest;
        for (const MoveItem& item : report.items)
            by_digest[item.digest] = item.kind;
        return by_digest;
    }

    TestService service;
    test::TempDir dir;
    UploadContext context;
    MoveRequest request;
};

TEST_F(PictureMoveTest, EveryPictureGoesFromItsCopyOrItsAddressAndARunAfterwardsChangesNothing) {
    const std::string a = picture("a"), b = picture("b"), c = picture("c");
    upload(a);
    upload(b);
    upload(c);
    // b has no copy and c a damaged one: both are downloaded from their addresses.
    ASSERT_TRUE(remove_archive_copy(dir.path(), md5_hex(b)));
    std::ofstream(archive_copy_path(dir.path(), md5_hex(c), ".png"), std::ios::binary) << "spoiled";
    const std::string records_before = read_whole_file(local_record_file_path(dir.path()));
    service.forget_requests();

    const MoveReport report = move_pictures(context, request);
    ASSERT_TRUE(report.complete()) << failures(report);
    EXPECT_EQ(report.count(Kind::moved), 3u);
    EXPECT_TRUE(report.map_written);
    EXPECT_EQ(service.count_requests("GET", "/alice/pics/raw/"), 2u);
    for (const std::string* bytes : {&a, &b, &c}) {
        EXPECT_EQ(moved_bytes(*bytes), *bytes);
        EXPECT_EQ(record_of(*bytes), new_address(*bytes));
    }
    // The record file changed in its addresses only.
    std::string expected = records_before;
    for (const std::string* bytes : {&a, &b, &c})
        expected.replace(expected.find(old_address(*bytes)), old_address(*bytes).size(), new_address(*bytes));
    EXPECT_EQ(read_whole_file(local_record_file_path(dir.path())), expected);
    std::size_t lines = 0;
    const auto map = map_lines(request.map_path, &lines);
    EXPECT_EQ(lines, 3u);
    for (const std::string* bytes : {&a, &b, &c})
        EXPECT_EQ(map.at(old_address(*bytes)), new_address(*bytes));
    EXPECT_FALSE(file_exists(move_journal_path(request.map_path)));
    // What was downloaded is kept in the archive, the damaged copy replaced.
    EXPECT_TRUE(has_verified_copy(dir.path(), md5_hex(b)));
    EXPECT_TRUE(has_verified_copy(dir.path(), md5_hex(c)));

    const std::string map_before = read_whole_file(request.map_path);
    service.forget_requests();
    const MoveReport again = move_pictures(context, request);
    EXPECT_TRUE(again.complete());
    EXPECT_EQ(again.count(Kind::already_there), 3u);
    EXPECT_FALSE(again.map_written);
    EXPECT_EQ(service.requests().size(), 0u) << "a record pointing at the new repository is not asked about";
    EXPECT_EQ(read_whole_file(request.map_path), map_before);
}

TEST_F(PictureMoveTest, FailuresKeepTheirRecordsAndTheMapWaitsForTheRunThatCompletes) {
    const std::string mismatched = picture("mismatched"), conflicting = picture("conflicting"),
                      there = picture("there"), plain = picture("plain");
    for (const std::string* bytes : {&mismatched, &conflicting, &there, &plain})
        upload(*bytes);
    // Its address serves other bytes and it has no copy; the new repository holds other bytes under one name and
    // the same bytes under another.
    ASSERT_TRUE(remove_archive_copy(dir.path(), md5_hex(mismatched)));
    service.put_file("alice", "pics", md5_hex(mismatched) + ".png", picture("something else"));
    service.put_file("bob", "new-pics", md5_hex(conflicting) + ".png", picture("other bytes"));
    service.put_file("bob", "new-pics", md5_hex(there) + ".png", there);

    const MoveReport report = move_pictures(context, request);
    EXPECT_TRUE(report.started);
    EXPECT_FALSE(report.complete());
    auto by_digest = kinds(report);
    EXPECT_EQ(by_digest[md5_hex(mismatched)], Kind::failed);
    EXPECT_EQ(by_digest[md5_hex(conflicting)], Kind::failed);
    EXPECT_EQ(by_digest[md5_hex(there)], Kind::already_there);
    EXPECT_EQ(by_digest[md5_hex(plain)], Kind::moved);
    EXPECT_EQ(record_of(mismatched), old_address(mismatched));
    EXPECT_EQ(record_of(conflicting), old_address(conflicting));
    EXPECT_EQ(moved_bytes(conflicting), picture("other bytes"));
    EXPECT_FALSE(moved_bytes(mismatched));
    EXPECT_EQ(record_of(there), new_address(there));
    EXPECT_FALSE(file_exists(request.map_path));

    // Once the causes are gone, the next run moves the rest, and the map covers both runs.
    service.put_file("alice", "pics", md5_hex(mismatched) + ".png", mismatched);
    service.lose_file("bob", "new-pics", md5_hex(conflicting) + ".png");
    const MoveReport rest = move_pictures(context, request);
    ASSERT_TRUE(rest.complete()) << failures(rest);
    by_digest = kinds(rest);
    EXPECT_EQ(by_digest[md5_hex(mismatched)], Kind::moved);
    EXPECT_EQ(by_digest[md5_hex(conflicting)], Kind::moved);
    EXPECT_EQ(by_digest[md5_hex(plain)], Kind::already_there);
    const auto map = map_lines(request.map_path);
    EXPECT_EQ(map.size(), 4u);
    for (const std::string* bytes : {&mismatched, &conflicting, &there, &plain}) {
        EXPECT_EQ(map.at(old_address(*bytes)), new_address(*bytes));
        EXPECT_EQ(moved_bytes(*bytes), *bytes);
    }
}

TEST_F(PictureMoveTest, ACommitWhoseAnswerWasLostCountsByTheFileThatCameIn) {
    const std::string a = picture("a"), b = picture("b");
    upload(a);
    upload(b);
    service.preset_delivery("POST", "/api/v5/repos/bob/new-pics/contents/" + md5_hex(a) + ".png",
                            test::Delivery::dropped());
    test::ServiceAnswer unanswered;
    unanswered.no_answer = true;
    service.preset_answer("POST", "/api/v5/repos/bob/new-pics/contents/" + md5_hex(b) + ".png", unanswered);
    const MoveReport report = move_pictures(context, request);
    const auto by_digest = kinds(report);
    EXPECT_EQ(by_digest.at(md5_hex(a)), Kind::already_there) << failures(report);
    EXPECT_EQ(record_of(a), new_address(a));
    // Nothing came in for b: it keeps its record, and the next run moves it.
    EXPECT_EQ(by_digest.at(md5_hex(b)), Kind::failed);
    EXPECT_EQ(record_of(b), old_address(b));
    const MoveReport rest = move_pictures(context, request);
    ASSERT_TRUE(rest.complete()) << failures(rest);
    EXPECT_EQ(moved_bytes(b), b);
    EXPECT_EQ(map_lines(request.map_path).size(), 2u);
}

TEST_F(PictureMoveTest, AnOwnerOrRepositoryThatWouldChangeTheApiPathIsRefusedBeforeAnything) {
    upload(picture("a"));
    service.forget_requests();
    for (const auto& [owner, repo] : std::vector<std::pair<std::string, std::string>>{
             {"bob", "pics/contents/x"}, {"..", "pics"}, {"bob", ""}, {"bob?", "pics"}}) {
        request.to = context;
        request.to.owner = owner;
        request.to.repo = repo;
        const MoveReport report = move_pictures(context, request);
        EXPECT_FALSE(report.started) << owner << "/" << repo;
        EXPECT_FALSE(report.error.empty());
    }
    EXPECT_EQ(service.requests().size(), 0u);
}

TEST_F(PictureMoveTest, ARecordFileThatCannotBeReadIsNoEmptyStore) {
    upload(picture("a"));
    const std::filesystem::path records = local_record_file_path(dir.path());
    std::filesystem::rename(records, dir.path() / "kept.ini");
    std::filesystem::create_directory(records);
    const MoveReport report = move_pictures(context, request);
    EXPECT_FALSE(report.started);
    EXPECT_FALSE(report.error.empty());
    EXPECT_FALSE(file_exists(request.map_path));
}

TEST(MoveJournal, TheMapFollowsEveryChainOnceAndSkipsTornOrMalformedLines) {
    struct Case {
        const char* name;
        std::string journal;
        std::string map;
    };
    const Case cases[] = {
        {"plain", "A\tB\nC\tD\n", "A\tB\nC\tD\n"},
        {"repeated after a kill", "A\tB\nA\tB\nC\tD\n", "A\tB\nC\tD\n"},
        {"moved twice", "A\tB\nB\tC\n", "A\tC\nB\tC\n"},
        {"moved back and on", "A\tB\nB\tA\nA\tC\n", "A\tC\nB\tC\n"},
        {"moved back", "A\tB\nB\tA\n", "B\tA\n"},
        {"cut off before the record changed", "A\tB\nA\tC\n", "A\tC\n"},
        {"torn last line", "A\tB\nC\tD", "A\tB\n"},
        {"malformed lines", "A\tB\nno tab\n\tX\nY\t\nE\tF\tG\n", "A\tB\n"},
        // Another picture's record comes to an old address: relink would carry it on to B, so its line stays out.
        {"another picture at an old address", "a\tB\nc\ta\n", "a\tB\n"},
        // A line from that address then moves the record that is there now, not the one that left.
        {"another picture moved on", "a\tB\nc\ta\na\tD\n", "a\tB\nc\tD\n"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(move_map_text(c.journal), c.map) << c.name;
}

TEST(MoveJournal, AnAppendCutsATornLastLineOffFirst) {
    test::TempDir dir;
    const std::filesystem::path journal = move_journal_path(dir.path() / "map.txt");
    std::ofstream(journal, std::ios::binary) << "A\tB\nC\tD-cut-sh";
    ASSERT_TRUE(append_move_journal(journal, "E", "F"));
    EXPECT_EQ(read_whole_file(journal), "A\tB\nE\tF\n");
    std::ofstream(journal, std::ios::binary) << "torn";
    ASSERT_TRUE(append_move_journal(journal, "G", "H"));
    EXPECT_EQ(read_whole_file(journal), "G\tH\n");
}

class MysqlMoveTest : public PictureMoveTest {
protected:
    void SetUp() override {
        PictureMoveTest::SetUp();
        ASSERT_TRUE(database.ok()) << test::shared_mariadb().error();
        context.record_mode = "mysql";
        context.mysql = database.settings();
        ASSERT_TRUE(MysqlRecordStore(context.mysql).ensure_record_table().ok);
    }
    test::TestDatabase database;
};

TEST_F(MysqlMoveTest, EveryMachinesRowsPointAtTheNewRepository) {
    const std::string a = picture("a"), b = picture("b");
    context.machine_code = "other machine";
    upload(a);
    context.machine_code = "this machine";
    upload(b);

    const MoveReport report = move_pictures(context, request);
    ASSERT_TRUE(report.complete()) << failures(report);
    EXPECT_EQ(report.records, 2u);
    EXPECT_EQ(report.count(Kind::moved), 2u);
    const std::vector<UploadRecord> rows = MysqlRecordStore(context.mysql).list_all_records();
    ASSERT_EQ(rows.size(), 2u);
    for (const UploadRecord& row : rows)
        EXPECT_EQ(row.ImgUrl, row.ImgMd5 == md5_hex(a) ? new_address(a) : new_address(b)) << row.UploadMachineCode;
    EXPECT_EQ(moved_bytes(a), a);
    EXPECT_EQ(moved_bytes(b), b);
    EXPECT_EQ(map_lines(request.map_path).size(), 2u);

    const MoveReport again = move_pictures(context, request);
    EXPECT_TRUE(again.complete());
    EXPECT_EQ(again.count(Kind::already_there), 2u);
}

} // namespace
} // namespace velpic
