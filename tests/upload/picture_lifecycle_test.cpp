// Delete, restore and backup of single pictures against the stand-in of the service.
#include "upload/picture_backup.h"
#include "upload/picture_delete.h"
#include "upload/picture_restore.h"

#include "records/link_check.h"
#include "records/local_record_file.h"
#include "records/mysql_record_store.h"
#include "runtime/codepage.h"
#include "runtime/md5.h"
#include "support/mariadb_server.h"
#include "support/temp_dir.h"
#include "support/service_context.h"
#include "support/test_service.h"
#include "upload/picture_archive.h"

#include <gtest/gtest.h>

#include <fstream>

namespace velpic {
namespace {

using test::TestService;

std::string picture(const std::string& tail) {
    return std::string("\x89PNG\r\n\x1a\n", 8) + tail;
}

class PictureLifecycleTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(service.running());
        context = test::service_upload_context(service, dir.path());
    }
    void TearDown() override { unsetenv("VELPIC_SERVICE_BASE"); }

    std::string upload(const std::string& bytes) {
        CollectingReporter reporter;
        const UploadResult result = upload_picture(context, ".png", bytes, reporter);
        EXPECT_TRUE(result.ok) << to_utf8(result.address);
        return result.address;
    }
    bool at_service(const std::string& bytes) const {
        return service.file("alice", "pics", md5_hex(bytes) + ".png").has_value();
    }
    std::optional<std::string> record_of(const std::string& bytes) const {
        return find_local_record(local_record_file_path(dir.path()), md5_hex(bytes));
    }
    LinkStatus check(const std::string& bytes) const {
        const std::string digest = md5_hex(bytes);
        const LinkTarget target{service.base() + "alice/pics/raw/master/" + digest + ".png", ".png", digest};
        LinkStatus status = LinkStatus::pending;
        LinkCheckEvents events;
        events.finished = [&](std::size_t, LinkStatus s) { status = s; };
        check_links({target}, LinkCheckOptions{}, events);
        return status;
    }

    TestService service;
    test::TempDir dir;
    UploadContext context;
};

TEST_F(PictureLifecycleTest, DeleteTakesDownTheFileThenTheRecordThenTheCopyAndRepeatsAsNothingToDo) {
    const std::string a = picture("a"), b = picture("b"), c = picture("c");
    upload(a);
    const std::string address_b = upload(b);
    upload(c);

    const DeleteOutcome by_digest = delete_picture(context, md5_hex(a), false);
    EXPECT_TRUE(by_digest.ok) << to_utf8(by_digest.reason);
    EXPECT_TRUE(by_digest.file_deleted && by_digest.record_removed && by_digest.copy_removed);
    EXPECT_FALSE(at_service(a));
    EXPECT_FALSE(record_of(a));
    EXPECT_EQ(find_archive_copy(dir.path(), md5_hex(a)).state, ArchivedPicture::State::missing);
    // The DELETE carried the blob SHA the lookup gave, the token and a message.
    const auto deletes = service.count_requests("DELETE", "/api/v5/repos/alice/pics/contents/");
    EXPECT_EQ(deletes, 1u);

    // By address, keeping the copy; the other pictures stay.
    const DeleteOutcome by_address = delete_picture(context, address_b, true);
    EXPECT_TRUE(by_address.ok) << to_utf8(by_address.reason);
    EXPECT_FALSE(at_service(b));
    EXPECT_FALSE(record_of(b));
    EXPECT_TRUE(has_verified_copy(dir.path(), md5_hex(b)));
    EXPECT_TRUE(at_service(c));
    EXPECT_TRUE(record_of(c));

    // Again: nothing left to do, and that is not a failure.
    const DeleteOutcome again = delete_picture(context, md5_hex(a), false);
    EXPECT_TRUE(again.nothing_to_do()) << to_utf8(delete_summary(again));

    // Texts that name no picture of this repository are refused before anything is sent.
    service.forget_requests();
    for (const std::string& bad :
         {std::string("not-a-digest"), "https://elsewhere.test/alice/pics/raw/master/" + md5_hex(c) + ".png",
          service.base() + "alice/pics/raw/master/readme.md"}) {
        const DeleteOutcome refused = delete_picture(context, bad, false);
        EXPECT_FALSE(refused.ok) << bad;
    }
    EXPECT_TRUE(service.requests().empty());
    EXPECT_TRUE(record_of(c));
}

TEST_F(PictureLifecycleTest, ARefusedOrUnansweredDeleteKeepsTheRecordAndTheCopy) {
    const std::string a = picture("a");
    upload(a);
    const std::string path = "/api/v5/repos/alice/pics/contents/" + md5_hex(a) + ".png";
    test::ServiceAnswer refused;
    refused.status = 403;
    refused.body = R"({"message":"forbidden"})";
    service.preset_answer("DELETE", path, refused);
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (attempt == 1) // the service deletes it, but the answer never arrives
            service.preset_delivery("DELETE", path, test::Delivery::dropped());
        const DeleteOutcome outcome = delete_picture(context, md5_hex(a), false);
        EXPECT_FALSE(outcome.ok) << attempt;
        EXPECT_TRUE(record_of(a)) << attempt;
        EXPECT_TRUE(has_verified_copy(dir.path(), md5_hex(a))) << attempt;
    }
    // The dropped answer's delete did happen: the next run finds the file gone and finishes.
    const DeleteOutcome finished = delete_picture(context, md5_hex(a), false);
    EXPECT_TRUE(finished.ok) << to_utf8(finished.reason);
    EXPECT_FALSE(finished.file_deleted);
    EXPECT_TRUE(finished.record_removed);
    EXPECT_FALSE(record_of(a));
}

TEST_F(PictureLifecycleTest, ALostFileIsRestoredUnderTheSameAddress) {
    const std::string a = picture("a");
    const std::string address = upload(a);
    service.lose_file("alice", "pics", md5_hex(a) + ".png");
    EXPECT_EQ(check(a), LinkStatus::expired);

    const RestoreOutcome restored = restore_picture(context, md5_hex(a));
    EXPECT_EQ(restored.kind, RestoreOutcome::Kind::restored) << to_utf8(restored.reason);
    EXPECT_EQ(restored.address, address);
    EXPECT_EQ(check(a), LinkStatus::valid);
    EXPECT_EQ(service.file("alice", "pics", md5_hex(a) + ".png")->bytes, a);

    // There already: nothing to do.
    EXPECT_EQ(restore_picture(context, md5_hex(a)).kind, RestoreOutcome::Kind::already_there);
}

TEST_F(PictureLifecycleTest, RestoreRefusesWhatItCannotVouchFor) {
    const std::string a = picture("a"), b = picture("b"), c = picture("c");
    upload(a);
    upload(b);
    // Other bytes under the name: a conflict, left alone.
    service.lose_file("alice", "pics", md5_hex(a) + ".png");
    service.put_file("alice", "pics", md5_hex(a) + ".png", picture("intruder"));
    EXPECT_EQ(restore_picture(context, md5_hex(a)).kind, RestoreOutcome::Kind::conflict);
    EXPECT_EQ(service.file("alice", "pics", md5_hex(a) + ".png")->bytes, picture("intruder"));

    // A damaged copy is never sent; a missing one is said so.
    service.lose_file("alice", "pics", md5_hex(b) + ".png");
    std::ofstream(archive_copy_path(dir.path(), md5_hex(b), ".png"), std::ios::trunc) << "rot";
    EXPECT_EQ(restore_picture(context, md5_hex(b)).kind, RestoreOutcome::Kind::no_copy);
    ASSERT_TRUE(remove_archive_copy(dir.path(), md5_hex(b)));
    EXPECT_EQ(restore_picture(context, md5_hex(b)).kind, RestoreOutcome::Kind::no_copy);
    EXPECT_FALSE(at_service(b));

    EXPECT_EQ(restore_picture(context, md5_hex(c)).kind, RestoreOutcome::Kind::no_record);
}

TEST_F(PictureLifecycleTest, AfterTheRepositoryWasEmptiedTheArchiveBringsPicturesBackWithTheirRecords) {
    const std::string a = picture("a");
    const std::string address = upload(a);
    service.lose_file("alice", "pics", md5_hex(a) + ".png");
    ASSERT_TRUE(remove_local_record(local_record_file_path(dir.path()), md5_hex(a)));

    const RestoreOutcome restored = restore_picture(context, md5_hex(a));
    EXPECT_EQ(restored.kind, RestoreOutcome::Kind::restored) << to_utf8(restored.reason);
    EXPECT_EQ(restored.address, address);
    EXPECT_EQ(record_of(a), address);
    EXPECT_TRUE(at_service(a));
}

TEST_F(PictureLifecycleTest, BackupFetchesAndVerifiesEveryPictureWithoutACopyOnce) {
    context.keep_archive = false; // records made before the archive existed
    const std::string good1 = picture("one"), good2 = picture("two"), swapped = picture("swap"), lost = picture("x");
    for (const std::string* bytes : {&good1, &good2, &swapped, &lost})
        upload(*bytes);
    service.lose_file("alice", "pics", md5_hex(swapped) + ".png");
    service.put_file("alice", "pics", md5_hex(swapped) + ".png", picture("another picture"));
    service.lose_file("alice", "pics", md5_hex(lost) + ".png");

    std::size_t reported = 0;
    BackupReport report =
        backup_pictures(context, LinkCheckOptions{}, [&](const BackupItem&, std::size_t, std::size_t) { ++reported; });
    EXPECT_TRUE(report.listed);
    EXPECT_FALSE(report.complete());
    EXPECT_EQ(report.records, 4u);
    EXPECT_EQ(reported, 4u);
    std::map<std::string, std::string> reasons;
    for (const BackupItem& item : report.items)
        reasons[item.digest] = item.ok ? "ok" : to_utf8(item.reason);
    EXPECT_EQ(reasons[md5_hex(good1)], "ok");
    EXPECT_EQ(reasons[md5_hex(good2)], "ok");
    EXPECT_EQ(reasons[md5_hex(swapped)], to_utf8(digest_mismatch_reason()));
    EXPECT_EQ(reasons[md5_hex(lost)], "已失效");
    EXPECT_EQ(find_archive_copy(dir.path(), md5_hex(good1)).bytes, good1);
    EXPECT_EQ(find_archive_copy(dir.path(), md5_hex(swapped)).state, ArchivedPicture::State::missing);

    // A second run fetches only what is still missing.
    ASSERT_TRUE(delete_picture(context, md5_hex(swapped), false).ok);
    ASSERT_TRUE(delete_picture(context, md5_hex(lost), false).ok);
    service.forget_requests();
    report = backup_pictures(context, LinkCheckOptions{});
    EXPECT_TRUE(report.complete());
    EXPECT_EQ(report.already_kept, 2u);
    EXPECT_EQ(service.count_requests("GET", "/alice/pics/raw/"), 0u);
}

class MysqlDeleteTest : public PictureLifecycleTest {
protected:
    void SetUp() override {
        PictureLifecycleTest::SetUp();
        ASSERT_TRUE(database.ok()) << test::shared_mariadb().error();
        context.record_mode = "mysql";
        context.mysql = database.settings();
        ASSERT_TRUE(MysqlRecordStore(context.mysql).ensure_record_table().ok);
    }
    test::TestDatabase database;
};

TEST_F(MysqlDeleteTest, TheRowOfTheDigestGoesWhicheverMachineWroteIt) {
    const std::string a = picture("a"), b = picture("b");
    context.machine_code = "other machine";
    upload(a);
    context.machine_code = "this machine";
    upload(b);
    const DeleteOutcome outcome = delete_picture(context, md5_hex(a), false);
    EXPECT_TRUE(outcome.ok && outcome.record_removed) << to_utf8(outcome.reason);
    const MysqlRecordStore store(context.mysql);
    EXPECT_FALSE(store.find_recorded_address(md5_hex(a)));
    EXPECT_TRUE(store.find_recorded_address(md5_hex(b)));
    EXPECT_FALSE(at_service(a));
}

} // namespace
} // namespace velpic
