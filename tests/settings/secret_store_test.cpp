#include "settings/secret_store.h"

#include "runtime/codepage.h"
#include "runtime/ini_file.h"
#include "settings/app_state.h"
#include "settings/settings_store.h"
#include "settings/stored_secret.h"
#include "support/child_process.h"
#include "support/keyring_session.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>

using namespace velpic;

namespace {

const std::string section_gitee = utf8_to_gbk("Gitee配置");
const std::string section_github = utf8_to_gbk("GitHub配置");
const std::string section_mysql = utf8_to_gbk("MySQL配置");
const std::string section_place = utf8_to_gbk("密钥存放");
constexpr const char* token = "0123456789abcdef0123456789abcdef";
constexpr const char* password = "pass word";

// A keyring kept in memory that can refuse writes or forget what it was given.
struct MemoryKeyring {
    std::map<std::string, std::string> items; // label + key -> value
    bool refuse = false;
    bool forget = false;
    bool silent = false; // answers nothing at all

    static std::string name(const SecretSlot& slot) { return slot.label + "|" + slot.section + "|" + slot.key; }
};

class MemoryStore final : public SecretStore {
public:
    explicit MemoryStore(MemoryKeyring& keyring) : keyring_(keyring) {}
    std::optional<std::string> read(const SecretSlot& slot) override {
        if (keyring_.silent)
            return std::nullopt;
        auto found = keyring_.items.find(MemoryKeyring::name(slot));
        return found == keyring_.items.end() ? std::string() : found->second;
    }
    bool write(const SecretSlot& slot, const std::string& value) override {
        if (keyring_.refuse || keyring_.silent)
            return false;
        keyring_.items[MemoryKeyring::name(slot)] = keyring_.forget ? std::string("x") : value;
        return true;
    }
    bool remove(const SecretSlot& slot) override {
        keyring_.items.erase(MemoryKeyring::name(slot));
        return !keyring_.silent;
    }

private:
    MemoryKeyring& keyring_;
};

SettingsPage page_with_secrets() {
    SettingsPage page;
    page.owner = "alice";
    page.repo = "pics";
    page.access_token = token;
    page.server = "db.example";
    page.port = "3307";
    page.database_user = "bob";
    page.database_password = password;
    page.database_name = "images";
    page.server_key = "server key";
    return page;
}

std::string bytes_of(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

class SecretStoreTest : public ::testing::Test {
protected:
    void TearDown() override { set_keyring_store_for_tests({}); }

    void use_memory_keyring(bool answers = true) {
        set_keyring_store_for_tests([this] { return std::make_unique<MemoryStore>(keyring); }, answers);
    }
    SettingsStore store() const {
        return SettingsStore(file(), [] { return std::string("4242"); }, [](const MysqlSettings&) {});
    }
    std::filesystem::path file() const { return dir.file("settings.ini"); }
    std::string value(const std::string& section, const char* key) const {
        return read_ini_value(file(), section, key);
    }

    test::TempDir dir;
    MemoryKeyring keyring;
    AppState state;
};

} // namespace

TEST_F(SecretStoreTest, WithoutAnyKeyringTheSecretsStayInTheFileAsBefore) {
    use_memory_keyring(false);
    const SaveResult saved = store().save(page_with_secrets(), true, state);
    ASSERT_TRUE(saved.saved) << to_utf8(saved.message);
    EXPECT_EQ(value(section_gitee, "Access_Token"), encode_stored_secret(token));
    EXPECT_EQ(value(section_mysql, "DataBasePassword"), encode_stored_secret(password));
    // Not named: a later run on a desktop may still choose the keyring.
    EXPECT_EQ(value(section_place, "TokenStore"), "");
    EXPECT_TRUE(keyring.items.empty());
    EXPECT_EQ(store().read_page().access_token, token);
}

TEST_F(SecretStoreTest, NoSessionBusMeansTheFileAtOnce) {
    set_keyring_store_for_tests({});
    const auto keep = [](const char* name) {
        const char* value = std::getenv(name);
        return value ? std::optional<std::string>(value) : std::nullopt;
    };
    const auto bus = keep("DBUS_SESSION_BUS_ADDRESS");
    const auto runtime = keep("XDG_RUNTIME_DIR");
    const auto off = keep("VELPIC_NO_KEYRING");
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    ::unsetenv("VELPIC_NO_KEYRING");
    ::setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);
    const auto start = std::chrono::steady_clock::now();
    const bool answers = keyring_answers();
    const auto took = std::chrono::steady_clock::now() - start;
    const SaveResult saved = store().save(page_with_secrets(), false, state);
    const auto restore = [](const char* name, const std::optional<std::string>& value) {
        if (value)
            ::setenv(name, value->c_str(), 1);
        else
            ::unsetenv(name);
    };
    restore("DBUS_SESSION_BUS_ADDRESS", bus);
    restore("XDG_RUNTIME_DIR", runtime);
    restore("VELPIC_NO_KEYRING", off);
    EXPECT_FALSE(answers);
    EXPECT_LT(took, std::chrono::seconds(2));
    EXPECT_TRUE(fell_back_to_file()); // the command line's one notice
    ASSERT_TRUE(saved.saved);
    EXPECT_EQ(value(section_gitee, "Access_Token"), encode_stored_secret(token));
}

TEST_F(SecretStoreTest, AnsweringKeyringTakesEverySecretOnTheFirstSave) {
    // A MySQL password saved before any keyring was there, in the file.
    use_memory_keyring(false);
    ASSERT_TRUE(store().save(page_with_secrets(), true, state).saved);
    use_memory_keyring(true);
    SettingsPage page = page_with_secrets();
    page.access_token = "new-token";
    const SaveResult saved = store().save(page, true, state);
    ASSERT_TRUE(saved.saved) << to_utf8(saved.message);
    EXPECT_EQ(saved.warning, "");
    EXPECT_EQ(value(section_place, "TokenStore"), "keyring");
    const std::string bytes = bytes_of(file());
    EXPECT_EQ(bytes.find("Access_Token"), std::string::npos);
    EXPECT_EQ(bytes.find("DataBasePassword"), std::string::npos);
    EXPECT_EQ(bytes.find(encode_stored_secret("server key")), std::string::npos);
    EXPECT_EQ(keyring.items.at("Velpic: gitee token for alice/pics|" + section_gitee + "|Access_Token"), "new-token");
    EXPECT_EQ(keyring.items.at("Velpic: MySQL password for bob@db.example|" + section_mysql + "|DataBasePassword"),
              password);
    const SettingsPage read = store().read_page();
    EXPECT_EQ(read.access_token, "new-token");
    EXPECT_EQ(read.database_password, password);
    EXPECT_EQ(read.server_key, "server key");
    AppState loaded;
    EXPECT_TRUE(store().load_at_start(loaded));
    EXPECT_EQ(loaded.snapshot().repository().access_token, "new-token");
    EXPECT_FALSE(fell_back_to_file());
}

TEST_F(SecretStoreTest, RefusingOrForgetfulKeyringLeavesTheSecretInTheFile) {
    for (const bool forget : {false, true}) {
        SCOPED_TRACE(forget ? "forgets" : "refuses");
        std::filesystem::remove(file());
        keyring = {};
        keyring.refuse = !forget;
        keyring.forget = forget;
        use_memory_keyring(true);
        const SaveResult saved = store().save(page_with_secrets(), false, state);
        ASSERT_TRUE(saved.saved);
        EXPECT_EQ(value(section_gitee, "Access_Token"), encode_stored_secret(token));
        EXPECT_NE(to_utf8(saved.warning).find("gitee token for alice/pics"), std::string::npos);
        EXPECT_EQ(saved.warning.find(token), std::string::npos);
        EXPECT_EQ(store().read_page().access_token, token);
    }
}

TEST_F(SecretStoreTest, ARenamedProfileLeavesNoItemUnderItsOldName) {
    use_memory_keyring(true);
    ASSERT_TRUE(store().save(page_with_secrets(), false, state).saved);
    SettingsPage page = page_with_secrets();
    page.owner = "carol";
    ASSERT_TRUE(store().save(page, false, state).saved);
    EXPECT_EQ(keyring.items.count("Velpic: gitee token for alice/pics|" + section_gitee + "|Access_Token"), 0u);
    EXPECT_EQ(keyring.items.count("Velpic: gitee token for carol/pics|" + section_gitee + "|Access_Token"), 1u);
    EXPECT_EQ(store().read_page().access_token, token);
}

TEST_F(SecretStoreTest, TheFileNamesTheItemSoAHandEditedOwnerKeepsTheToken) {
    const auto item = [](const std::string& owner) {
        return "Velpic: gitee token for " + owner + "/pics|" + section_gitee + "|Access_Token";
    };
    struct Row {
        const char* what;
        const char* owner;    // in the file now
        const char* recorded; // the label the file records, if any
        const char* held_by;  // the owner in the label of the item holding the token
    };
    const Row rows[] = {
        {"a file of an older version records no label", "alice", nullptr, "alice"},
        {"the owner edited by hand", "bob", "Velpic: gitee token for alice/pics", "alice"},
        {"an older version renamed the profile since", "bob", "Velpic: gitee token for alice/pics", "bob"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::filesystem::remove(file());
        keyring = {};
        use_memory_keyring(true);
        ASSERT_TRUE(write_ini_value(file(), section_place, "TokenStore", "keyring"));
        ASSERT_TRUE(write_ini_value(file(), section_gitee, "Owner", row.owner));
        ASSERT_TRUE(write_ini_value(file(), section_gitee, "Repo", "pics"));
        if (row.recorded) {
            ASSERT_TRUE(write_ini_value(file(), section_gitee, "KeyringItem", row.recorded));
        }
        keyring.items[item(row.held_by)] = token;
        EXPECT_EQ(store().read_page().access_token, token);

        // Saved by the program, the item follows the owner in the file and the file names it; none is left behind.
        ASSERT_TRUE(store().save(store().read_page(), false, state).saved);
        EXPECT_EQ(value(section_gitee, "KeyringItem"), "Velpic: gitee token for " + std::string(row.owner) + "/pics");
        EXPECT_EQ(keyring.items, (std::map<std::string, std::string>{{item(row.owner), token}}));
        EXPECT_EQ(store().read_profile(ServiceKind::gitee).access_token, token);
    }
}

TEST_F(SecretStoreTest, MovesBetweenTheStoresKeepEverySecretAndNameThePlace) {
    use_memory_keyring(false);
    SettingsPage github = page_with_secrets();
    github.service = github.active_service = ServiceKind::github;
    github.access_token = "github-token";
    ASSERT_TRUE(store().save(github, true, state).saved);
    ASSERT_TRUE(store().save(page_with_secrets(), true, state).saved);
    use_memory_keyring(true);

    std::vector<std::string> steps;
    const SecretMove in = move_secrets(file(), SecretPlace::keyring, [&](const std::string& s) { steps.push_back(s); });
    ASSERT_TRUE(in.ok) << in.message;
    EXPECT_EQ(in.moved, 4); // two tokens, the MySQL password, the server key
    EXPECT_EQ(steps.back(), "settings file: secrets removed, token-store keyring");
    EXPECT_EQ(value(section_github, "Access_Token"), "");
    EXPECT_EQ(store().read_profile(ServiceKind::github).access_token, "github-token");
    for (const std::string& step : steps)
        EXPECT_EQ(step.find("github-token"), std::string::npos);

    const SecretMove out = move_secrets(file(), SecretPlace::file);
    ASSERT_TRUE(out.ok) << out.message;
    EXPECT_EQ(out.moved, 4);
    EXPECT_TRUE(keyring.items.empty());
    EXPECT_EQ(value(section_place, "TokenStore"), "file");
    EXPECT_EQ(value(section_github, "Access_Token"), encode_stored_secret("github-token"));
    EXPECT_EQ(value(section_mysql, "DataBasePassword"), encode_stored_secret(password));
    // Named file: no keyring is asked, even one that answers.
    keyring.silent = true;
    EXPECT_EQ(store().read_page().access_token, token);
}

TEST_F(SecretStoreTest, AMoveTheKeyringRefusesChangesNothing) {
    use_memory_keyring(false);
    ASSERT_TRUE(store().save(page_with_secrets(), true, state).saved);
    const std::string before = bytes_of(file());
    keyring.refuse = true;
    use_memory_keyring(true);
    const SecretMove refused = move_secrets(file(), SecretPlace::keyring);
    EXPECT_FALSE(refused.ok);
    EXPECT_NE(refused.message.find("gitee token for alice/pics"), std::string::npos);
    EXPECT_EQ(bytes_of(file()), before);

    // Back out of a keyring that does not answer: the file keeps what it had, nothing is named.
    keyring = {};
    ASSERT_TRUE(move_secrets(file(), SecretPlace::keyring).ok);
    const std::string in_keyring = bytes_of(file());
    keyring.silent = true;
    const SecretMove silent = move_secrets(file(), SecretPlace::file);
    EXPECT_FALSE(silent.ok);
    EXPECT_EQ(bytes_of(file()), in_keyring);
}

TEST_F(SecretStoreTest, AValueStillInTheFileWinsOverTheKeyring) {
    // What a move cut short between its two steps leaves: both hold it; the file's is the one read.
    use_memory_keyring(true);
    ASSERT_TRUE(store().save(page_with_secrets(), false, state).saved);
    ASSERT_TRUE(write_ini_value(file(), section_gitee, "Access_Token", encode_stored_secret("in-file")));
    EXPECT_EQ(store().read_page().access_token, "in-file");
}

// The real Secret Service: a GNOME Keyring of the test's own.

namespace {

std::string secret_tool(const std::vector<std::string>& args) {
    test::ChildProcess tool(test::on_path("secret-tool"), args);
    EXPECT_EQ(tool.wait_for_exit(), 0) << tool.err();
    return tool.out();
}

} // namespace

TEST_F(SecretStoreTest, RealKeyringHoldsEachSecretUnderAReadableLabel) {
    VELPIC_IN_KEYRING_SESSION(test::KeyringKind::unlocked);
    set_keyring_store_for_tests({});
    EXPECT_TRUE(keyring_answers());
    const SaveResult saved = store().save(page_with_secrets(), true, state);
    ASSERT_TRUE(saved.saved) << to_utf8(saved.message);
    EXPECT_EQ(saved.warning, "");
    EXPECT_EQ(value(section_place, "TokenStore"), "keyring");
    EXPECT_EQ(bytes_of(file()).find("Access_Token"), std::string::npos);

    const std::string listing = secret_tool({"search", "--all", "xdg:schema", "org.qt.keychain"});
    EXPECT_NE(listing.find("label = Velpic: gitee token for alice/pics"), std::string::npos) << listing;
    EXPECT_NE(listing.find("label = Velpic: MySQL password for bob@db.example"), std::string::npos) << listing;
    EXPECT_NE(listing.find("label = Velpic: editor server key"), std::string::npos) << listing;
    EXPECT_EQ(store().read_page().access_token, token);
    EXPECT_EQ(store().read_page().database_password, password);

    // Back into the file: the keyring forgets them.
    ASSERT_TRUE(move_secrets(file(), SecretPlace::file).ok);
    EXPECT_EQ(value(section_gitee, "Access_Token"), encode_stored_secret(token));
    test::ChildProcess search(test::on_path("secret-tool"), {"search", "--all", "xdg:schema", "org.qt.keychain"});
    search.wait_for_exit();
    EXPECT_EQ(search.out().find("Velpic:"), std::string::npos) << search.out();
}

TEST_F(SecretStoreTest, LockedKeyringRefusesAndTheFileKeepsTheSecrets) {
    VELPIC_IN_KEYRING_SESSION(test::KeyringKind::locked);
    set_keyring_store_for_tests({});
    const auto start = std::chrono::steady_clock::now();
    const SaveResult saved = store().save(page_with_secrets(), true, state);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    ASSERT_TRUE(saved.saved) << to_utf8(saved.message);
    EXPECT_NE(to_utf8(saved.warning).find("the keyring did not keep"), std::string::npos);
    EXPECT_EQ(value(section_gitee, "Access_Token"), encode_stored_secret(token));
    EXPECT_EQ(value(section_mysql, "DataBasePassword"), encode_stored_secret(password));
    EXPECT_EQ(store().read_page().access_token, token);
    const std::string before = bytes_of(file());
    const SecretMove move = move_secrets(file(), SecretPlace::keyring);
    EXPECT_FALSE(move.ok);
    EXPECT_EQ(move.message.find(token), std::string::npos);
    EXPECT_EQ(bytes_of(file()), before);
}
