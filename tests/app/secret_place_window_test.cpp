// The settings page's word on where the secrets are kept, and its offer to move them.
#include "window_harness.h"

#include "runtime/codepage.h"
#include "runtime/ini_file.h"
#include "settings/secret_store.h"

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QTextDocumentFragment>
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
    QLabel* place_line() const { return find<QLabel>("标签_密钥存放"); }
    // The line under the token as read, its link's words included.
    QString line_text() const {
        return QTextDocumentFragment::fromHtml(place_line()->text()).toPlainText().replace(QChar(0xA0), u' ');
    }
    // What a click on the line's link does.
    void take_offer() { Q_EMIT place_line()->linkActivated(QStringLiteral("move")); }
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
    // Under the token box, in the group, not inside the box.
    auto* token = find<QLineEdit>("编辑框_AccessToken");
    EXPECT_TRUE(token->actions().isEmpty());
    EXPECT_EQ(place_line()->parentWidget(), token->parentWidget());
    EXPECT_GT(place_line()->y(), token->geometry().bottom());
    EXPECT_LT(place_line()->geometry().bottom(), find("编辑框_分支")->y());
    EXPECT_LE(place_line()->sizeHint().width(), place_line()->width()) << line_text().toStdString();
    EXPECT_EQ(line_text(), QStringLiteral("密钥存于配置文件（已加密） 移入系统钥匙环"));

    // Asked and taken back, by the link or by the action: nothing moves.
    take_offer();
    EXPECT_EQ(line_text(), QStringLiteral("保存时将密钥移入系统钥匙环 取消"));
    place_action()->trigger();
    EXPECT_EQ(line_text(), QStringLiteral("密钥存于配置文件（已加密） 移入系统钥匙环"));

    take_offer();
    save();
    EXPECT_EQ(items["Velpic: gitee token for alice/pics"], "tok-123");
    EXPECT_EQ(read_ini_value(settings_file_path(), utf8_to_gbk("Gitee配置"), "Access_Token"), "");
    EXPECT_EQ(read_ini_value(settings_file_path(), utf8_to_gbk("密钥存放"), "TokenStore"), "keyring");

    open_settings_page();
    EXPECT_EQ(line_text(), QStringLiteral("密钥存于系统钥匙环 移入配置文件"));
    EXPECT_TRUE(place_line()->toolTip().contains(QStringLiteral("存于系统钥匙环")));
    EXPECT_EQ(find<QLineEdit>("编辑框_AccessToken")->text(), QStringLiteral("tok-123"));
    // And back into the file.
    take_offer();
    save();
    EXPECT_TRUE(items.empty());
    EXPECT_NE(read_ini_value(settings_file_path(), utf8_to_gbk("Gitee配置"), "Access_Token"), "");
}
