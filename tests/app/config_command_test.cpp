#include "cli/command_runner.h"
#include "window_harness.h"

#include "settings/settings_store.h"
#include "runtime/files.h"
#include "support/mariadb_server.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <sys/stat.h>
#include <tuple>

using namespace velpic;
using namespace velpic::test;

namespace {

class ConfigCommandTest : public WindowTest {
protected:
    // Runs `velpic --data-dir DIR config ARGS...` for the program directory dir.
    CommandOutcome config(std::vector<std::string> args, const std::string& input = {}) {
        args.insert(args.begin(), {"--data-dir", dir.path().string(), "config"});
        return run_command(std::move(args), input);
    }
    std::string stored() const { return read_whole_file(settings_file_path()); }
};

// The line after the page's message names the setting and a command that sets it.
void expect_names_setting(const std::string& err, const std::string& setting) {
    const std::string hint = err.substr(err.find('\n') + 1);
    EXPECT_NE(hint.find("\"" + setting + "\""), std::string::npos) << hint;
    const std::size_t command = hint.find("velpic config set ");
    ASSERT_NE(command, std::string::npos) << hint;
    EXPECT_NE(hint.find(" " + setting + " ", command), std::string::npos) << hint;
}

} // namespace

TEST_F(ConfigCommandTest, SetRunsTheSavesChecksInOrderWithItsMessages) {
    const int no_server = MariaDbServer::unused_port();
    // Each run names what the one before lacked; like the page, a failed check of the Gitee values or of the
    // groups writes nothing, so the runs carry what came before.
    // The page's message names a field of a window the command line has not got, so a second line names the
    // setting and how to set it.
    const std::tuple<std::vector<std::string>, const char*, const char*> steps[] = {
        {{"mode", "local"}, "Owner不能为空", "owner"},
        {{"owner", "alice/pics/contents/evil?"}, "Repo不能为空", "repo"},
        {{"repo", ".."}, "AccessToken不能为空", "token"},
        {{"token", "tok", "server-port", "0"}, "Owner只能包含字母、数字、“-”、“_”和“.”", "owner"},
        {{"owner", "alice"}, "Repo只能包含字母、数字、“-”、“_”和“.”", "repo"},
        {{"repo", "pics"}, "服务端口必须是1到65535之间的数字", "server-port"},
        {{"server-port", "40003", "check-referer", "ftp://x"},
         "检测来源页只能为空，或是以http://或https://开头、不含控制字符的地址", "check-referer"},
        {{"check-max-age", "8761", "check-referer", "https://blog.example"}, "复查间隔必须是0到8760之间的小时数",
         "check-max-age"},
        {{"check-referer", "https://blog.example", "check-max-age", "6", "mode", "mysql"}, "服务器地址不能为空",
         "mysql-server"},
        {{"mysql-server", "127.0.0.1"}, "数据库用户名不能为空", "mysql-user"},
        {{"mysql-user", "bob"}, "数据库口令不能为空", "mysql-password"},
        {{"mysql-password", "pw"}, "数据库名称不能为空", "mysql-database"},
        {{"mysql-database", "images"}, "端口号不能为空", "mysql-port"},
    };
    std::vector<std::string> args{"set"};
    for (const auto& [more, message, setting] : steps) {
        args.insert(args.end(), more.begin(), more.end());
        const CommandOutcome result = config(args);
        EXPECT_EQ(result.status, 1) << message;
        EXPECT_EQ(result.out, "") << message;
        EXPECT_EQ(result.err.substr(0, result.err.find('\n') + 1), std::string(message) + "\n");
        expect_names_setting(result.err, setting);
        // From the MySQL checks on, the Gitee values and the groups are stored already.
        EXPECT_EQ(SettingsStore(settings_file_path()).read_page().owner.empty(),
                  more.front() != "check-referer" && more.front().rfind("mysql-", 0) != 0)
            << message;
    }
    // The last run only needs the one value still missing: everything else is merged from the file.
    const CommandOutcome saved = config({"set", "mysql-port", std::to_string(no_server), "mysql-server", "127.0.0.1",
                                         "mysql-user", "bob", "mysql-password", "-", "mysql-database", "images"},
                                        "db pass\r\n");
    EXPECT_EQ(saved.status, 0) << saved.err;
    EXPECT_EQ(saved.out, "保存成功！\n");

    // What "-" read is stored, without its line end; merged values stay.
    const CommandOutcome token = config({"set", "token", "-"}, "t0k\n");
    EXPECT_EQ(token.status, 0) << token.err;
    const SettingsPage page = SettingsStore(settings_file_path()).read_page();
    EXPECT_EQ(page.access_token, "t0k");
    EXPECT_EQ(page.database_password, "db pass");
    EXPECT_EQ(page.server_port, "40003");
    EXPECT_EQ(page.check_referer, "https://blog.example");
    EXPECT_TRUE(SettingsStore(settings_file_path()).stored_mysql_mode());

    // A zero byte read for a secret would cut it short unseen: refused, nothing written.
    const std::string before = stored();
    const CommandOutcome cut = config({"set", "server-key", "-"}, std::string("ab\0cd\n", 6));
    EXPECT_EQ(cut.status, 1);
    EXPECT_EQ(cut.err.substr(0, cut.err.find('\n') + 1), "服务密钥不能包含空字符\n");
    expect_names_setting(cut.err, "server-key");
    const CommandOutcome cut_token = config({"set", "token", "-"}, std::string("t\0k\n", 4));
    EXPECT_EQ(cut_token.err.substr(0, cut_token.err.find('\n') + 1), "AccessToken不能包含空字符\n");
    expect_names_setting(cut_token.err, "token");
    EXPECT_EQ(stored(), before);

    // Misuse changes nothing: unknown names, words outside their set, a missing value or input line.
    for (const std::vector<std::string>& misuse :
         std::vector<std::vector<std::string>>{{"set", "owner", "bob", "colour", "red"},
                                               {"set", "mode", "MySQL"},
                                               {"set", "compress", "yes"},
                                               {"set", "server-enabled", "1"},
                                               {"set", "link-format", "markdown ", "owner", "x"},
                                               {"set", "owner"},
                                               {"set"},
                                               {"set", "owner", "bob", "token", "-"},
                                               {"show", "extra"},
                                               {"frobnicate"}}) {
        const CommandOutcome refused = config(misuse);
        EXPECT_EQ(refused.status, 2) << misuse.back();
        EXPECT_NE(refused.err.find("velpic config: "), std::string::npos) << misuse.back();
        EXPECT_NE(refused.err.find("usage:"), std::string::npos) << misuse.back();
    }
    EXPECT_EQ(stored(), before);
}

TEST_F(ConfigCommandTest, SetWritesTheFileTheWindowsSaveWritesAndShowMasksTheSecrets) {
    const std::string no_server = std::to_string(MariaDbServer::unused_port());
    const CommandOutcome saved = config({"set",
                                         "owner",
                                         "alice",
                                         "repo",
                                         "pics",
                                         "token",
                                         "-",
                                         "mode",
                                         "mysql",
                                         "mysql-server",
                                         "127.0.0.1",
                                         "mysql-port",
                                         no_server,
                                         "mysql-user",
                                         "bob",
                                         "mysql-password",
                                         "p=w \"q\"",
                                         "mysql-database",
                                         "图片",
                                         "server-enabled",
                                         "on",
                                         "server-port",
                                         "40004",
                                         "server-key",
                                         "-",
                                         "link-format",
                                         "html",
                                         "compress",
                                         "on",
                                         "archive",
                                         "off",
                                         "check-referer",
                                         "https://blog.example/路径",
                                         "check-max-age",
                                         "6",
                                         "check-rate",
                                         "3"},
                                        "0123456789abcdef\nk3y\n");
    ASSERT_EQ(saved.status, 0) << saved.err;
    const std::string by_command = stored();
    struct stat info {};
    ASSERT_EQ(::stat(settings_file_path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    const CommandOutcome shown = config({"show"});
    EXPECT_EQ(shown.status, 0);
    EXPECT_EQ(shown.out, "service\tgitee\nowner\talice\nrepo\tpics\ntoken\t********\nbranch\t\nservice-url\t\n"
                         "address-prefix\t\nmode\tmysql\nmysql-server\t127.0.0.1\n"
                         "mysql-port\t" +
                             no_server +
                             "\nmysql-user\tbob\nmysql-password\t********\nmysql-database\t图片\n"
                             "server-enabled\ton\nserver-port\t40004\nserver-key\t********\n"
                             "token-store\tfile (default)\nlink-format\thtml\n"
                             "compress\ton\narchive\toff\ncheck-referer\thttps://blog.example/路径\ncheck-max-age\t6\n"
                             "check-rate\t3\n");

    // The same values typed into the page of a window over an empty directory, and saved there.
    std::filesystem::remove(settings_file_path());
    open_window();
    show_page(1);
    const std::pair<const char*, const char*> boxes[] = {
        {"编辑框_Owner", "alice"},
        {"编辑框_Repo", "pics"},
        {"编辑框_AccessToken", "0123456789abcdef"},
        {"编辑框_Server", "127.0.0.1"},
        {"编辑框_DataBaseUserName", "bob"},
        {"编辑框_DataBasePassword", "p=w \"q\""},
        {"编辑框_DatabaseName", "图片"},
        {"编辑框_服务端口", "40004"},
        {"编辑框_服务密钥", "k3y"},
        {"编辑框_检测来源页", "https://blog.example/路径"},
        {"编辑框_复查间隔", "6"},
        {"编辑框_检测速率", "3"},
    };
    for (const auto& [name, text] : boxes)
        find<QLineEdit>(name)->setText(QString::fromUtf8(text));
    find<QLineEdit>("编辑框_Prot")->setText(QString::fromStdString(no_server));
    QTest::mouseClick(find("单选框_记录方式_MySQL"), Qt::LeftButton);
    find<QCheckBox>("复选框_启用编辑器上传服务")->setChecked(true);
    find<QComboBox>("组合框_链接格式")->setCurrentIndex(2);
    find<QCheckBox>("复选框_压缩")->setChecked(true);
    ASSERT_TRUE(find<QCheckBox>("复选框_保留本地存档")->isChecked()) << "on by default";
    find<QCheckBox>("复选框_保留本地存档")->setChecked(false);
    find<QPushButton>("按钮_保存")->click();
    ASSERT_EQ(dialogs.messages.value(0), QStringLiteral("保存成功！"));
    EXPECT_EQ(stored(), by_command);
}

TEST_F(ConfigCommandTest, TestMysqlSaysSuccessOrErrorWithTheReason) {
    TestDatabase database;
    ASSERT_TRUE(database.ok()) << shared_mariadb().error();
    const MysqlSettings db = database.settings();
    ASSERT_EQ(config({"set", "owner", "a", "repo", "r", "token", "t", "mode", "mysql", "mysql-server", db.server,
                      "mysql-port", std::to_string(db.port), "mysql-user", db.user, "mysql-password", db.password,
                      "mysql-database", db.database})
                  .status,
              0);
    const CommandOutcome success = config({"test-mysql"});
    EXPECT_EQ(success.status, 0);
    EXPECT_EQ(success.out, "Success\n");

    ASSERT_EQ(config({"set", "mysql-password", "wrong"}).status, 0);
    const CommandOutcome failure = config({"test-mysql"});
    EXPECT_EQ(failure.status, 1);
    EXPECT_EQ(failure.out.rfind("Error: ", 0), 0u) << failure.out;
    EXPECT_NE(failure.out.find("Access denied"), std::string::npos) << failure.out;
}

TEST_F(ConfigCommandTest, EachServiceKeepsItsProfileAndSwitchingLosesNothing) {
    ASSERT_EQ(config({"set", "owner", "alice", "repo", "pics", "token", "-"}, "gitee-tok\n").status, 0);
    const std::string gitee_only = stored();
    EXPECT_EQ(gitee_only.find("Service="), std::string::npos) << "a gitee user's file keeps its old shape";

    // Another service's profile is saved without switching to it; its token is enciphered like gitee's.
    ASSERT_EQ(config({"set", "--service", "github", "owner", "bob", "repo", "photos", "token", "-"}, "gh-tok\n").status,
              0);
    EXPECT_EQ(stored().find("gh-tok"), std::string::npos);
    EXPECT_NE(config({"show"}).out.find("service\tgitee\nowner\talice\n"), std::string::npos);
    const CommandOutcome github = config({"show", "--service", "github"});
    EXPECT_NE(github.out.find("owner\tbob\nrepo\tphotos\ntoken\t********\n"), std::string::npos) << github.out;

    // `service` switches, wherever it stands among the names, and back again finds everything as it was.
    ASSERT_EQ(config({"set", "branch", "pages", "service", "github"}).status, 0);
    EXPECT_NE(config({"show"}).out.find("service\tgithub\nowner\tbob\nrepo\tphotos\ntoken\t********\nbranch\tpages\n"),
              std::string::npos);
    ASSERT_EQ(config({"set", "service", "gitee"}).status, 0);
    EXPECT_NE(config({"show"}).out.find("service\tgitee\nowner\talice\nrepo\tpics\ntoken\t********\nbranch\t\n"),
              std::string::npos);
    EXPECT_EQ(SettingsStore(settings_file_path()).read_profile(ServiceKind::github).access_token, "gh-tok");

    // gitea has no address of its own; plain http is taken, with a warning unless the forge is this machine.
    const std::vector<std::string> gitea = {"set", "--service", "gitea", "owner", "c", "repo", "d", "token", "t"};
    auto with = [&](std::vector<std::string> more) {
        std::vector<std::string> args = gitea;
        args.insert(args.end(), more.begin(), more.end());
        return config(args);
    };
    const CommandOutcome no_address = with({});
    EXPECT_EQ(no_address.status, 1);
    EXPECT_NE(no_address.err.find("服务地址"), std::string::npos) << no_address.err;
    for (const auto& [url, status, warned] : std::vector<std::tuple<std::string, int, bool>>{
             {"ftp://forge.lan/", 1, false},
             {"https://user@forge.lan/", 1, false},
             {"http://forge.lan/", 0, true},
             {"http://127.0.0.1:3000/", 0, false},
             {"https://codeberg.org/", 0, false}}) {
        const CommandOutcome saved = with({"service-url", url});
        EXPECT_EQ(saved.status, status) << url << saved.err;
        EXPECT_EQ(saved.err.find("明文") != std::string::npos, warned) << url << saved.err;
    }
    EXPECT_EQ(config({"set", "service", "nowhere"}).status, 2);
    EXPECT_EQ(config({"show", "--service", "nowhere"}).status, 2);
}
