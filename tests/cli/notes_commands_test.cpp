// `velpic publish` and `velpic relink` through the command line: options, settings, the default map of a move.
#include "cli/command_runner.h"
#include "notes/relink_map.h"
#include "runtime/md5.h"
#include "runtime/program_dir.h"
#include "settings/app_state.h"
#include "settings/settings_store.h"
#include "support/temp_dir.h"
#include "support/test_service.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace velpic {
namespace {

using test::run_command;

std::string bytes_of(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void write(const std::filesystem::path& file, const std::string& bytes) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << bytes;
}

class NotesCommandsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(service.running());
        setenv("VELPIC_SERVICE_BASE", service.base().c_str(), 1);
        set_program_dir(dir.path());
    }
    void TearDown() override { unsetenv("VELPIC_SERVICE_BASE"); }

    void save_settings() {
        SettingsPage page;
        page.owner = "alice";
        page.repo = "pics";
        page.access_token = "tok";
        AppState state;
        ASSERT_TRUE(SettingsStore(settings_file_path()).save(page, false, state).gitee_saved);
    }

    test::TestService service;
    test::TempDir dir;
};

TEST_F(NotesCommandsTest, PublishNeedsSettingsAndPathsThenRewritesTheNote) {
    const std::filesystem::path note = dir.path() / "notes" / "n.md";
    const std::string picture = std::string("\x89PNG\r\n\x1a\n", 8) + "cli";
    write(dir.path() / "notes" / "猫 1.png", picture);
    write(note, "![猫](<猫 1.png>)\r\n");

    EXPECT_EQ(run_command({"publish"}).status, 2);
    EXPECT_EQ(run_command({"publish", "--bogus", note.string()}).status, 2);
    const test::CommandOutcome unset = run_command({"publish", note.string()});
    EXPECT_EQ(unset.status, 2);
    EXPECT_NE(unset.err.find("请先填写配置！"), std::string::npos) << unset.err;

    save_settings();
    const std::string address = service.base() + "alice/pics/raw/master/" + md5_hex(picture) + ".png";
    const test::CommandOutcome dry = run_command({"publish", "--dry-run", note.string()});
    EXPECT_EQ(dry.status, 0) << dry.err;
    EXPECT_EQ(bytes_of(note), "![猫](<猫 1.png>)\r\n");
    EXPECT_EQ(dry.out, note.string() + ":1: 猫 1.png → " + address +
                           "\npublish (dry run): 1 reference would be rewritten in 1 of 1 note, 0 failed; "
                           "nothing was written\n");

    const test::CommandOutcome done = run_command({"publish", note.string()});
    EXPECT_EQ(done.status, 0) << done.err;
    EXPECT_EQ(bytes_of(note), "![猫](<" + address + ">)\r\n");
}

TEST_F(NotesCommandsTest, RelinkTakesTheMapOfTheLastMoveUnlessOneIsNamed) {
    const std::filesystem::path note = dir.path() / "n.txt";
    write(note, "see https://old.example/a.png\n");
    const test::CommandOutcome missing = run_command({"relink", note.string()});
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find("搬家映射.txt: cannot be read"), std::string::npos) << missing.err;

    write(move_map_path(dir.path()), "https://old.example/a.png\thttps://new.example/a.png\n");
    const test::CommandOutcome moved = run_command({"relink", note.string()});
    EXPECT_EQ(moved.status, 0) << moved.err;
    EXPECT_EQ(bytes_of(note), "see https://new.example/a.png\n");

    write(dir.path() / "other.txt", "https://new.example/a.png\thttps://third.example/a.png\n");
    const test::CommandOutcome named =
        run_command({"relink", "--map", (dir.path() / "other.txt").string(), "--dry-run", note.string()});
    EXPECT_EQ(named.status, 0) << named.err;
    EXPECT_EQ(bytes_of(note), "see https://new.example/a.png\n");
    EXPECT_NE(named.out.find(":1: https://new.example/a.png → https://third.example/a.png\n"), std::string::npos);
}

TEST_F(NotesCommandsTest, AGbkNoteIsLeftUnlessTheEncodingIsGiven) {
    save_settings();
    const std::filesystem::path note = dir.path() / "gbk.md";
    const std::string picture = std::string("\x89PNG\r\n\x1a\n", 8) + "gbk note";
    write(dir.path() / "p.png", picture);
    const std::string cat = "\xD6\xD0\xCE\xC4"; // 中文 in GBK: not UTF-8
    write(note, "# " + cat + "\n![" + cat + "](p.png)\n");

    const test::CommandOutcome left = run_command({"publish", note.string()});
    EXPECT_EQ(left.status, 1);
    EXPECT_EQ(bytes_of(note), "# " + cat + "\n![" + cat + "](p.png)\n");
    EXPECT_EQ(run_command({"publish", "--encoding", "latin-1", note.string()}).status, 2);

    const test::CommandOutcome published = run_command({"publish", "--encoding", "gbk", note.string()});
    EXPECT_EQ(published.status, 0) << published.err;
    EXPECT_EQ(bytes_of(note), "# " + cat + "\n![" + cat + "](" + service.base() + "alice/pics/raw/master/" +
                                  md5_hex(picture) + ".png)\n");
}

} // namespace
} // namespace velpic
