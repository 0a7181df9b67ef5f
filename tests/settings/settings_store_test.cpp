#include "settings/app_state.h"
#include "settings/settings_cipher.h"
#include "settings/settings_store.h"
#include "settings/stored_secret.h"
#include "support/child_process.h"
#include "runtime/codepage.h"
#include "runtime/ini_file.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <future>
#include <tuple>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace velpic;

namespace {

const std::string section_gitee = utf8_to_gbk("Gitee配置");
const std::string section_mode = utf8_to_gbk("记录方式");
const std::string key_mode = utf8_to_gbk("方式");
const std::string section_mysql = utf8_to_gbk("MySQL配置");

class SettingsStoreTest : public ::testing::Test {
protected:
    std::filesystem::path file() const { return dir.file("settings.ini"); }
    SettingsStore store() {
        return SettingsStore(
            file(),
            [this] {
                ++machine_code_calls;
                return std::string("4242");
            },
            [this](const MysqlSettings& settings) { tables_made.push_back(settings); });
    }
    std::string value(const std::string& section, const char* key) const {
        return read_ini_value(file(), section, key);
    }

    test::TempDir dir;
    AppState state;
    int machine_code_calls = 0;
    std::vector<MysqlSettings> tables_made;
};

SettingsPage full_page() {
    SettingsPage page;
    page.owner = "alice";
    page.repo = "pics";
    page.access_token = "0123456789abcdef0123456789abcdef";
    page.server = "db.example";
    page.port = "3307";
    page.database_user = "bob";
    page.database_password = " secret pass\"";
    page.database_name = "images";
    return page;
}

} // namespace

TEST_F(SettingsStoreTest, SaveRunsTheSevenChecksInOrderKeepingWhatWasWrittenBefore) {
    SettingsStore settings = store();
    SettingsPage page;
    EXPECT_EQ(settings.save(page, false, state).message, utf8_to_gbk("Owner不能为空"));
    page.owner = "alice";
    EXPECT_EQ(settings.save(page, false, state).message, utf8_to_gbk("Repo不能为空"));
    page.repo = "pics";
    const SaveResult no_token = settings.save(page, false, state);
    EXPECT_EQ(no_token.message, utf8_to_gbk("AccessToken不能为空"));
    EXPECT_FALSE(no_token.gitee_saved);
    EXPECT_FALSE(std::filesystem::exists(file()));

    // In MySQL mode the Gitee values and the mode are written before the MySQL boxes are checked.
    page.access_token = "tok";
    const char* mysql_messages[] = {"服务器地址不能为空", "数据库用户名不能为空", "数据库口令不能为空",
                                    "数据库名称不能为空", "端口号不能为空"};
    const SettingsPage full = full_page();
    std::string SettingsPage::*fields[] = {&SettingsPage::server, &SettingsPage::database_user,
                                           &SettingsPage::database_password, &SettingsPage::database_name,
                                           &SettingsPage::port};
    for (int i = 0; i < 5; ++i) {
        const SaveResult result = settings.save(page, true, state);
        EXPECT_EQ(result.message, utf8_to_gbk(mysql_messages[i])) << i;
        EXPECT_TRUE(result.gitee_saved);
        EXPECT_FALSE(result.saved);
        page.*fields[i] = full.*fields[i];
    }
    EXPECT_EQ(value(section_gitee, "Owner"), "alice");
    EXPECT_EQ(value(section_gitee, "Repo"), "pics");
    EXPECT_EQ(decode_stored_secret(value(section_gitee, "Access_Token")), "tok");
    EXPECT_EQ(value(section_mode, key_mode.c_str()), "mysql");
    EXPECT_EQ(value(section_mysql, "Server"), "");
    EXPECT_TRUE(tables_made.empty());
    EXPECT_EQ(state.snapshot().owner, "alice");
    EXPECT_EQ(state.snapshot().access_token, "tok");
    EXPECT_EQ(state.snapshot().mysql.server, "");

    const SaveResult saved = settings.save(page, true, state);
    EXPECT_EQ(saved.message, utf8_to_gbk("保存成功！"));
    EXPECT_TRUE(saved.saved);
    EXPECT_EQ(value(section_mysql, "Server"), "db.example");
    EXPECT_EQ(value(section_mysql, "Port"), "3307");
    EXPECT_EQ(value(section_mysql, "DataBaseUser"), "bob");
    EXPECT_EQ(decode_stored_secret(read_ini_value(file(), section_mysql, "DataBasePassword")), " secret pass\"");
    EXPECT_EQ(value(section_mysql, "DataBaseName"), "images");
    ASSERT_EQ(tables_made.size(), 1u);
    EXPECT_EQ(tables_made[0].port, 3307);
    EXPECT_EQ(tables_made[0].password, " secret pass\"");
    const StateSnapshot snapshot = state.snapshot();
    EXPECT_EQ(snapshot.mysql.database, "images");
    EXPECT_EQ(snapshot.record_mode, ""); // read at start only
}

TEST_F(SettingsStoreTest, SaveRefusesNamesThatCouldReshapeAPathAndNulBytes) {
    SettingsStore settings = store();
    const std::string only = utf8_to_gbk("只能包含字母、数字、“-”、“_”和“.”");
    const std::string no_nul = utf8_to_gbk("不能包含空字符");
    SettingsPage page = full_page();
    for (const char* owner : {"alice/pics/contents/evil?", "a b", "..", "al%69ce", "\xB0\xA1"}) {
        page.owner = owner;
        const SaveResult result = settings.save(page, false, state);
        EXPECT_EQ(result.message, "Owner" + only) << owner;
        EXPECT_FALSE(result.gitee_saved);
    }
    page.owner = std::string("alice\0x", 7);
    EXPECT_EQ(settings.save(page, false, state).message, "Owner" + only);
    page.owner = "a-l_i.ce9";
    page.repo = "pics/../x";
    EXPECT_EQ(settings.save(page, false, state).message, "Repo" + only);
    page.repo = "pics";
    page.access_token = std::string("tok\0en", 6);
    EXPECT_EQ(settings.save(page, false, state).message, "AccessToken" + no_nul);
    EXPECT_FALSE(std::filesystem::exists(file())) << "nothing is written before the Gitee values pass";
    EXPECT_EQ(state.snapshot().owner, "");

    // In MySQL mode each box is checked for a NUL byte right after it is checked for being empty.
    page = full_page();
    page.database_user = std::string("bob\0", 4);
    page.port = std::string("33\0", 3);
    EXPECT_EQ(settings.save(page, true, state).message, utf8_to_gbk("数据库用户名") + no_nul);
    page.database_user = "bob";
    EXPECT_EQ(settings.save(page, true, state).message, utf8_to_gbk("端口号") + no_nul);
    EXPECT_EQ(value(section_mysql, "DataBaseUser"), "");
    EXPECT_TRUE(tables_made.empty());
    page.port = "3306";
    EXPECT_TRUE(settings.save(page, true, state).saved);
    EXPECT_EQ(value(section_gitee, "Owner"), "alice");
}

TEST_F(SettingsStoreTest, LocalSaveWritesTheModeAndLeavesTheMysqlSectionAndRecordModeAlone) {
    state.set_record_mode("mysql");
    const SaveResult result = store().save(full_page(), false, state);
    EXPECT_TRUE(result.saved);
    EXPECT_EQ(value(section_mode, key_mode.c_str()), utf8_to_gbk("本地"));
    EXPECT_EQ(value(section_mysql, "Server"), "");
    EXPECT_TRUE(tables_made.empty());
    EXPECT_EQ(state.snapshot().record_mode, "mysql");
    EXPECT_EQ(machine_code_calls, 0);
}

TEST_F(SettingsStoreTest, LoadAtStartTakesMysqlModeOnlyFromTheExactLowerCaseValue) {
    SettingsStore settings = store();
    // No file at all: local mode, nothing known.
    EXPECT_FALSE(settings.load_at_start(state));
    EXPECT_FALSE(state.snapshot().mysql_mode());

    ASSERT_TRUE(settings.save(full_page(), true, state).saved);
    write_ini_value(file(), section_mysql, "Port", " 3308abc");

    write_ini_value(file(), section_mode, key_mode, "MySQL");
    AppState upper;
    EXPECT_TRUE(settings.load_at_start(upper));
    EXPECT_FALSE(upper.snapshot().mysql_mode());
    EXPECT_EQ(upper.snapshot().mysql.server, "");
    EXPECT_EQ(machine_code_calls, 0);

    write_ini_value(file(), section_mode, key_mode, "mysql");
    AppState lower;
    EXPECT_TRUE(settings.load_at_start(lower));
    const StateSnapshot snapshot = lower.snapshot();
    EXPECT_TRUE(snapshot.mysql_mode());
    EXPECT_EQ(snapshot.machine_code, "4242");
    EXPECT_EQ(snapshot.access_token, "0123456789abcdef0123456789abcdef");
    EXPECT_EQ(snapshot.mysql.port, 3308);
    EXPECT_EQ(snapshot.mysql.password, " secret pass\"");
    EXPECT_TRUE(snapshot.mysql.complete());

    // The page shows every stored value deciphered, the port as typed.
    const SettingsPage page = settings.read_page();
    EXPECT_EQ(page.access_token, "0123456789abcdef0123456789abcdef");
    EXPECT_EQ(page.database_password, " secret pass\"");
    EXPECT_EQ(page.port, "3308abc");

    AppState chosen;
    settings.choose_mysql_mode(chosen);
    EXPECT_EQ(chosen.snapshot().mysql.user, "bob");
    EXPECT_EQ(chosen.snapshot().machine_code, "4242");
    EXPECT_EQ(chosen.snapshot().owner, "");
}

// Editors put a byte-order mark in front of a file they save; the settings behind it must still be found, and a save
// must keep them found.
TEST_F(SettingsStoreTest, ASettingsFileThatStartsWithAByteOrderMarkIsRead) {
    ASSERT_TRUE(store().save(full_page(), false, state).saved);
    std::string bytes;
    {
        std::ifstream in(file(), std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), {});
    }
    std::ofstream(file(), std::ios::binary) << "\xEF\xBB\xBF" << bytes;
    AppState loaded;
    EXPECT_TRUE(store().load_at_start(loaded)) << "not \"please fill in the settings\"";
    EXPECT_EQ(loaded.snapshot().owner, "alice");
    EXPECT_EQ(loaded.snapshot().access_token, full_page().access_token);

    SettingsPage renamed = full_page();
    renamed.repo = "other";
    ASSERT_TRUE(store().save(renamed, false, state).saved);
    EXPECT_EQ(value(section_gitee, "Repo"), "other");
    EXPECT_EQ(store().read_page().repo, "other");
}

TEST_F(SettingsStoreTest, AValueHoldingANulByteIsRefusedOnReadingNamingTheSetting) {
    AppState saved;
    ASSERT_TRUE(store().save(full_page(), true, saved).saved);
    std::string original;
    {
        std::ifstream in(file(), std::ios::binary);
        original.assign(std::istreambuf_iterator<char>(in), {});
    }
    ASSERT_EQ(store().reading_problem(), "");
    // Each written by hand into a file the save wrote; cut at the NUL, each would read as another value.
    const std::pair<std::string, std::string> cases[] = {
        {"Owner=alice", "Owner"},
        {"Repo=pics", "Repo"},
        {"Server=db.example", "Server"},
        {"DataBaseName=images", "DataBaseName"},
    };
    for (const auto& [line, key] : cases) {
        std::string bytes = original;
        const std::size_t at = bytes.find(line);
        ASSERT_NE(at, std::string::npos) << line;
        bytes.insert(at + line.size() - 1, 1, '\0');
        std::ofstream(file(), std::ios::binary | std::ios::trunc) << bytes;
        const std::string problem = to_utf8(store().reading_problem());
        EXPECT_NE(problem.find(key + "不能包含空字符"), std::string::npos) << problem;
        AppState loaded;
        std::string told;
        EXPECT_FALSE(store().load_at_start(loaded, &told));
        EXPECT_EQ(to_utf8(told), problem);
        EXPECT_FALSE(loaded.snapshot().gitee_known()) << key;
        EXPECT_EQ(loaded.snapshot().owner, "") << key;
    }
}

TEST_F(SettingsStoreTest, AFifoInPlaceOfTheFileIsRefusedWithoutWaiting) {
    ASSERT_EQ(::mkfifo(file().c_str(), 0600), 0);
    // No writer ever opens the FIFO: a blocking open would wait for ever.
    auto reading = std::async(std::launch::async, [&] {
        AppState loaded;
        std::string told;
        const bool known = store().load_at_start(loaded, &told);
        return std::tuple{store().reading_problem(), known, told, store().read_page().owner,
                          read_ini_value(file(), section_gitee, "Owner", "none")};
    });
    if (reading.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        ::close(::open(file().c_str(), O_WRONLY | O_NONBLOCK)); // lets the blocked reader go
        reading.wait();
        FAIL() << "reading the settings blocked on a FIFO";
    }
    const auto [problem, known, told, owner, value] = reading.get();
    EXPECT_NE(to_utf8(problem).find("不是普通文件（如管道或设备）"), std::string::npos) << to_utf8(problem);
    EXPECT_FALSE(known);
    EXPECT_EQ(told, problem);
    EXPECT_EQ(owner, "");
    EXPECT_EQ(value, "none");
}

TEST_F(SettingsStoreTest, TheSettingsFileIsReadableByItsOwnerOnly) {
    ASSERT_TRUE(store().save(full_page(), true, state).saved);
    struct stat info {};
    ASSERT_EQ(::stat(file().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(SettingsStoreTest, ASaveThatCannotReachTheFileIsNotReportedAsSaved) {
    SettingsStore unwritable(
        dir.path() / "missing-dir" / "settings.ini", [] { return std::string("1"); }, [](const MysqlSettings&) {});
    for (bool mysql : {false, true}) {
        const SaveResult result = unwritable.save(full_page(), mysql, state);
        EXPECT_FALSE(result.saved);
        EXPECT_EQ(result.message.rfind(utf8_to_gbk("保存失败！配置文件无法写入："), 0), 0u) << mysql;
    }
}

// A save replaces the file once: a save killed at any moment leaves all values of one save, never Owner of one save
// beside Repo or token of the other.
TEST_F(SettingsStoreTest, AKilledSaveNeverMixesTwoSaves) {
    const SettingsPage first = full_page();
    SettingsPage second = full_page();
    second.owner = "bob";
    second.repo = "photos";
    second.access_token = "fedcba9876543210fedcba9876543210";
    ASSERT_TRUE(store().save(first, false, state).saved);
    test::TempDir calibration;
    // A child that saves page into path once this process has heard that it is about to.
    const auto start_save = [&](const std::filesystem::path& path, const SettingsPage& page) {
        int started[2];
        EXPECT_EQ(pipe(started), 0);
        const pid_t child = fork();
        if (child == 0) {
            close(started[0]);
            AppState child_state;
            SettingsStore child_store(path, [] { return std::string("4242"); }, [](const MysqlSettings&) {});
            const char go = 1;
            (void)!write(started[1], &go, 1);
            child_store.save(page, false, child_state);
            _exit(0);
        }
        close(started[1]);
        char go = 0;
        EXPECT_EQ(read(started[0], &go, 1), 1);
        close(started[0]);
        return child;
    };
    std::mt19937 random(7);
    int kept_earlier = 0, kept_next = 0;
    for (int round = 0; round < 60; ++round) {
        // Always the other save than the one in the file, so that the file tells whether the kill came too late.
        const SettingsPage& next = value(section_gitee, "Owner") == first.owner ? second : first;
        // How long the same save takes on this machine now, into a copy of the file: the kill is placed within
        // that time and a quarter beyond, so that it lands before and after the file's replacement at any pace.
        const std::filesystem::path copy = calibration.file("settings.ini");
        std::filesystem::copy_file(file(), copy, std::filesystem::copy_options::overwrite_existing);
        const pid_t measured = start_save(copy, next);
        ASSERT_GT(measured, 0);
        const std::optional<std::chrono::microseconds> took = test::time_to_exit(measured);
        ASSERT_TRUE(took) << "round " << round << ": a save left alone must complete";

        const pid_t child = start_save(file(), next);
        ASSERT_GT(child, 0);
        const auto until = std::chrono::steady_clock::now() + test::kill_moment(*took, random);
        while (std::chrono::steady_clock::now() < until) {
        }
        kill(child, SIGKILL);
        ASSERT_EQ(waitpid(child, nullptr, 0), child);

        const std::string owner = value(section_gitee, "Owner");
        ASSERT_TRUE(owner == first.owner || owner == second.owner) << owner;
        const SettingsPage& seen = owner == first.owner ? first : second;
        EXPECT_EQ(value(section_gitee, "Repo"), seen.repo) << round;
        EXPECT_EQ(decode_stored_secret(value(section_gitee, "Access_Token")), seen.access_token) << round;
        ++(&seen == &next ? kept_next : kept_earlier);
    }
    EXPECT_GT(kept_earlier, 0) << "some kills must land before the file is replaced";
    EXPECT_GT(kept_next, 0) << "some kills must land after it";
}

TEST(PortNumber, LeadingBlanksSignAndDigits) {
    EXPECT_EQ(port_number(""), 0);
    EXPECT_EQ(port_number("abc"), 0);
    EXPECT_EQ(port_number("  3306"), 3306);
    EXPECT_EQ(port_number("3306x7"), 3306);
    EXPECT_EQ(port_number("-12"), -12);
    EXPECT_EQ(port_number("+33"), 33);
    EXPECT_EQ(port_number("99999999999999"), 2147483647);
}

TEST(StoredSecret, RawFormKeptWhenAnIniLineCarriesItOtherwiseTheMarkedHexForm) {
    // The mark is the first key-stream byte, so a raw value starting with it deciphers to an empty text.
    ASSERT_EQ(rc4_transform(std::string(1, '\0'), settings_key), "-");

    test::TempDir dir;
    const auto file = dir.file("secrets.ini");
    std::mt19937 random(20211127);
    const char digits[] = "0123456789abcdef";
    int raw = 0, hex = 0;
    for (int i = 0; i < 1000; ++i) {
        std::string token;
        for (int k = 0; k < 32; ++k)
            token.push_back(digits[random() % 16]);
        const std::string stored = encode_stored_secret(token);
        const std::string cipher = rc4_transform(token, settings_key);
        if (stored == cipher)
            ++raw;
        else
            ++hex;
        EXPECT_EQ(stored == cipher, survives_ini_line(cipher)) << token;
        ASSERT_TRUE(write_ini_value(file, "Gitee", "Access_Token", stored));
        ASSERT_EQ(decode_stored_secret(read_ini_value(file, "Gitee", "Access_Token")), token) << token;
    }
    EXPECT_GT(raw, 0);
    EXPECT_GT(hex, 0);

    // Passwords whose cipher bytes hold line breaks, zero bytes or edge blanks still come back intact.
    std::uniform_int_distribution<int> byte(1, 255);
    for (int i = 0; i < 300; ++i) {
        std::string password;
        for (int k = 0; k < 1 + i % 20; ++k)
            password.push_back(static_cast<char>(byte(random)));
        ASSERT_TRUE(write_ini_value(file, "MySQL", "DataBasePassword", encode_stored_secret(password)));
        ASSERT_EQ(decode_stored_secret(read_ini_value(file, "MySQL", "DataBasePassword")), password);
    }
}

TEST(StoredSecret, ReadsValuesWrittenInTheRawFormAndStopsAtAZeroByte) {
    const std::string token = "0123456789abcdef0123456789abcdef";
    EXPECT_EQ(decode_stored_secret(rc4_transform(token, settings_key)), token);
    EXPECT_EQ(decode_stored_secret(rc4_transform(std::string("ab\0cd", 5), settings_key)), "ab");
    EXPECT_EQ(decode_stored_secret(""), "");
    EXPECT_EQ(encode_stored_secret(""), "");
    // A raw value starting with the mark but not followed by hexadecimal digits reads as it always did:
    // its first deciphered byte is zero.
    EXPECT_EQ(decode_stored_secret("-zz"), "");
}

TEST(AppStateTest, ASnapshotNeverMixesTwoSaves) {
    AppState state;
    state.set_gitee("a", "a", "a");
    std::atomic<bool> done{false};
    std::thread reader([&] {
        while (!done) {
            const StateSnapshot s = state.snapshot();
            ASSERT_TRUE(s.owner == s.repo && s.repo == s.access_token) << s.owner << s.repo << s.access_token;
        }
    });
    for (int i = 0; i < 20000; ++i) {
        const std::string value(1 + i % 40, static_cast<char>('a' + i % 26));
        state.set_gitee(value, value, value);
    }
    done = true;
    reader.join();
}
