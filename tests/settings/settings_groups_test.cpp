#include "settings/app_state.h"
#include "settings/settings_groups.h"
#include "settings/settings_store.h"
#include "runtime/codepage.h"
#include "runtime/files.h"
#include "runtime/ini_file.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

using namespace velpic;

namespace {

class SettingsGroupsTest : public ::testing::Test {
protected:
    std::filesystem::path file() const { return dir.file("settings.ini"); }
    SettingsStore store() const {
        return SettingsStore(
            file(), [] { return std::string("42"); }, [](const MysqlSettings&) {});
    }
    static SettingsPage gitee_page() {
        SettingsPage page;
        page.owner = "alice";
        page.repo = "pics";
        page.access_token = "tok";
        return page;
    }

    test::TempDir dir;
    AppState state;
};

} // namespace

TEST_F(SettingsGroupsTest, AnOlderFileReadsTheDefaultsAndKeepsItsSectionsByteForByte) {
    // A file as the program wrote it before the groups existed: saved, then the groups taken out again.
    ASSERT_TRUE(store().save(gitee_page(), false, state).saved);
    for (const char* section : {"编辑器上传服务", "上传选项", "链接检测"})
        ASSERT_TRUE(delete_ini_section(file(), utf8_to_gbk(section)));
    const std::string before = read_whole_file(file());
    ASSERT_EQ(before, utf8_to_gbk("[Gitee配置]\r\nOwner=alice\r\nRepo=pics\r\nAccess_Token=") +
                          read_ini_value(file(), utf8_to_gbk("Gitee配置"), "Access_Token") +
                          utf8_to_gbk("\r\n[记录方式]\r\n方式=本地\r\n"));

    AppState fresh;
    ASSERT_TRUE(store().load_at_start(fresh));
    const StateSnapshot snapshot = fresh.snapshot();
    EXPECT_FALSE(snapshot.editor_server.enabled);
    EXPECT_EQ(snapshot.editor_server.port, 36677);
    EXPECT_EQ(snapshot.editor_server.key, "");
    EXPECT_EQ(snapshot.link_format, LinkFormat::url);
    EXPECT_FALSE(snapshot.compress);
    EXPECT_TRUE(snapshot.archive); // on unless turned off
    EXPECT_EQ(snapshot.check_referer, "");
    EXPECT_EQ(snapshot.check_max_age_hours, 24);
    EXPECT_EQ(snapshot.check_rate, 8);
    const SettingsPage page = store().read_page();
    EXPECT_EQ(page.server_port, "36677");
    EXPECT_FALSE(page.server_enabled);

    // Saving the same page again leaves the older sections as they were and adds the groups after them.
    SettingsPage changed = page;
    changed.server_enabled = true;
    changed.server_port = "40001";
    changed.server_key = " key\"with=edges ";
    changed.link_format = LinkFormat::markdown;
    changed.compress = true;
    changed.archive = false;
    changed.check_referer = "https://blog.example/post?id=1";
    changed.check_max_age = "0";
    changed.check_rate = "0";
    ASSERT_TRUE(store().save(changed, false, state).saved);
    EXPECT_FALSE(state.snapshot().archive);
    EXPECT_FALSE(upload_context(state.snapshot(), dir.path()).keep_archive);
    const std::string after = read_whole_file(file());
    EXPECT_EQ(after.substr(0, before.size()), before);
    EXPECT_EQ(after.substr(before.size()), utf8_to_gbk("[编辑器上传服务]\r\nEnabled=1\r\nPort=40001\r\nKey=") +
                                               read_ini_value(file(), utf8_to_gbk("编辑器上传服务"), "Key") +
                                               utf8_to_gbk("\r\n[上传选项]\r\nLinkFormat=markdown\r\nCompress=1\r\nArchive=0\r\n"
                                                           "[链接检测]\r\nReferer=https://blog.example/post?id=1\r\n"
                                                           "MaxAgeHours=0\r\nRate=0\r\n"));
    // The key is stored enciphered like the token, and reads back whole.
    EXPECT_EQ(after.find("key\"with"), std::string::npos);
    EXPECT_EQ(store().read_page().server_key, " key\"with=edges ");

    // In force at once after the save, and at the next start.
    for (const StateSnapshot& in_force : {state.snapshot(), [&] {
                                              AppState next;
                                              store().load_at_start(next);
                                              return next.snapshot();
                                          }()}) {
        EXPECT_TRUE(in_force.editor_server.enabled);
        EXPECT_EQ(in_force.editor_server.port, 40001);
        EXPECT_EQ(in_force.editor_server.key, " key\"with=edges ");
        EXPECT_EQ(in_force.link_format, LinkFormat::markdown);
        EXPECT_TRUE(in_force.compress);
        EXPECT_EQ(in_force.check_referer, "https://blog.example/post?id=1");
        EXPECT_EQ(in_force.check_max_age_hours, 0);
        EXPECT_EQ(in_force.check_rate, 0);
    }

    // Values the page cannot produce read as the defaults.
    write_ini_value(file(), utf8_to_gbk("上传选项"), "LinkFormat", "MARKDOWN");
    write_ini_value(file(), utf8_to_gbk("编辑器上传服务"), "Enabled", "yes");
    EXPECT_EQ(store().read_page().link_format, LinkFormat::url);
    EXPECT_FALSE(store().read_page().server_enabled);
    write_ini_value(file(), utf8_to_gbk("链接检测"), "MaxAgeHours", "soon");
    AppState damaged;
    store().load_at_start(damaged);
    EXPECT_EQ(damaged.snapshot().check_max_age_hours, 24);
    write_ini_value(file(), utf8_to_gbk("链接检测"), "Rate", "-3");
    AppState slowed;
    store().load_at_start(slowed);
    EXPECT_EQ(slowed.snapshot().check_rate, 8);
}

TEST_F(SettingsGroupsTest, TheGroupChecksFollowTheGiteeChecksAndTheirValuesOutliveAFailedMysqlCheck) {
    const std::string port_message = utf8_to_gbk("服务端口必须是1到65535之间的数字");
    const std::string referer_refused =
        utf8_to_gbk("检测来源页只能为空，或是以http://或https://开头、不含控制字符的地址");
    ASSERT_EQ(server_port_message(), port_message);
    ASSERT_EQ(referer_message(), referer_refused);

    SettingsPage page = gitee_page();
    for (const char* bad : {"", "0", "65536", "99999", "123456", "12a", " 80", "-1", "８０"}) {
        page.server_port = utf8_to_gbk(bad);
        EXPECT_EQ(store().save(page, false, state).message, port_message) << bad;
    }
    EXPECT_FALSE(std::filesystem::exists(file())); // a failed check writes nothing
    for (const char* good : {"1", "65535", "08080"}) {
        page.server_port = good;
        EXPECT_TRUE(store().save(page, false, state).saved) << good;
    }
    page.server_port = "36677";
    for (const char* bad : {"ftp://x.example", "http://", "blog.example", "javascript:alert(1)", "http://a.example/\tb",
                            "https://a.example/\x7F", "http://a.example/\r\nX: y"}) {
        page.check_referer = bad;
        EXPECT_EQ(store().save(page, false, state).message, referer_refused) << bad;
    }
    for (const char* good : {"", "http://a.example", "HTTPS://Blog.Example/路径?q=1"}) {
        page.check_referer = utf8_to_gbk(good);
        EXPECT_TRUE(store().save(page, false, state).saved) << good;
    }
    ASSERT_EQ(check_max_age_message(), utf8_to_gbk("复查间隔必须是0到8760之间的小时数"));
    for (const char* bad : {"", "-1", "8761", "99999", "1.5", " 24", "二十四"}) {
        page.check_max_age = utf8_to_gbk(bad);
        EXPECT_EQ(store().save(page, false, state).message, check_max_age_message()) << bad;
    }
    for (const char* good : {"0", "1", "0024", "8760"}) {
        page.check_max_age = good;
        EXPECT_TRUE(store().save(page, false, state).saved) << good;
    }
    EXPECT_EQ(state.snapshot().check_max_age_hours, 8760);
    ASSERT_EQ(check_rate_message(),
              utf8_to_gbk("检测速率必须是0到1000之间的数字（每秒向同一网站发出的检测数，0为不限）"));
    for (const char* bad : {"", "-1", "1001", "99999", "2.5", " 8", "八"}) {
        page.check_rate = utf8_to_gbk(bad);
        EXPECT_EQ(store().save(page, false, state).message, check_rate_message()) << bad;
    }
    for (const char* good : {"1000", "0", "008", "3"}) {
        page.check_rate = good;
        EXPECT_TRUE(store().save(page, false, state).saved) << good;
    }
    EXPECT_EQ(state.snapshot().check_rate, 3);

    // The empty Gitee boxes come first, then the port, then the referer.
    page.server_port = "0";
    page.check_referer = "ftp://x";
    page.owner.clear();
    EXPECT_EQ(store().save(page, false, state).message, utf8_to_gbk("Owner不能为空"));
    page.owner = "alice";
    EXPECT_EQ(store().save(page, false, state).message, port_message);

    // Saved with the Gitee values: a MySQL check that fails later does not lose them.
    page.server_port = "40002";
    page.check_referer = "http://blog.example";
    page.server_enabled = true;
    const SaveResult result = store().save(page, true, state);
    EXPECT_EQ(result.message, utf8_to_gbk("服务器地址不能为空"));
    EXPECT_EQ(store().read_page().server_port, "40002");
    EXPECT_EQ(store().read_page().check_referer, "http://blog.example");
    EXPECT_EQ(state.snapshot().editor_server.port, 40002);
    EXPECT_TRUE(state.snapshot().editor_server.enabled);
}
