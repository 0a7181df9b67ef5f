// `velpic config set token-store keyring|file` as a whole process: killed at each of its own steps, run again, and
// the secrets it must never print.
#include "runtime/codepage.h"
#include "runtime/ini_file.h"
#include "settings/secret_store.h"
#include "settings/settings_store.h"
#include "settings/stored_secret.h"
#include "support/child_process.h"
#include "support/keyring_session.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>

using namespace velpic;
using namespace velpic::test;

namespace {

const std::string kProgram = VELPIC_EXECUTABLE;
constexpr const char* gitee_token = "gitee-token-0123456789";
constexpr const char* github_token = "github-token-9876543210";
constexpr const char* server_key = "server-key-abc";

class KeyringMoveTest : public ::testing::Test {
protected:
    std::filesystem::path file() const { return dir.path() / u8"配置.ini"; }
    std::vector<std::string> args(std::vector<std::string> rest) const {
        rest.insert(rest.begin(), {"--data-dir", dir.path().string()});
        return rest;
    }
    // Three secrets in the file, as an older version or a machine without a keyring leaves them.
    void save_in_file() const {
        for (const auto& command : std::vector<std::vector<std::string>>{
                 {"config", "set", "owner", "alice", "repo", "pics", "token", gitee_token, "server-key", server_key},
                 {"config", "set", "--service", "github", "owner", "al", "repo", "p", "token", github_token}}) {
            ChildProcess set(kProgram, args(command), {"VELPIC_NO_KEYRING=1"});
            ASSERT_EQ(set.wait_for_exit(), 0) << set.err();
        }
    }
    std::string bytes() const {
        std::ifstream in(file(), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    void restore(const std::string& saved) const { std::ofstream(file(), std::ios::binary) << saved; }
    // What every reader finds, wherever the secrets are.
    void expect_every_secret(const std::string& when) const {
        SCOPED_TRACE(when);
        set_keyring_store_for_tests({}); // no answer of an earlier probe is kept
        const SettingsStore store(file());
        EXPECT_EQ(store.read_profile(ServiceKind::gitee).access_token, gitee_token);
        EXPECT_EQ(store.read_profile(ServiceKind::github).access_token, github_token);
        EXPECT_EQ(store.read_page().server_key, server_key);
    }

    TempDir dir;
};

} // namespace

TEST_F(KeyringMoveTest, AKillAtAnyStepOfEitherMoveLosesNoSecret) {
    VELPIC_IN_KEYRING_SESSION(KeyringKind::unlocked);
    save_in_file();
    const std::string in_file = bytes();
    const std::vector<std::string> into_keyring = {"gitee token for alice/pics: in the keyring",
                                                   "github token for al/p: in the keyring",
                                                   "editor server key: in the keyring",
                                                   "settings file: secrets removed"};
    for (const std::string& marker : into_keyring) {
        restore(in_file);
        ChildProcess move(kProgram, args({"config", "set", "token-store", "keyring"}));
        ASSERT_TRUE(move.wait_for_error_line(marker)) << move.err();
        move.signal(SIGKILL);
        move.wait_for_exit();
        expect_every_secret("killed after: " + marker);
    }
    ChildProcess in(kProgram, args({"config", "set", "token-store", "keyring"}));
    ASSERT_EQ(in.wait_for_exit(), 0) << in.err();
    EXPECT_EQ(read_ini_value(file(), utf8_to_gbk("密钥存放"), "TokenStore"), "keyring");
    EXPECT_EQ(bytes().find("Access_Token"), std::string::npos);
    expect_every_secret("moved into the keyring");
    const std::string in_keyring = bytes();

    const std::vector<std::string> into_file = {"settings file: secrets written",
                                                "gitee token for alice/pics: removed from the keyring",
                                                "editor server key: removed from the keyring"};
    for (const std::string& marker : into_file) {
        restore(in_keyring);
        ChildProcess move(kProgram, args({"config", "set", "token-store", "file"}));
        ASSERT_TRUE(move.wait_for_error_line(marker)) << move.err();
        move.signal(SIGKILL);
        move.wait_for_exit();
        expect_every_secret("killed after: " + marker);
        // A move cut short is run again to its end.
        ChildProcess again(kProgram, args({"config", "set", "token-store", "file"}));
        ASSERT_EQ(again.wait_for_exit(), 0) << again.err();
        expect_every_secret("run again after: " + marker);
        ChildProcess back(kProgram, args({"config", "set", "token-store", "keyring"}));
        ASSERT_EQ(back.wait_for_exit(), 0) << back.err();
    }
    for (const std::string& output : {in.out(), in.err()})
        for (const char* secret : {gitee_token, github_token, server_key})
            EXPECT_EQ(output.find(secret), std::string::npos);
}

TEST_F(KeyringMoveTest, ShowMasksTheSecretsAndNamesWhereTheyAre) {
    VELPIC_IN_KEYRING_SESSION(KeyringKind::unlocked);
    save_in_file();
    ChildProcess in(kProgram, args({"config", "set", "token-store", "keyring"}));
    ASSERT_EQ(in.wait_for_exit(), 0) << in.err();
    EXPECT_NE(in.out().find("token-store keyring: 3 secret(s) moved"), std::string::npos) << in.out();
    ChildProcess show(kProgram, args({"config", "show"}));
    ASSERT_EQ(show.wait_for_exit(), 0) << show.err();
    EXPECT_NE(show.out().find("token-store\tkeyring\n"), std::string::npos) << show.out();
    EXPECT_NE(show.out().find("token\t********\n"), std::string::npos) << show.out();
    for (const char* secret : {gitee_token, server_key})
        EXPECT_EQ(show.out().find(secret) + show.err().find(secret), 2 * std::string::npos);
}

TEST_F(KeyringMoveTest, WithoutASessionBusTheCommandLineSaysOnceThatTheFileIsUsed) {
    ChildProcess set(kProgram,
                     args({"config", "set", "owner", "alice", "repo", "pics", "token", gitee_token, "server-key",
                           server_key}),
                     {"VELPIC_NO_KEYRING", "DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR=" + dir.path().string()});
    ASSERT_EQ(set.wait_for_exit(), 0) << set.err();
    std::size_t notices = 0;
    for (std::size_t at = set.err().find("no Secret Service answered"); at != std::string::npos;
         at = set.err().find("no Secret Service answered", at + 1))
        ++notices;
    EXPECT_EQ(notices, 1u) << set.err();
    EXPECT_EQ(read_ini_value(file(), utf8_to_gbk("Gitee配置"), "Access_Token"), encode_stored_secret(gitee_token));
    EXPECT_EQ(set.err().find(gitee_token), std::string::npos);

    ChildProcess show(kProgram, args({"config", "show"}),
                      {"VELPIC_NO_KEYRING", "DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR=" + dir.path().string()});
    ASSERT_EQ(show.wait_for_exit(), 0) << show.err();
    EXPECT_EQ(show.out().find(gitee_token), std::string::npos);
    EXPECT_NE(show.out().find("token\t********\n"), std::string::npos) << show.out();
}
