#include "records/mysql_record_store.h"
#include "runtime/codepage.h"
#include "support/mariadb_server.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <sys/wait.h>
#include <unistd.h>

namespace velpic {
namespace {

using test::shared_mariadb;
using test::TestDatabase;

UploadRecord make_record(const std::string& digest, const std::string& machine, const std::string& address,
                         const std::string& type = ".png") {
    UploadRecord record;
    record.ImgMd5 = digest;
    record.ImgUploadTime = "1638003930123";
    record.UploadMachineCode = machine;
    record.ImgUrl = address;
    record.ImgType = type;
    return record;
}

std::vector<std::string> digests_of(std::vector<UploadRecord> records) {
    std::vector<std::string> digests;
    for (const auto& record : records)
        digests.push_back(record.ImgMd5);
    std::sort(digests.begin(), digests.end());
    return digests;
}

class MysqlRecordStoreTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(db.ok()) << shared_mariadb().error(); }

    // What the server holds, read back as UTF-8 independently of the store.
    std::vector<test::SqlRow> stored_rows(const std::string& columns) {
        std::string error;
        auto rows = shared_mariadb().admin_query(
            "SELECT " + columns + " FROM `" + db.name() + "`.remote_imgs ORDER BY ImgMd5", &error);
        EXPECT_TRUE(rows.has_value()) << error;
        return rows.value_or(std::vector<test::SqlRow>{});
    }

    TestDatabase db;
    MysqlRecordStore store{db.settings()};
};

TEST_F(MysqlRecordStoreTest, CreatesTheTableOnceAndAgainWithoutHarm) {
    MysqlOutcome first = store.ensure_record_table();
    ASSERT_TRUE(first.ok) << first.error;
    ASSERT_TRUE(store.insert_record(make_record("0123456789abcdef0123456789abcdef", "1234", "https://x/a.png")).ok);
    MysqlOutcome second = store.ensure_record_table();
    EXPECT_TRUE(second.ok) << second.error;
    EXPECT_EQ(stored_rows("ImgMd5").size(), 1u) << "a second creation keeps the records";

    // The comments are GBK texts in the statement; they must arrive as the same characters, not as Latin-1.
    auto table = shared_mariadb().admin_query("SELECT TABLE_COMMENT, ENGINE, TABLE_COLLATION FROM "
                                              "information_schema.TABLES WHERE TABLE_SCHEMA='" +
                                              db.name() + "' AND TABLE_NAME='remote_imgs'");
    ASSERT_TRUE(table && table->size() == 1);
    EXPECT_EQ(*(*table)[0][0], "图片统计表");
    EXPECT_EQ(*(*table)[0][1], "InnoDB");
    EXPECT_EQ((*table)[0][2]->rfind("utf8", 0), 0u);

    auto columns = shared_mariadb().admin_query(
        "SELECT COLUMN_NAME, COLUMN_TYPE, IS_NULLABLE, COLUMN_KEY, COLUMN_COMMENT FROM information_schema.COLUMNS "
        "WHERE TABLE_SCHEMA='" +
        db.name() + "' AND TABLE_NAME='remote_imgs' ORDER BY ORDINAL_POSITION");
    ASSERT_TRUE(columns.has_value());
    std::vector<std::vector<std::string>> expected{{"ImgMd5", "varchar(32)", "NO", "PRI", "文件md5"},
                                                   {"ImgUploadTime", "varchar(13)", "NO", "", "上传时间，10位时间戳"},
                                                   {"UploadMachineCode", "varchar(200)", "NO", "", "上传机器码"},
                                                   {"ImgUrl", "varchar(200)", "NO", "", "远程访问URL"},
                                                   {"ImgType", "varchar(10)", "NO", "", "图片类型"}};
    ASSERT_EQ(columns->size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
        for (std::size_t j = 0; j < expected[i].size(); ++j)
            EXPECT_EQ((*columns)[i][j].value_or("NULL"), expected[i][j]) << "column " << i;
}

// The statements of the test user's connections, as bytes, from the server's general log file.
std::vector<std::string> logged_statements(const std::filesystem::path& log, const std::string& user) {
    std::ifstream in(log, std::ios::binary);
    std::set<std::string> ids;
    std::vector<std::string> statements;
    // Lines look like "[date time]\t<spaces>id Command\tArgument".
    for (std::string line; std::getline(in, line);) {
        std::size_t tab = line.find('\t', line.find_first_not_of(" \t0123456789:"));
        std::size_t command_start = line.rfind(' ', tab);
        if (tab == std::string::npos || command_start == std::string::npos)
            continue;
        std::string command = line.substr(command_start + 1, tab - command_start - 1);
        std::size_t id_end = command_start;
        std::size_t id_start = line.find_last_of(" \t", id_end - 1) + 1;
        std::string id = line.substr(id_start, id_end - id_start);
        std::string argument = line.substr(tab + 1);
        if (command == "Connect" && argument.rfind(user + "@", 0) == 0)
            ids.insert(id);
        else if (command == "Query" && ids.count(id))
            statements.push_back(argument);
    }
    return statements;
}

TEST_F(MysqlRecordStoreTest, StatementsReachTheServerByteForByte) {
    auto& server = shared_mariadb();
    auto datadir = server.admin_query("SELECT @@datadir");
    ASSERT_TRUE(datadir && datadir->size() == 1);
    std::filesystem::path log = std::filesystem::path(*(*datadir)[0][0]) / (db.name() + "-statements.log");
    ASSERT_TRUE(server.admin_execute("SET GLOBAL log_output='FILE'"));
    ASSERT_TRUE(server.admin_execute("SET GLOBAL general_log_file='" + log.string() + "'"));
    ASSERT_TRUE(server.admin_execute("SET GLOBAL general_log=1"));

    std::string digest = "d41d8cd98f00b204e9800998ecf8427e";
    std::string address = "https://gitee.com/alice/pics/raw/master/d41d8cd98f00b204e9800998ecf8427e.png";
    ASSERT_TRUE(store.ensure_record_table().ok);
    UploadRecord record = make_record(digest, "310123456789", address);
    ASSERT_TRUE(store.insert_record(record).ok);
    EXPECT_EQ(store.find_recorded_address(digest), address);
    EXPECT_EQ(store.list_machine_records("310123456789").size(), 1u);
    ASSERT_TRUE(store.remove_all_records().ok);
    ASSERT_TRUE(server.admin_execute("SET GLOBAL general_log=0"));

    std::string create = utf8_to_gbk(
        "CREATE TABLE IF NOT EXISTS `remote_imgs` (`ImgMd5` VARCHAR(32) NOT NULL COMMENT '文件md5',`ImgUploadTime` "
        "VARCHAR(13) NOT NULL COMMENT '上传时间，10位时间戳',`UploadMachineCode` VARCHAR(200) NOT NULL COMMENT "
        "'上传机器码',`ImgUrl` VARCHAR(200) NOT NULL COMMENT '远程访问URL',`ImgType` VARCHAR(10) NOT NULL COMMENT "
        "'图片类型',PRIMARY KEY (`ImgMd5`)) ENGINE=INNODB DEFAULT CHARSET=utf8 COMMENT='图片统计表';");
    ASSERT_EQ(create.back(), ';');
    create.pop_back(); // the server strips a statement's trailing semicolon before logging it
    std::vector<std::string> expected{
        create,
        "set names GBK",
        "INSERT INTO `remote_imgs`(`ImgMd5`, `ImgUploadTime`,`UploadMachineCode`,`ImgUrl`,`ImgType`) VALUES "
        "('d41d8cd98f00b204e9800998ecf8427e','1638003930123','310123456789','" +
            address + "','.png')",
        "SELECT * FROM remote_imgs WHERE imgmd5='d41d8cd98f00b204e9800998ecf8427e'", // the row read back
        "set names GBK",
        "SELECT * FROM remote_imgs WHERE imgmd5='d41d8cd98f00b204e9800998ecf8427e'",
        "set names GBK",
        "SELECT * FROM remote_imgs WHERE UploadMachineCode='310123456789'",
        "DELETE FROM remote_imgs"};
    EXPECT_EQ(logged_statements(log, server.user()), expected);
}

TEST_F(MysqlRecordStoreTest, MachinesListOnlyTheirOwnRowsButLookupSeesEveryMachine) {
    ASSERT_TRUE(store.ensure_record_table().ok);
    const std::string two_address = "https://x/aaaa0000000000000000000000000002.gif";
    ASSERT_TRUE(store.insert_record(make_record("aaaa0000000000000000000000000001", "111", "https://x/1.png")).ok);
    ASSERT_TRUE(store.insert_record(make_record("aaaa0000000000000000000000000002", "111", two_address, ".gif")).ok);
    ASSERT_TRUE(
        store.insert_record(make_record("bbbb0000000000000000000000000003", "222", "https://x/3.jpg", ".jpg")).ok);

    std::vector<UploadRecord> mine = store.list_machine_records("111");
    EXPECT_EQ(digests_of(mine),
              (std::vector<std::string>{"aaaa0000000000000000000000000001", "aaaa0000000000000000000000000002"}));
    auto gif = std::find_if(mine.begin(), mine.end(), [](const UploadRecord& r) { return r.ImgType == ".gif"; });
    ASSERT_NE(gif, mine.end());
    EXPECT_EQ(gif->ImgUrl, two_address);
    EXPECT_EQ(digests_of(store.list_machine_records("222")),
              (std::vector<std::string>{"bbbb0000000000000000000000000003"}));
    EXPECT_TRUE(store.list_machine_records("333").empty());
    EXPECT_TRUE(store.list_machine_records("1' OR '1'='1").empty()) << "a quote in the code cannot widen the query";

    // Machine 222 uploading machine 111's picture finds 111's address.
    EXPECT_EQ(store.find_recorded_address("aaaa0000000000000000000000000002"), two_address);
    EXPECT_EQ(store.find_recorded_address("cccc0000000000000000000000000000"), std::nullopt);

    // The same digest twice is refused, and the caller hears about it.
    MysqlOutcome again = store.insert_record(make_record("aaaa0000000000000000000000000001", "222", "https://y"));
    EXPECT_FALSE(again.ok);
    EXPECT_FALSE(again.error.empty());

    ASSERT_TRUE(store.remove_all_records().ok);
    EXPECT_TRUE(store.list_machine_records("111").empty());
    EXPECT_TRUE(store.list_machine_records("222").empty());
    EXPECT_EQ(store.find_recorded_address("aaaa0000000000000000000000000001"), std::nullopt);
}

TEST_F(MysqlRecordStoreTest, GbkTextsQuotesAndBackslashesAreStoredIntact) {
    ASSERT_TRUE(store.ensure_record_table().ok);
    // 乗 is 0x81 0x5C in GBK: its trail byte is a backslash, which escaping must leave alone.
    std::string address_utf8 =
        "https://gitee.com/o'neil/pics/raw/master/图片乗\\x'/0123456789abcdef0123456789abcdef.png";
    UploadRecord record = make_record("0123456789abcdef0123456789abcdef", "98765", utf8_to_gbk(address_utf8));
    MysqlOutcome inserted = store.insert_record(record);
    ASSERT_TRUE(inserted.ok) << inserted.error;

    auto rows = stored_rows("ImgMd5, ImgUploadTime, UploadMachineCode, ImgUrl, ImgType");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0],
              (test::SqlRow{"0123456789abcdef0123456789abcdef", "1638003930123", "98765", address_utf8, ".png"}));

    std::vector<UploadRecord> listed = store.list_machine_records("98765");
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].ImgUrl, record.ImgUrl);
    EXPECT_EQ(listed[0].ImgMd5, record.ImgMd5);
    EXPECT_EQ(listed[0].ImgType, ".png");
    EXPECT_EQ(store.find_recorded_address(record.ImgMd5), record.ImgUrl);
}

TEST_F(MysqlRecordStoreTest, ARowThatDoesNotFitOrIsStoredChangedIsReportedAndNotKept) {
    auto& server = shared_mariadb();
    const std::string digest = "0123456789abcdef0123456789abcdef";
    const std::string prefix = "https://gitee.com/alice/pics/raw/master/";
    auto address_of_length = [&](std::size_t length) {
        const std::string name = digest + ".png";
        return prefix + std::string(length - prefix.size() - name.size(), 'd') + "/" + name.substr(1);
    };
    ASSERT_EQ(address_of_length(201).size(), 201u);
    auto with_sql_mode = [&](const std::string& mode) {
        ASSERT_TRUE(server.admin_execute("SET GLOBAL sql_mode='" + mode + "'"));
    };
    auto original_mode = server.admin_query("SELECT @@GLOBAL.sql_mode");
    ASSERT_TRUE(original_mode && original_mode->size() == 1);

    // The table's own layout: an address over 200 characters is refused before the insert, by either kind of
    // server, and 200 still fit. A double-byte character counts once.
    ASSERT_TRUE(store.ensure_record_table().ok);
    for (const std::string mode : {"", "STRICT_TRANS_TABLES"}) {
        with_sql_mode(mode);
        MysqlOutcome refused = store.insert_record(make_record(digest, "1", address_of_length(201)));
        EXPECT_FALSE(refused.ok) << mode;
        EXPECT_NE(to_utf8(refused.error).find("ImgUrl 长 201 个字符，超过表中该列的 200 个字符上限"), std::string::npos)
            << to_utf8(refused.error);
        EXPECT_TRUE(stored_rows("ImgMd5").empty()) << mode;
    }
    const std::string wide =
        prefix + utf8_to_gbk("图") + std::string(200 - prefix.size() - 1 - 37, 'x') + "/" + digest + ".png";
    ASSERT_EQ(wide.size(), 201u); // bytes; 200 characters
    MysqlOutcome fits = store.insert_record(make_record(digest, "1", wide));
    EXPECT_TRUE(fits.ok) << fits.error;
    ASSERT_TRUE(store.remove_all_records().ok);

    // A table laid out narrower by another machine: a non-strict server cuts the address with a warning, a strict
    // one refuses it. Either is reported, and no cut row stays to be read as damaged.
    ASSERT_TRUE(server.admin_execute("ALTER TABLE `" + db.name() + "`.remote_imgs MODIFY `ImgUrl` VARCHAR(60) NOT NULL"));
    for (const std::string mode : {"", "STRICT_TRANS_TABLES"}) {
        with_sql_mode(mode);
        MysqlOutcome outcome = store.insert_record(make_record(digest, "1", address_of_length(100)));
        EXPECT_FALSE(outcome.ok) << mode;
        EXPECT_NE(outcome.error.find("ImgUrl"), std::string::npos) << mode << ": " << to_utf8(outcome.error);
        EXPECT_TRUE(stored_rows("ImgMd5").empty()) << mode;
    }
    with_sql_mode(*(*original_mode)[0][0]);
}

TEST_F(MysqlRecordStoreTest, MissingTableGivesNothingAndARefusedInsert) {
    EXPECT_TRUE(store.list_machine_records("111").empty());
    EXPECT_EQ(store.find_recorded_address("0123456789abcdef0123456789abcdef"), std::nullopt);
    MysqlOutcome inserted = store.insert_record(make_record("0123456789abcdef0123456789abcdef", "1", "https://x"));
    EXPECT_FALSE(inserted.ok);
    EXPECT_NE(inserted.error.find("remote_imgs"), std::string::npos) << inserted.error;
}

TEST_F(MysqlRecordStoreTest, ListingTellsAFailureFromAnEmptyTable) {
    MysqlOutcome outcome{false, "stale"};
    ASSERT_TRUE(store.ensure_record_table().ok);
    EXPECT_TRUE(store.list_machine_records("111", &outcome).empty());
    EXPECT_TRUE(outcome.ok) << outcome.error;
    EXPECT_EQ(outcome.error, "");

    MysqlSettings wrong_password = db.settings();
    wrong_password.password = "not-the-password";
    EXPECT_TRUE(MysqlRecordStore(wrong_password).list_machine_records("111", &outcome).empty());
    EXPECT_FALSE(outcome.ok);
    EXPECT_NE(outcome.error.find("Access denied"), std::string::npos) << outcome.error;

    ASSERT_TRUE(shared_mariadb().admin_execute("DROP TABLE `" + db.name() + "`.remote_imgs"));
    EXPECT_TRUE(store.list_machine_records("111", &outcome).empty());
    EXPECT_FALSE(outcome.ok);
    EXPECT_NE(outcome.error.find("remote_imgs"), std::string::npos) << outcome.error;
}

TEST(MysqlRecordStoreConnection, TestSucceedsOnlyWithWorkingSettings) {
    TestDatabase db;
    ASSERT_TRUE(db.ok()) << shared_mariadb().error();
    EXPECT_TRUE(MysqlRecordStore(db.settings()).test_connection());

    MysqlSettings wrong_password = db.settings();
    wrong_password.password = "not-the-password";
    EXPECT_FALSE(MysqlRecordStore(wrong_password).test_connection());

    MysqlSettings no_database = db.settings();
    no_database.database = "velpic_no_such_database";
    EXPECT_FALSE(MysqlRecordStore(no_database).test_connection());

    MysqlSettings no_password = db.settings();
    no_password.password.clear();
    EXPECT_FALSE(MysqlRecordStore(no_password).test_connection());
}

// The client library reads its default socket and port from the environment once, when it starts; the check
// therefore runs in a fresh copy of this program that sees the private server as "the default".
TEST(MysqlRecordStoreConnection, EmptyHostAndZeroPortMeanTheLibraryDefaults) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    std::unique_ptr<TestDatabase> db;
    if (std::getenv("VELPIC_TEST_DEFAULT_DATABASE") == nullptr) {
        db = std::make_unique<TestDatabase>();
        ASSERT_TRUE(db->ok()) << shared_mariadb().error();
        setenv("MYSQL_UNIX_PORT", shared_mariadb().socket_path().c_str(), 1);
        setenv("MYSQL_TCP_PORT", std::to_string(shared_mariadb().port()).c_str(), 1);
        setenv("VELPIC_TEST_DEFAULT_USER", shared_mariadb().user().c_str(), 1);
        setenv("VELPIC_TEST_DEFAULT_PASSWORD", shared_mariadb().password().c_str(), 1);
        setenv("VELPIC_TEST_DEFAULT_DATABASE", db->name().c_str(), 1);
    }
    auto connects = [](const std::string& server) {
        MysqlSettings settings;
        settings.server = server;
        settings.user = std::getenv("VELPIC_TEST_DEFAULT_USER");
        settings.password = std::getenv("VELPIC_TEST_DEFAULT_PASSWORD");
        settings.database = std::getenv("VELPIC_TEST_DEFAULT_DATABASE");
        return MysqlRecordStore(settings).test_connection();
    };
    EXPECT_EXIT(std::exit(connects("") && connects("127.0.0.1") ? 0 : 1), ::testing::ExitedWithCode(0), "");
    for (const char* name : {"MYSQL_UNIX_PORT", "MYSQL_TCP_PORT", "VELPIC_TEST_DEFAULT_USER",
                             "VELPIC_TEST_DEFAULT_PASSWORD", "VELPIC_TEST_DEFAULT_DATABASE"})
        unsetenv(name);
}

// A child that exits normally runs the static destructors it inherited, the shared server's among them.
TEST(MysqlRecordStoreConnection, AForkedChildThatExitsLeavesTheServerRunning) {
    TestDatabase db;
    ASSERT_TRUE(db.ok()) << shared_mariadb().error();
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        std::exit(0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(MysqlRecordStore(db.settings()).test_connection());
    EXPECT_TRUE(std::filesystem::exists(shared_mariadb().socket_path()));
}

TEST(MysqlRecordStoreConnection, UnreachableServerFailsQuicklyWithEmptyResults) {
    MysqlSettings settings;
    settings.server = "127.0.0.1";
    settings.port = test::MariaDbServer::unused_port();
    ASSERT_NE(settings.port, 0);
    settings.user = "velpic";
    settings.password = "secret";
    settings.database = "velpic";
    MysqlRecordStore store(settings);

    auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(store.test_connection());
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));

    MysqlOutcome created = store.ensure_record_table();
    EXPECT_FALSE(created.ok);
    EXPECT_FALSE(created.error.empty());
    MysqlOutcome listed;
    EXPECT_TRUE(store.list_machine_records("111", &listed).empty());
    EXPECT_FALSE(listed.ok);
    EXPECT_NE(listed.error.find("127.0.0.1"), std::string::npos) << listed.error;
    EXPECT_EQ(store.find_recorded_address("0123456789abcdef0123456789abcdef"), std::nullopt);
    MysqlOutcome inserted = store.insert_record(make_record("0123456789abcdef0123456789abcdef", "1", "https://x"));
    EXPECT_FALSE(inserted.ok);
    EXPECT_FALSE(inserted.error.empty());
    EXPECT_FALSE(store.remove_all_records().ok);
}

} // namespace
} // namespace velpic
