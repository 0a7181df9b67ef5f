#include "records/local_record_file.h"
#include "records/mysql_record_store.h"
#include "records/record_list.h"
#include "support/mariadb_server.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace velpic;

namespace {

UploadRecord record(const std::string& digest, const std::string& machine, const std::string& address) {
    return UploadRecord{digest, "1638003930123", machine, address, ".png"};
}

std::vector<std::string> digests(const std::vector<UploadRecord>& records) {
    std::vector<std::string> out;
    for (const UploadRecord& r : records)
        out.push_back(r.ImgMd5);
    return out;
}

} // namespace

TEST(RecordRows, LocalRowsComeInFileOrderFromTheProgramDirectory) {
    test::TempDir dir;
    const auto file = dir.path() / u8"本地记录.ini";
    EXPECT_TRUE(load_record_rows(false, {}, "", dir.path()).empty());
    write_local_record(file, record("bbb", "", "http://x/bbb.png"));
    write_local_record(file, record("aaa", "", "http://x/aaa.png"));
    const auto rows = load_record_rows(false, {}, "", dir.path());
    EXPECT_EQ(digests(rows), (std::vector<std::string>{"bbb", "aaa"}));
    EXPECT_EQ(rows[1].ImgUrl, "http://x/aaa.png");
    EXPECT_EQ(rows[1].ImgType, ".png");
}

TEST(RecordRows, MysqlRowsAreThisMachinesOnlyAndNeedEverySetting) {
    test::TestDatabase db;
    ASSERT_TRUE(db.ok()) << test::shared_mariadb().error();
    MysqlRecordStore store(db.settings());
    ASSERT_TRUE(store.ensure_record_table().ok);
    ASSERT_TRUE(store.insert_record(record("m1", "111", "http://x/1")).ok);
    ASSERT_TRUE(store.insert_record(record("m2", "222", "http://x/2")).ok);
    ASSERT_TRUE(store.insert_record(record("m3", "111", "http://x/3")).ok);

    test::TempDir dir;
    const auto rows = load_record_rows(true, db.settings(), "111", dir.path());
    auto names = digests(rows);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"m1", "m3"}));

    MysqlSettings missing_port = db.settings();
    missing_port.port = 0;
    EXPECT_TRUE(load_record_rows(true, missing_port, "111", dir.path()).empty());
    MysqlSettings missing_password = db.settings();
    missing_password.password.clear();
    EXPECT_TRUE(load_record_rows(true, missing_password, "111", dir.path()).empty());
}
