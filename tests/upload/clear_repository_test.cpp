#include "upload/clear_repository.h"

#include "records/local_record_file.h"
#include "records/mysql_record_store.h"
#include "runtime/codepage.h"
#include "runtime/files.h"
#include "support/mariadb_server.h"
#include "support/temp_dir.h"
#include "support/test_service.h"
#include "upload/contents_api.h"

#include <gtest/gtest.h>

#include <fstream>

namespace velpic {
namespace {

using test::ServiceAnswer;
using test::TestService;

class ClearRepositoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(service.running());
        setenv("VELPIC_SERVICE_BASE", service.base().c_str(), 1);
    }
    void TearDown() override { unsetenv("VELPIC_SERVICE_BASE"); }

    TestService service;
};

TEST_F(ClearRepositoryTest, SendsThePutWithTheTokenAndHeadersInReverseOrder) {
    service.put_file("alice", "pics", "a.png", "a");
    service.put_file("alice", "other", "b.png", "b");
    EXPECT_EQ(clear_repository("alice", "pics", "tok"), "Success");
    EXPECT_EQ(service.file_count("alice", "pics"), 0u);
    EXPECT_EQ(service.file_count("alice", "other"), 1u);

    auto requests = service.requests();
    ASSERT_EQ(requests.size(), 1u);
    const auto& request = requests[0];
    EXPECT_EQ(request.method, "PUT");
    EXPECT_EQ(request.target, "/api/v5/repos/alice/pics/clear");
    EXPECT_EQ(request.body, "{\"access_token\":\"tok\"}");
    EXPECT_EQ(request.header("User-Agent"), std::string(upload_user_agent));
    EXPECT_EQ(request.header("Content-Type"), "application/json;charset=UTF-8");
    EXPECT_GT(request.header_position("User-Agent"), 0u);
    EXPECT_GT(request.header_position("Content-Type"), request.header_position("User-Agent"));
}

TEST_F(ClearRepositoryTest, OnlyA204AnswerIsSuccess) {
    service.put_file("alice", "pics", "a.png", "a");
    service.set_clear_mode(TestService::ClearMode::ok);
    EXPECT_EQ(clear_repository("alice", "pics", "tok"), "Error");
    service.set_clear_mode(TestService::ClearMode::unauthorized);
    EXPECT_EQ(clear_repository("alice", "pics", "tok"), "Error");
    service.set_clear_mode(TestService::ClearMode::no_answer);
    EXPECT_EQ(clear_repository("alice", "pics", "tok"), "Error");
    service.set_clear_mode(TestService::ClearMode::automatic);
    service.set_access_token("right");
    EXPECT_EQ(clear_repository("alice", "pics", "wrong"), "Error");
    EXPECT_EQ(service.file_count("alice", "pics"), 1u);
    // A token holding a quote still reaches the service as that token.
    service.set_access_token("ri\"ght");
    EXPECT_EQ(clear_repository("alice", "pics", "ri\"ght"), "Success");
    service.stop();
    EXPECT_EQ(clear_repository("alice", "pics", "tok"), "Error");
}

TEST_F(ClearRepositoryTest, ARedirectIsNotFollowedWithTheToken) {
    service.put_file("alice", "pics", "a.png", "a");
    // Even a 302 would send the PUT and its body, token included, on to the host the answer names.
    const std::string elsewhere = service.base_for_host("localhost") + "api/v5/repos/alice/pics/clear";
    for (int status : {301, 302, 307, 308}) {
        service.preset_answer("PUT", "/api/v5/repos/alice/pics/clear", ServiceAnswer::redirect(status, elsewhere));
        ClearOutcome outcome = clear_repository_outcome("alice", "pics", "tok");
        EXPECT_FALSE(outcome.ok) << status;
        EXPECT_EQ(to_utf8(outcome.reason), "服务器要求转到 " + elsewhere + "，请求带有访问令牌，没有跟随");
    }
    EXPECT_EQ(service.requests().size(), 4u);
    for (const auto& request : service.requests())
        EXPECT_EQ(request.header("Host"), "127.0.0.1:" + std::to_string(service.port()));
    EXPECT_EQ(service.file_count("alice", "pics"), 1u);
}

TEST_F(ClearRepositoryTest, FailuresSayWhyAndBadNamesSendNothing) {
    service.set_access_token("right");
    EXPECT_EQ(to_utf8(clear_repository_outcome("alice", "pics", "wrong").reason),
              "访问令牌错误或已失效（HTTP 401：401 Unauthorized: Access token does not exist）");
    ClearOutcome bad = clear_repository_outcome("alice/pics/contents/evil?", "x", "right");
    EXPECT_FALSE(bad.ok);
    EXPECT_TRUE(to_utf8(bad.reason).starts_with("仓库所有者或仓库名无效")) << to_utf8(bad.reason);
    EXPECT_EQ(clear_repository("alice", "..", "right"), "Error");
    EXPECT_EQ(service.requests().size(), 1u);
    service.set_clear_mode(TestService::ClearMode::no_answer);
    EXPECT_EQ(to_utf8(clear_repository_outcome("alice", "pics", "right").reason), "服务器未回答就关闭了连接（Empty reply from server）");
    service.stop();
    EXPECT_TRUE(to_utf8(clear_repository_outcome("alice", "pics", "right").reason).starts_with("无法连接到服务器（"));
}

TEST(ClearRepositoryTls, SendsTheTokenOnlyToAServerWhoseCertificateVerifies) {
    TestService service(TestService::Transport::tls);
    ASSERT_TRUE(service.running());
    setenv("VELPIC_SERVICE_BASE", service.base().c_str(), 1);
    unsetenv("VELPIC_CA_FILE");
    EXPECT_EQ(clear_repository("alice", "pics", "tok"), "Error");
    EXPECT_EQ(service.requests().size(), 0u);

    test::TempDir dir;
    std::ofstream(dir.file("ca.pem")) << service.certificate_pem();
    setenv("VELPIC_CA_FILE", dir.file("ca.pem").c_str(), 1);
    EXPECT_EQ(clear_repository("alice", "pics", "tok"), "Success");
    unsetenv("VELPIC_CA_FILE");
    unsetenv("VELPIC_SERVICE_BASE");
}

TEST(RemoveAllRecords, DeletesTheLocalFileOrEveryMachinesRows) {
    test::TempDir dir;
    const auto file = dir.path() / "本地记录.ini";
    ASSERT_TRUE(write_local_record(file, UploadRecord{"d1", "1", "", "u", ".png"}));
    EXPECT_TRUE(remove_all_records(false, {}, dir.path()).ok);
    EXPECT_FALSE(file_exists(file));
    EXPECT_TRUE(remove_all_records(false, {}, dir.path()).ok); // nothing to delete is no error

    test::TestDatabase database;
    ASSERT_TRUE(database.ok()) << test::shared_mariadb().error();
    MysqlRecordStore store(database.settings());
    ASSERT_TRUE(store.ensure_record_table().ok);
    ASSERT_TRUE(store.insert_record(UploadRecord{"d1", "1", "machine-A", "u1", ".png"}).ok);
    ASSERT_TRUE(store.insert_record(UploadRecord{"d2", "2", "machine-B", "u2", ".gif"}).ok);
    EXPECT_TRUE(remove_all_records(true, database.settings(), dir.path()).ok);
    EXPECT_TRUE(store.list_machine_records("machine-A").empty());
    EXPECT_TRUE(store.list_machine_records("machine-B").empty());

    MysqlSettings unreachable = database.settings();
    unreachable.port = test::MariaDbServer::unused_port();
    RecordRemoval removal = remove_all_records(true, unreachable, dir.path());
    EXPECT_FALSE(removal.ok);
    EXPECT_FALSE(removal.error.empty());
}

} // namespace
} // namespace velpic
