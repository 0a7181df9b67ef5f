#include "cli/command_line.h"

#include "settings/app_state.h"
#include "settings/machine_code.h"
#include "settings/settings_store.h"
#include "cli/command_runner.h"
#include "records/local_record_file.h"
#include "records/mysql_record_store.h"
#include "runtime/codepage.h"
#include "runtime/md5.h"
#include "runtime/program_dir.h"
#include "support/mariadb_server.h"
#include "support/temp_dir.h"
#include "support/test_service.h"
#include "support/test_pictures.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <future>
#include <iterator>

namespace velpic {
namespace {

using test::TestService;

using Outcome = test::CommandOutcome;

// Bytes that pass for a PNG picture, told apart by text.
std::string png(const std::string& text) {
    return std::string("\x89PNG\r\n\x1a\n", 8) + text;
}

Outcome run(std::vector<std::string> args) {
    return test::run_command(std::move(args));
}

bool detects(std::vector<std::string> args) {
    test::Argv argv(std::move(args));
    return is_command_line(argv.argc(), argv.pointers.data());
}

class CommandLineTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(service.running());
        setenv("VELPIC_SERVICE_BASE", service.base().c_str(), 1);
        set_program_dir(dir.path());
    }
    void TearDown() override { unsetenv("VELPIC_SERVICE_BASE"); }

    void save_settings(bool mysql, const MysqlSettings& db = {}) {
        SettingsPage page;
        page.owner = "alice";
        page.repo = "pics";
        page.access_token = "tok";
        page.server = db.server;
        page.port = std::to_string(db.port);
        page.database_user = db.user;
        page.database_password = db.password;
        page.database_name = db.database;
        AppState state;
        ASSERT_TRUE(SettingsStore(settings_file_path()).save(page, mysql, state).gitee_saved);
    }
    std::filesystem::path picture(const std::string& name, const std::string& bytes) {
        std::filesystem::path path = dir.path() / "in" / name;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    std::string address(const std::string& bytes, const std::string& extension) {
        return service.base() + "alice/pics/raw/master/" + md5_hex(bytes) + extension;
    }

    TestService service;
    test::TempDir dir;
};

TEST(CommandLineDetection, TakesOnlyItsOwnCommands) {
    EXPECT_TRUE(detects({"upload", "a.png"}));
    EXPECT_TRUE(detects({"records"}));
    EXPECT_TRUE(detects({"--help"}));
    EXPECT_FALSE(detects({}));
    EXPECT_FALSE(detects({"-platform", "offscreen"}));
    EXPECT_FALSE(detects({"--screenshot-page", "1", "x.png"}));
}

TEST_F(CommandLineTest, UploadPrintsOneAddressPerFileInOrderAndFailsForBadOnes) {
    save_settings(false);
    const std::string one = png("first picture"), two = png("second picture");
    auto first = picture("with space 猫.png", one);
    auto second = picture("年.jpeg", two);
    auto refused = picture("drawing.bmp", "x");

    Outcome result = run({"upload", first.string(), second.string()});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, address(one, ".png") + "\n" + address(two, ".jpeg") + "\n");
    EXPECT_EQ(result.err, "");

    // Known pictures are not sent again; a refused extension and a missing file are told on stderr and keep
    // their (empty) line, so that the addresses still stand at their files' positions.
    service.forget_requests();
    result = run({"upload", refused.string(), second.string(), (dir.path() / "missing.gif").string()});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "\n" + address(two, ".jpeg") + "\n\n");
    // Their reasons are the window's texts, in UTF-8.
    EXPECT_NE(result.err.find("drawing.bmp: 只能是PNG,JPG,GIF,WEBP格式的图片！\n"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("missing.gif: 上传失败！[错误原因：文件无法读取或为空]\n"), std::string::npos)
        << result.err;
    EXPECT_EQ(service.requests().size(), 0u);

    // The service's refusal is the failure message, in UTF-8.
    service.set_access_token("other");
    result = run({"upload", picture("new.gif", png("new")).string()});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "\n");
    EXPECT_NE(result.err.find("上传失败！[错误原因：访问令牌错误或已失效（HTTP 401：401 Unauthorized"), std::string::npos)
        << result.err;

    result = run({"records"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, md5_hex(one) + "\t.png\t" + address(one, ".png") + "\n" + md5_hex(two) + "\t.jpeg\t" +
                              address(two, ".jpeg") + "\n");
}

TEST_F(CommandLineTest, ServeSaysWhyItCannotStartInTheWindowsLanguage) {
    // A port another program listens on.
    const int holder = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(holder, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(holder, 1), 0);
    socklen_t size = sizeof address;
    ::getsockname(holder, reinterpret_cast<sockaddr*>(&address), &size);
    const std::string port = std::to_string(ntohs(address.sin_port));

    Outcome taken = run({"serve", "--port", port});
    ::close(holder);
    EXPECT_EQ(taken.status, 1);
    EXPECT_NE(taken.err.find("velpic serve：无法在 127.0.0.1:" + port + " 上监听：端口已被其他程序占用"),
              std::string::npos)
        << taken.err;
    EXPECT_EQ(taken.err.find("Address already in use"), std::string::npos) << taken.err;
}

TEST_F(CommandLineTest, AFifoInPlaceOfTheSettingsOrRecordFileIsRefusedAtOnce) {
    const std::string bytes = png("piped picture");
    const std::string file = picture("p.png", bytes).string();
    for (const char* name : {"配置.ini", "本地记录.ini"}) {
        std::filesystem::remove_all(dir.path() / "配置.ini");
        std::filesystem::remove_all(dir.path() / "本地记录.ini");
        save_settings(false);
        const std::filesystem::path fifo = dir.path() / name;
        std::filesystem::remove(fifo);
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
        for (const std::vector<std::string>& args : {std::vector<std::string>{"upload", file},
                                                    std::vector<std::string>{"records"}}) {
            auto running = std::async(std::launch::async, [&] { return run(args); });
            if (running.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
                ::close(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK)); // lets a blocked reader go
                running.wait();
                FAIL() << args[0] << " blocked on a FIFO named " << name;
            }
            const Outcome result = running.get();
            EXPECT_NE(result.status, 0) << name << " " << args[0];
            EXPECT_NE(result.err.find("不是普通文件（如管道或设备）"), std::string::npos) << result.err;
            EXPECT_NE(result.err.find(name), std::string::npos) << result.err;
        }
    }
    EXPECT_EQ(service.requests().size(), 0u);
}

TEST_F(CommandLineTest, ASettingWithANulByteIsRefusedNotCut) {
    save_settings(false);
    // Written by hand: cut at the NUL, the owner would be "al" and the picture would go into al/pics.
    std::string bytes;
    {
        std::ifstream in(settings_file_path(), std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), {});
    }
    const std::size_t owner = bytes.find("Owner=alice");
    ASSERT_NE(owner, std::string::npos);
    bytes.replace(owner, 11, std::string("Owner=al\0ice", 12));
    std::ofstream(settings_file_path(), std::ios::binary | std::ios::trunc) << bytes;

    const Outcome result = run({"upload", picture("p.png", png("nul owner")).string()});
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find("Owner不能包含空字符"), std::string::npos) << result.err;
    EXPECT_EQ(run({"records"}).status, 1);
    EXPECT_EQ(service.requests().size(), 0u);
}

TEST_F(CommandLineTest, UploadFormatsEachLinkAndCompressesLargePicturesWhenAsked) {
    save_settings(false);
    const std::string one = png("plain picture");
    const auto first = picture("a [b].png", one);
    Outcome result = run({"upload", "--format", "markdown", first.string()});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "![a \\[b\\]](" + address(one, ".png") + ")\n");
    result = run({"upload", "--format=html", first.string()});
    EXPECT_EQ(result.out, "<img src=\"" + address(one, ".png") + "\" alt=\"a [b]\">\n");
    EXPECT_EQ(run({"upload", "--format", "url", first.string()}).out, address(one, ".png") + "\n");

    // A large PNG saved without compression goes up compressed, recorded by the digest of what was sent; the
    // same original again finds that record and sends nothing.
    const std::string large = test::uncompressed_png(700, 700);
    ASSERT_GT(large.size(), 1024u * 1024u);
    const auto big = picture("big.png", large);
    service.forget_requests();
    result = run({"upload", "--compress", big.string()});
    EXPECT_EQ(result.status, 0) << result.err;
    ASSERT_EQ(service.count_requests("POST"), 1u);
    const std::string name = result.out.substr(result.out.rfind('/') + 1, 36); // digest + ".png"
    const std::optional<test::StoredFile> stored = service.file("alice", "pics", name);
    ASSERT_TRUE(stored);
    EXPECT_LT(stored->bytes.size(), large.size());
    EXPECT_EQ(name, md5_hex(stored->bytes) + ".png");
    EXPECT_EQ(run({"upload", "--compress", big.string()}).out, result.out);
    EXPECT_EQ(service.count_requests("POST"), 1u);
    // Without the option it goes as it is.
    EXPECT_EQ(run({"upload", big.string()}).out, address(large, ".png") + "\n");
    EXPECT_EQ(service.count_requests("POST"), 2u);
}

TEST_F(CommandLineTest, TheDataDirectoryOptionChoosesTheSettingsAndRecords) {
    save_settings(false);
    const std::string bytes = png("data dir picture");
    const std::filesystem::path settings_dir = dir.path();
    const std::filesystem::path other = dir.path() / "other dir 目录";
    std::filesystem::create_directories(other);
    set_program_dir(other); // nothing configured here: only the option can lead to the settings

    Outcome result = run({"upload", "--data-dir", settings_dir.string(), picture("d.png", bytes).string()});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, address(bytes, ".png") + "\n");
    EXPECT_EQ(program_dir(), settings_dir);

    set_program_dir(other);
    EXPECT_EQ(run({"records"}).out, "");
    result = run({"--data-dir=" + settings_dir.string(), "records"});
    EXPECT_EQ(result.out, md5_hex(bytes) + "\t.png\t" + address(bytes, ".png") + "\n");
    EXPECT_TRUE(detects({"--data-dir", other.string(), "records"}));
}

TEST_F(CommandLineTest, MysqlModeUploadsAndListsThisMachinesRecords) {
    test::TestDatabase database;
    ASSERT_TRUE(database.ok()) << test::shared_mariadb().error();
    save_settings(true, database.settings());
    MysqlRecordStore store(database.settings());
    ASSERT_TRUE(store.insert_record(UploadRecord{"d-other", "1", "another-machine", "u", ".png"}).ok);

    const std::string bytes = png("mysql picture");
    Outcome result = run({"upload", picture("m.png", bytes).string()});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, address(bytes, ".png") + "\n");

    result = run({"records"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, md5_hex(bytes) + "\t.png\t" + address(bytes, ".png") + "\n");
    ASSERT_EQ(store.list_machine_records(compute_machine_code()).size(), 1u);

    // A row the server cannot store as sent: the address is still printed at its place, the failure said, and
    // the status is not success, as the next upload would commit the picture again.
    ASSERT_TRUE(store.remove_all_records().ok);
    ASSERT_TRUE(test::shared_mariadb().admin_execute("ALTER TABLE `" + database.name() +
                                                     "`.remote_imgs MODIFY `ImgUrl` VARCHAR(40) NOT NULL"));
    const std::string unrecorded = png("not recorded");
    result = run({"upload", picture("u.png", unrecorded).string()});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, address(unrecorded, ".png") + "\n");
    EXPECT_NE(result.err.find("上传成功，但记录保存失败！MySQL: "), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("ImgUrl"), std::string::npos) << result.err;
    EXPECT_EQ(store.find_recorded_address(md5_hex(unrecorded)), std::nullopt);
}

TEST_F(CommandLineTest, MysqlRecordsThatCannotBeListedSayWhyAndFail) {
    test::TestDatabase database;
    ASSERT_TRUE(database.ok()) << test::shared_mariadb().error();
    MysqlSettings wrong_password = database.settings();
    wrong_password.password = "not-the-password";
    save_settings(true, wrong_password);
    Outcome result = run({"records"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find("Access denied"), std::string::npos) << result.err;

    MysqlSettings no_server = database.settings();
    no_server.port = test::MariaDbServer::unused_port();
    save_settings(true, no_server);
    result = run({"records"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find("127.0.0.1"), std::string::npos) << result.err;
}

TEST_F(CommandLineTest, HelpAndMisuse) {
    Outcome help = run({"--help"});
    EXPECT_EQ(help.status, 0);
    for (const char* synopsis :
         {"upload [--format url|markdown|html] [--compress] [FILE...]", "records", "config show", "serve [--host H]",
          "move --to [SERVICE:]OWNER/REPO [--jobs N]"})
        EXPECT_NE(help.out.find(synopsis), std::string::npos) << synopsis;
    // --help after a command, wherever it stands, is that command's usage.
    for (const std::vector<std::string>& asked : std::vector<std::vector<std::string>>{
             {"config", "--help"}, {"move", "--to", "x", "--help"}, {"check", "-h"}}) {
        const Outcome usage = run(asked);
        EXPECT_EQ(usage.status, 0) << asked.front();
        EXPECT_EQ(usage.out.rfind("usage: velpic [--data-dir DIR] " + asked.front(), 0), 0u) << usage.out;
    }
    EXPECT_NE(help.out.find("2 misuse,\nno display for the clipboard, or no repository configured yet"),
              std::string::npos)
        << help.out;

    // Without settings: the window's message, then the command that saves them, and the status --help gives.
    Outcome no_settings = run({"upload", picture("a.png", "a").string()});
    EXPECT_EQ(no_settings.status, 2);
    EXPECT_EQ(no_settings.out, "");
    EXPECT_EQ(no_settings.err.rfind("请先填写配置！ (", 0), 0u) << no_settings.err;
    EXPECT_NE(no_settings.err.find("\nvelpic upload: save the repository and its token first: velpic config set owner "
                                   "OWNER repo REPO token - <<< \"$GITEE_TOKEN\"\n"),
              std::string::npos)
        << no_settings.err;

    // A misspelt option gets the reason, the command's own synopsis and a pointer to --help, not every command's
    // help.
    Outcome bogus = run({"upload", "--format", "bogus"});
    EXPECT_EQ(bogus.status, 2);
    EXPECT_EQ(bogus.err, "velpic upload: --format takes url, markdown or html, not \"bogus\"\n"
                         "usage: velpic [--data-dir DIR] upload [--format url|markdown|html] [--compress] [FILE...]\n"
                         "see `velpic --help` for the commands, their options and exit status\n");

    // Misspelt commands and options, and commands without what they need, are refused with the usage (these used
    // to start the window, which without a display ended in a core dump).
    for (const std::vector<std::string>& misuse :
         std::vector<std::vector<std::string>>{{"uplaod", "a.png"},
                                               {"config"},
                                               {"config", "list"},
                                               {"records", "extra"},
                                               {"upload", "--fromat", "x"},
                                               {"upload", "--format", "bbcode"},
                                               {"serve", "--port", "70000"},
                                               {"serve", "extra"},
                                               {"--bogus"}}) {
        Outcome refused = run(misuse);
        EXPECT_EQ(refused.status, 2) << misuse.front();
        EXPECT_EQ(refused.out, "") << misuse.front();
        EXPECT_NE(refused.err.find("velpic"), std::string::npos) << misuse.front();
    }
    EXPECT_NE(run({"uplaod"}).err.find("usage: velpic"), std::string::npos);
    EXPECT_TRUE(detects({"uplaod"}));
    EXPECT_TRUE(detects({"--bogus"}));
    EXPECT_TRUE(detects({"config"}));

    // Without files the clipboard is read; without a display that is a clear refusal.
    save_settings(false);
    Outcome no_display = run({"upload"});
    EXPECT_EQ(no_display.status, 2);
    EXPECT_EQ(no_display.out, "");
    EXPECT_NE(no_display.err.find("no display"), std::string::npos) << no_display.err;
    EXPECT_EQ(service.requests().size(), 0u);
}

} // namespace
} // namespace velpic
