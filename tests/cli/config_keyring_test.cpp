// `velpic config set` with the secrets in a real keyring (a GNOME Keyring of the test's own): the item of a token
// is found after its owner was edited by hand, and follows the owner the command sets.
#include "command_runner.h"

#include "runtime/codepage.h"
#include "runtime/ini_file.h"
#include "settings/secret_store.h"
#include "settings/settings_store.h"
#include "support/child_process.h"
#include "support/keyring_session.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace velpic;
using namespace velpic::test;

namespace {

constexpr const char* token = "gitee-token-0123456789";

// The labels of the program's token items in the keyring.
std::vector<std::string> token_labels() {
    ChildProcess search(on_path("secret-tool"), {"search", "--all", "xdg:schema", "org.qt.keychain"});
    search.wait_for_exit();
    std::vector<std::string> labels;
    std::istringstream lines(search.out());
    for (std::string line; std::getline(lines, line);)
        if (line.starts_with("label = Velpic: gitee token"))
            labels.push_back(line.substr(8));
    return labels;
}

} // namespace

TEST(ConfigKeyring, TheTokenSurvivesAHandEditedOwnerAndFollowsTheOneConfigSets) {
    VELPIC_IN_KEYRING_SESSION(KeyringKind::unlocked);
    set_keyring_store_for_tests({});
    TempDir dir;
    const std::filesystem::path file = dir.path() / u8"配置.ini";
    const std::string section = utf8_to_gbk("Gitee配置");
    const auto config = [&dir](std::vector<std::string> args) {
        args.insert(args.begin(), {"--data-dir", dir.path().string(), "config", "set"});
        const CommandOutcome outcome = run_command(std::move(args));
        EXPECT_EQ(outcome.status, 0) << outcome.err;
    };
    const auto stored_token = [&file] { return SettingsStore(file).read_profile(ServiceKind::gitee).access_token; };

    config({"owner", "alice", "repo", "pics", "token", token});
    EXPECT_EQ(read_ini_value(file, utf8_to_gbk("密钥存放"), "TokenStore"), "keyring");
    EXPECT_EQ(read_ini_value(file, section, "Access_Token"), "");
    EXPECT_EQ(token_labels(), std::vector<std::string>{"Velpic: gitee token for alice/pics"});

    // Owner and repository edited by hand: the item keeps its label and is still found.
    ASSERT_TRUE(write_ini_value(file, section, "Owner", "alice2"));
    ASSERT_TRUE(write_ini_value(file, section, "Repo", "pics2"));
    EXPECT_EQ(stored_token(), token);

    // Set by the command: the item follows, none stays under an old label, and the file names the new one.
    config({"owner", "carol"});
    EXPECT_EQ(token_labels(), std::vector<std::string>{"Velpic: gitee token for carol/pics2"});
    EXPECT_EQ(read_ini_value(file, section, "KeyringItem"), "Velpic: gitee token for carol/pics2");
    EXPECT_EQ(stored_token(), token);
    config({"repo", "pics"});
    EXPECT_EQ(token_labels(), std::vector<std::string>{"Velpic: gitee token for carol/pics"});
    EXPECT_EQ(stored_token(), token);
}
