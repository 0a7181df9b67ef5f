// The settings page's word on where the secrets are kept, and its offer to move them.
#include "window_harness.h"

#include "runtime/codepage.h"
#include "runtime/ini_file.h"
#include "settings/secret_store.h"

#include <QAction>
#include <QLineEdit>
#include <map>

using namespace velpic;
using namespace velpic::test;

namespace {

class MemoryKeyring final : public SecretStore {
public:
    explicit MemoryKeyring(std::map<std::string, std::string>& items) : items_(items) {}
    std::optional<std::string> read(const SecretSlot& slot) override {
        auto found = items_.find(slot.label);
        return found == items_.end() ? std::string() : found->second;
    }
    bool write(const SecretSlot& slot, const std::string& value) override {
        items_[slot.label] = value;
        return true;
    }
    bool remove(const SecretSlot& slot) override {
        items_.erase(slot.label);
        return true;
    }

private:
    std::map<std::string, std::string>& items_;
};

class SecretPlaceWindowTest : public WindowTest {
protected:
    void TearDown() override {
        set_keyring_store_for_tests({});
        WindowTest::TearDown();
    }
    void keyring(bool answers) {
        set_keyring_store_for_tests([this] { return std::make_unique<MemoryKeyring>(items); }, answers);
    }
    QAction* place_action() const {
        auto* action = window->findChild<QAction*>(QStringLiteral("动作_密钥存放"));
        EXPECT_NE(action, nullptr);
        return action;
    }
    void open_settings_page() {
        open_window();
        show_page(1);
        QApplication::processEvents();
    }
    void save() { QTest::mouseClick(find("按钮_保存"), Qt::LeftButton); }

    std::map<std::string, std::string> items;
};

} // namespace

TEST_F(SecretPlaceWindowTest, ThePageTellsWhereTheSecretsAreAndMovesThemOnSave) {
    // Named: saving alone would never move them.
    keyring(true);
    store_settings("alice", "pics", "tok-123");
    ASSERT_TRUE(move_secrets(settings_file_path(), SecretPlace::file).ok);
    open_settings_page();
    EXPECT_TRUE(place_action()->toolTip().contains(QStringLiteral("存于配置文件")));

    // Asked and taken back: nothing moves.
    place_action()->trigger();
    EXPECT_TRUE(place_action()->toolTip().contains(QStringLiteral("保存时将密钥移入系统钥匙环")));
    place_action()->trigger();
    EXPECT_TRUE(place_action()->toolTip().contains(QStringLiteral("存于配置文件")));

    place_action()->trigger();
    save();
    EXPECT_EQ(items["Velpic: gitee token for alice/pics"], "tok-123");
    EXPECT_EQ(read_ini_value(settings_file_path(), utf8_to_gbk("Gitee配置"), "Access_Token"), "");
    EXPECT_EQ(read_ini_value(settings_file_path(), utf8_to_gbk("密钥存放"), "TokenStore"), "keyring");

    open_settings_page();
    EXPECT_TRUE(place_action()->toolTip().contains(QStringLiteral("存于系统钥匙环")));
    EXPECT_EQ(find<QLineEdit>("编辑框_AccessToken")->text(), QStringLiteral("tok-123"));
    // And back into the file.
    place_action()->trigger();
    save();
    EXPECT_TRUE(items.empty());
    EXPECT_NE(read_ini_value(settings_file_path(), utf8_to_gbk("Gitee配置"), "Access_Token"), "");
}
