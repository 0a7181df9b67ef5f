// `velpic delete`, `velpic restore` and `velpic backup` against the stand-in of the service.
#include "cli/command_runner.h"

#include "records/local_record_file.h"
#include "runtime/files.h"
#include "runtime/md5.h"
#include "runtime/program_dir.h"
#include "settings/app_state.h"
#include "settings/settings_store.h"
#include "support/temp_dir.h"
#include "support/test_service.h"
#include "upload/picture_archive.h"

#include <gtest/gtest.h>

#include <fstream>

namespace velpic {
namespace {

using test::run_command;
using test::TestService;

class PictureCommandsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(service.running());
        setenv("VELPIC_SERVICE_BASE", service.base().c_str(), 1);
        set_program_dir(dir.path());
        SettingsPage page;
        page.owner = "alice";
        page.repo = "pics";
        page.access_token = "tok";
        AppState state;
        ASSERT_TRUE(SettingsStore(settings_file_path()).save(page, false, state).gitee_saved);
    }
    void TearDown() override { unsetenv("VELPIC_SERVICE_BASE"); }

    // Uploads bytes as a file through `velpic upload`; returns the address.
    std::string upload(const std::string& name, const std::string& bytes) {
        const std::filesystem::path file = dir.file(name);
        std::ofstream(file, std::ios::binary) << bytes;
        const test::CommandOutcome outcome = run_command({"upload", file.string()});
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        return outcome.out.substr(0, outcome.out.find('\n'));
    }
    bool at_service(const std::string& bytes) const {
        return service.file("alice", "pics", md5_hex(bytes) + ".png").has_value();
    }

    TestService service;
    test::TempDir dir;
    const std::string a = std::string("\x89PNG\r\n\x1a\n", 8) + "picture a";
    const std::string b = std::string("\x89PNG\r\n\x1a\n", 8) + "picture b";
};

TEST_F(PictureCommandsTest, DeleteTakesEachPictureDownAndSaysWhenNothingIsLeft) {
    const std::string address_a = upload("a.png", a);
    upload("b.png", b);
    EXPECT_EQ(run_command({"delete"}).status, 2);

    const test::CommandOutcome deleted = run_command({"delete", address_a, "--keep-archive", md5_hex(b)});
    EXPECT_EQ(deleted.status, 0) << deleted.err;
    EXPECT_EQ(deleted.out, address_a + ": 已删除仓库中的文件、记录\n" + md5_hex(b) + ": 已删除仓库中的文件、记录\n");
    EXPECT_FALSE(at_service(a));
    EXPECT_FALSE(at_service(b));
    EXPECT_TRUE(read_all_local_records(local_record_file_path()).empty());
    EXPECT_TRUE(has_verified_copy(dir.path(), md5_hex(a)));

    const test::CommandOutcome again = run_command({"delete", md5_hex(a)});
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(again.out, md5_hex(a) + ": 已删除本地存档\n");
    const test::CommandOutcome nothing = run_command({"delete", md5_hex(a)});
    EXPECT_EQ(nothing.status, 0);
    EXPECT_NE(nothing.out.find("没有需要删除的内容"), std::string::npos) << nothing.out;

    const test::CommandOutcome bad = run_command({"delete", "no-such-picture"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("no-such-picture: 删除失败"), std::string::npos) << bad.err;
}

TEST_F(PictureCommandsTest, RestoreBringsBackWhatTheServiceLostUnderTheSameAddress) {
    const std::string address_a = upload("a.png", a);
    upload("b.png", b);
    service.lose_file("alice", "pics", md5_hex(a) + ".png");

    const test::CommandOutcome restored = run_command({"restore"});
    EXPECT_EQ(restored.status, 0) << restored.err;
    EXPECT_EQ(restored.out, md5_hex(a) + "\t" + address_a + "\n");
    EXPECT_TRUE(at_service(a));
    const test::CommandOutcome check = run_command({"check"});
    EXPECT_EQ(check.status, 0) << check.out;

    // Named digests: one already there, one without a record.
    const test::CommandOutcome named = run_command({"restore", md5_hex(b), std::string(32, 'e')});
    EXPECT_EQ(named.status, 1);
    EXPECT_EQ(named.out, md5_hex(b) + "\t" + service.download_url("alice", "pics", md5_hex(b) + ".png") + "\n");
    EXPECT_NE(named.err.find("没有这张图片的记录，本地存档中也没有它"), std::string::npos) << named.err;
}

TEST_F(PictureCommandsTest, BackupExitsByWhetherEveryRecordHasAVerifiedCopy) {
    upload("a.png", a);
    upload("b.png", b);
    ASSERT_TRUE(remove_archive_copy(dir.path(), md5_hex(a)));
    ASSERT_TRUE(remove_archive_copy(dir.path(), md5_hex(b)));
    service.lose_file("alice", "pics", md5_hex(b) + ".png");

    const test::CommandOutcome partial = run_command({"backup"});
    EXPECT_EQ(partial.status, 1);
    EXPECT_NE(partial.err.find(md5_hex(b) + ": 已失效"), std::string::npos) << partial.err;
    EXPECT_TRUE(has_verified_copy(dir.path(), md5_hex(a)));

    service.put_file("alice", "pics", md5_hex(b) + ".png", b);
    const test::CommandOutcome complete = run_command({"backup", "--jobs", "2"});
    EXPECT_EQ(complete.status, 0) << complete.err;
    EXPECT_TRUE(has_verified_copy(dir.path(), md5_hex(b)));
    EXPECT_EQ(run_command({"backup", "--jobs", "99"}).status, 2);
}

TEST_F(PictureCommandsTest, MovePointsTheSettingsAtTheNewRepositoryOnlyOnceEveryPictureIsThere) {
    const std::string address_a = upload("a.png", a);
    const std::string address_b = upload("b.png", b);
    for (const std::vector<std::string>& misuse :
         {std::vector<std::string>{"move"}, {"move", "--to", "bob"}, {"move", "--to", "bob/pics/contents"},
          {"move", "--to", "bob/new-pics", "extra"}, {"move", "--to", "bob/new-pics", "--jobs", "0"}})
        EXPECT_EQ(run_command(misuse).status, 2) << misuse.back();

    const std::string path_b = md5_hex(b) + ".png";
    service.put_file("bob", "new-pics", path_b, "other bytes");
    const test::CommandOutcome partial = run_command({"move", "--to", "bob/new-pics"});
    EXPECT_EQ(partial.status, 1);
    EXPECT_NE(partial.err.find("失败 1"), std::string::npos) << partial.err;
    EXPECT_NE(partial.err.find(md5_hex(b) + ": 仓库中已有同名文件"), std::string::npos) << partial.err;
    EXPECT_EQ(SettingsStore(settings_file_path()).read_page().repo, "pics");
    const std::filesystem::path map = dir.path() / std::filesystem::path(u8"搬家映射.txt");
    EXPECT_FALSE(std::filesystem::exists(map));

    service.lose_file("bob", "new-pics", path_b);
    const test::CommandOutcome moved = run_command({"move", "--to", "bob/new-pics"});
    ASSERT_EQ(moved.status, 0) << moved.err;
    EXPECT_EQ(moved.out, map.string() + "\n");
    EXPECT_NE(moved.err.find("已搬家 1，已在新仓库 1，失败 0"), std::string::npos) << moved.err;
    const SettingsPage page = SettingsStore(settings_file_path()).read_page();
    EXPECT_EQ(page.owner, "bob");
    EXPECT_EQ(page.repo, "new-pics");
    EXPECT_EQ(page.access_token, "tok");
    const std::string map_bytes = read_whole_file(map);
    EXPECT_EQ(map_bytes, address_a + "\t" + service.download_url("bob", "new-pics", md5_hex(a) + ".png") + "\n" +
                             address_b + "\t" + service.download_url("bob", "new-pics", path_b) + "\n");

    // The settings name the new repository now, and the same move again changes nothing.
    const test::CommandOutcome again = run_command({"move", "--to", "bob/new-pics"});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_NE(again.err.find("已搬家 0，已在新仓库 2，失败 0"), std::string::npos) << again.err;
    EXPECT_EQ(again.out, map.string() + "\n");
    EXPECT_EQ(read_whole_file(map), map_bytes);
}

} // namespace
} // namespace velpic
