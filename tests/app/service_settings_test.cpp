#include "window_harness.h"

#include "app/ui/picture_box.h"
#include "app/ui/ui_text.h"
#include "runtime/service_base.h"

#include <QAbstractSpinBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QWheelEvent>
#include <QTextDocumentFragment>

#include <array>
#include <vector>

using namespace velpic;
using namespace velpic::test;

namespace {

// The six boxes of a profile, in the order of the members of RepositoryProfile.
constexpr std::array<const char*, 6> kProfileBoxes = {"编辑框_Owner", "编辑框_Repo",     "编辑框_AccessToken",
                                                      "编辑框_分支",  "编辑框_服务地址", "编辑框_链接前缀"};
using Typed = std::array<const char*, 6>;

class ServiceSettingsTest : public WindowTest {
protected:
    void open_settings_page() {
        open_window();
        show_page(1);
        QApplication::processEvents();
    }
    QComboBox* choice() const { return find<QComboBox>("组合框_图床服务"); }
    void choose(ServiceKind service) { choice()->setCurrentIndex(static_cast<int>(service)); }
    void type(const Typed& values) {
        for (std::size_t i = 0; i < kProfileBoxes.size(); ++i)
            find<QLineEdit>(kProfileBoxes[i])->setText(QString::fromUtf8(values[i]));
    }
    // What the profile's boxes show, as UTF-8 for readable failures.
    std::array<std::string, 6> shown() const {
        std::array<std::string, 6> texts;
        for (std::size_t i = 0; i < kProfileBoxes.size(); ++i)
            texts[i] = find<QLineEdit>(kProfileBoxes[i])->text().toStdString();
        return texts;
    }
    static std::array<std::string, 6> texts(const Typed& values) {
        std::array<std::string, 6> result;
        for (std::size_t i = 0; i < values.size(); ++i)
            result[i] = values[i];
        return result;
    }
    static std::array<std::string, 6> texts(const RepositoryProfile& p) {
        return {p.owner, p.repo, p.access_token, p.branch, p.service_url, p.address_prefix};
    }
    void save() { QTest::mouseClick(find("按钮_保存"), Qt::LeftButton); }
    SettingsStore store() const {
        return SettingsStore(
            settings_file_path(), [] { return std::string("77"); }, [](const MysqlSettings&) {});
    }
    QString example_address() const {
        return QTextDocumentFragment::fromHtml(find<QLabel>("标签11")->toolTip()).toPlainText();
    }
    bool shown_on_page(const char* name) const { return find(name)->isVisibleTo(window.get()); }
};

const Typed kEmpty = {"", "", "", "", "", ""};

TEST_F(ServiceSettingsTest, EachServiceShowsItsStoredProfileAndSavingMakesTheChosenOneActive) {
    store_settings("alice", "pics", "tok");
    open_settings_page();
    ASSERT_EQ(choice()->count(), 3);
    EXPECT_EQ(choice()->itemText(0), QStringLiteral("Gitee"));
    EXPECT_EQ(choice()->itemText(1), QStringLiteral("GitHub"));
    EXPECT_EQ(choice()->itemText(2), QStringLiteral("Gitea/Forgejo"));
    EXPECT_EQ(choice()->currentIndex(), 0);
    const Typed gitee = {"alice", "pics", "tok", "", "", ""};
    EXPECT_EQ(shown(), texts(gitee));

    choose(ServiceKind::github);
    EXPECT_EQ(find<QGroupBox>("分组框1")->title(), QStringLiteral("GitHub配置"));
    EXPECT_EQ(shown(), texts(kEmpty));
    const Typed github = {"bob", "shots", "ghp_1", "images", "", "https://cdn.example/pics"};
    type(github);
    save();
    EXPECT_EQ(dialogs.messages.back(), QStringLiteral("保存成功！"));
    EXPECT_EQ(tabs()->currentIndex(), 0);
    EXPECT_EQ(store().active_service(), ServiceKind::github);
    EXPECT_EQ(texts(store().read_profile(ServiceKind::github)), texts(github));
    EXPECT_EQ(texts(store().read_profile(ServiceKind::gitee)), texts(gitee));
    EXPECT_EQ(state.snapshot().repository().service, ServiceKind::github);
    EXPECT_EQ(state.snapshot().repository().owner, "bob");
    EXPECT_TRUE(find<PictureBox>("画板1")->is_drop_target());

    // The next visit opens on the active service; switching back and forth shows each stored profile unchanged.
    show_page(1);
    EXPECT_EQ(choice()->currentIndex(), 1);
    EXPECT_EQ(shown(), texts(github));
    const std::pair<ServiceKind, Typed> visits[] = {{ServiceKind::gitee, gitee},
                                                    {ServiceKind::github, github},
                                                    {ServiceKind::gitea, kEmpty},
                                                    {ServiceKind::gitee, gitee},
                                                    {ServiceKind::github, github}};
    for (const auto& [service, expected] : visits) {
        choose(service);
        EXPECT_EQ(shown(), texts(expected)) << service_name(service);
    }

    // Saving gitee again makes it the active one and leaves GitHub's profile as it was.
    choose(ServiceKind::gitee);
    save();
    EXPECT_EQ(store().active_service(), ServiceKind::gitee);
    EXPECT_EQ(texts(store().read_profile(ServiceKind::github)), texts(github));
    EXPECT_EQ(state.snapshot().repository().owner, "alice");
}

TEST_F(ServiceSettingsTest, WhatWasTypedForAServiceStaysUntilThePageIsLeftWithoutSaving) {
    store_settings("alice", "pics", "tok");
    open_settings_page();
    find<QLineEdit>("编辑框_Owner")->setText(QStringLiteral("carol"));
    choose(ServiceKind::github);
    find<QLineEdit>("编辑框_Owner")->setText(QStringLiteral("dave"));
    choose(ServiceKind::gitee);
    EXPECT_EQ(find<QLineEdit>("编辑框_Owner")->text(), QStringLiteral("carol"));
    EXPECT_EQ(find<QLineEdit>("编辑框_AccessToken")->text(), QStringLiteral("tok"));
    choose(ServiceKind::github);
    EXPECT_EQ(find<QLineEdit>("编辑框_Owner")->text(), QStringLiteral("dave"));

    QTest::mouseClick(find("按钮_取消"), Qt::LeftButton);
    show_page(1);
    EXPECT_EQ(choice()->currentIndex(), 0);
    EXPECT_EQ(find<QLineEdit>("编辑框_Owner")->text(), QStringLiteral("alice"));
    choose(ServiceKind::github);
    EXPECT_EQ(shown(), texts(kEmpty));
    EXPECT_EQ(store().active_service(), ServiceKind::gitee);
}

TEST_F(ServiceSettingsTest, TheExampleAddressFollowsTheServiceAndWhatIsTyped) {
    const std::string gitee_site = service_base();
    struct Case {
        ServiceKind service;
        Typed typed;
        std::string address;
        const char* kept = nullptr; // shown unbroken whatever the font
    };
    const Case cases[] = {
        {ServiceKind::gitee, kEmpty, gitee_site + "[Owner]/[Repo]/raw/master/<md5>.png"},
        {ServiceKind::gitee,
         {"alice", "pics", "t", "dev", "https://gitee.example", ""},
         "https://gitee.example/alice/pics/raw/dev/<md5>.png"},
        {ServiceKind::github, kEmpty, "https://raw.githubusercontent.com/[Owner]/[Repo]/默认分支/<md5>.png"},
        {ServiceKind::github,
         {"bob", "shots", "t", "images", "https://api.github.com/", ""},
         "https://raw.githubusercontent.com/bob/shots/images/<md5>.png"},
        {ServiceKind::gitea, {"bob", "shots", "", "", "", ""}, "[服务地址]/bob/shots/raw/branch/默认分支/<md5>.png"},
        {ServiceKind::gitea,
         {"bob", "shots", "", "main", "https://codeberg.org", ""},
         "https://codeberg.org/bob/shots/raw/branch/main/<md5>.png"},
        {ServiceKind::github,
         {"bob", "shots", "", "", "", "https://cdn.example/img"},
         "https://cdn.example/img/<md5>.png"},
        {ServiceKind::gitee, {"alice", "<b>x</b>", "", "", "", ""}, gitee_site + "alice/<b>x</b>/raw/master/<md5>.png"},
        // Once cut to "http://1···1:18791/…": host and port are what the user checks here.
        {ServiceKind::gitea,
         {"alice", "pictures-of-2026", "", "main", "http://127.0.0.1:18791", ""},
         "http://127.0.0.1:18791/alice/pictures-of-2026/raw/branch/main/<md5>.png", "示例：http://127.0.0.1:18791/"},
        // Three lines and more: the label grows, and the group and everything below it make room.
        {ServiceKind::gitea,
         {"a-rather-long-owner-name", "pictures-of-every-trip-in-2026", "", "main-branch-of-pictures",
          "http://pictures.intranet.example.com:18791", ""},
         "http://pictures.intranet.example.com:18791/a-rather-long-owner-name/pictures-of-every-trip-in-2026/raw/"
         "branch/main-branch-of-pictures/<md5>.png",
         "示例：http://pictures.intranet.example.com"},
    };
    open_settings_page();
    auto* example = find<QLabel>("标签11");
    auto* group = find("分组框1");
    auto* mode = find("分组框3");
    for (const Case& c : cases) {
        const std::string name = std::string(service_name(c.service)) + " " + c.address;
        choose(c.service);
        type(c.typed);
        EXPECT_EQ(example_address().toStdString(), "示例：" + c.address) << name;
        // Whole, only broken into lines, every line in view, its start and its file name kept.
        const QStringList lines = example->text().split(QLatin1Char('\n'));
        EXPECT_EQ(example->text().remove(QLatin1Char('\n')).toStdString(), "示例：" + c.address) << name;
        if (c.kept != nullptr) {
            EXPECT_TRUE(example->text().contains(QString::fromUtf8(c.kept))) << name << ": " << example->text().toStdString();
        }
        EXPECT_GE(example->height(), lines.size() * example->fontMetrics().lineSpacing()) << name;
        EXPECT_LE(example->sizeHint().width(), example->width()) << name;
        for (const QString& line : lines) {
            EXPECT_LE(example->fontMetrics().horizontalAdvance(line), example->width()) << name;
        }
        EXPECT_TRUE(lines.front().startsWith(QStringLiteral("示例："))) << name;
        EXPECT_TRUE(lines.back().endsWith(QStringLiteral("<md5>.png"))) << name << ": " << example->text().toStdString();
        EXPECT_EQ(example->textFormat(), Qt::PlainText);
        EXPECT_LE(example->geometry().bottom(), group->contentsRect().bottom()) << name;
        EXPECT_GT(mode->y(), group->geometry().bottom()) << name;
    }
    EXPECT_GE(example->text().count(QLatin1Char('\n')), 2) << "the last case takes three lines";
}

TEST_F(ServiceSettingsTest, TheSignUpAndTokenLinksOpenTheChosenServicesPages) {
    const std::string gitee_site = service_base();
    struct Case {
        ServiceKind service;
        const char* service_url;
        std::string signup, tokens; // empty: the links are hidden
    };
    const Case cases[] = {
        {ServiceKind::gitee, "", gitee_site + "signup?from=homepage", gitee_site + "personal_access_tokens"},
        {ServiceKind::gitee, "https://gitee.example", "https://gitee.example/signup?from=homepage",
         "https://gitee.example/personal_access_tokens"},
        // Half an address typed so far is never handed to the browser.
        {ServiceKind::gitee, "gitee.example", gitee_site + "signup?from=homepage",
         gitee_site + "personal_access_tokens"},
        {ServiceKind::github, "", "https://github.com/signup",
         "https://github.com/settings/personal-access-tokens/new"},
        {ServiceKind::gitea, "https://codeberg.org/", "https://codeberg.org/user/sign_up",
         "https://codeberg.org/user/settings/applications"},
        {ServiceKind::gitea, "http://git.lan:3000", "http://git.lan:3000/user/sign_up",
         "http://git.lan:3000/user/settings/applications"},
        {ServiceKind::gitea, "", "", ""},
        {ServiceKind::gitea, "codeberg.org", "", ""},
    };
    open_settings_page();
    for (const Case& c : cases) {
        const std::string name = std::string(service_name(c.service)) + " " + c.service_url;
        choose(c.service);
        find<QLineEdit>("编辑框_服务地址")->setText(QString::fromUtf8(c.service_url));
        dialogs.urls.clear();
        EXPECT_EQ(shown_on_page("标签10"), !c.signup.empty()) << name;
        EXPECT_EQ(shown_on_page("标签9"), !c.tokens.empty()) << name;
        QTest::mousePress(find("标签10"), Qt::LeftButton);
        QTest::mousePress(find("标签9"), Qt::LeftButton);
        const QStringList expected =
            c.signup.empty() ? QStringList()
                             : QStringList({QString::fromStdString(c.signup), QString::fromStdString(c.tokens)});
        EXPECT_EQ(dialogs.urls, expected) << name;
    }
}

TEST_F(ServiceSettingsTest, APlainHttpServiceAddressIsPointedOutAsItIsTypedAndWhenSaved) {
    open_settings_page();
    choose(ServiceKind::gitea);
    auto* url = find<QLineEdit>("编辑框_服务地址");
    url->setFocus();
    EXPECT_FALSE(shown_on_page("标签_服务地址提示"));
    QTest::keyClicks(url, QStringLiteral("http://git.example.com"));
    EXPECT_TRUE(shown_on_page("标签_服务地址提示"));
    EXPECT_EQ(find<QLabel>("标签_服务地址提示")->toolTip(), from_gbk(unencrypted_service_url_warning()));

    const std::pair<const char*, bool> addresses[] = {
        {"https://git.example.com/", false},
        {"http://127.0.0.1:3000/", false},
        {"http://localhost:3000", false},
        {"http://[::1]:3000/", false},
        {"", false},
        {"http://10.0.0.7:3000/", true},
    };
    for (const auto& [address, hinted] : addresses) {
        url->setText(QString::fromUtf8(address));
        EXPECT_EQ(shown_on_page("标签_服务地址提示"), hinted) << address;
    }

    // Saved all the same, and told once more with the outcome.
    type({"bob", "shots", "tok", "", "http://git.example.com/", ""});
    save();
    EXPECT_EQ(dialogs.messages,
              QStringList(QStringLiteral("保存成功！\n") + from_gbk(unencrypted_service_url_warning())));
    EXPECT_EQ(store().read_profile(ServiceKind::gitea).service_url, "http://git.example.com/");
    show_page(1);
    EXPECT_TRUE(shown_on_page("标签_服务地址提示"));
    url->setText(QStringLiteral("https://git.example.com/"));
    save();
    EXPECT_EQ(dialogs.messages.back(), QStringLiteral("保存成功！"));
}

TEST_F(ServiceSettingsTest, NothingOnTheSettingsPageOverlapsInEitherRecordMode) {
    open_settings_page();
    // Everything the page can show at once: the hint under the service address too.
    choose(ServiceKind::gitea);
    find<QLineEdit>("编辑框_服务地址")->setText(QStringLiteral("http://git.example.com/"));
    ASSERT_TRUE(shown_on_page("标签_服务地址提示"));
    QWidget* canvas = find("分组框1")->parentWidget();
    auto shown_children = [](QWidget* parent) {
        std::vector<QWidget*> children;
        for (QWidget* child : parent->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            if (child->isVisibleTo(parent))
                children.push_back(child);
        }
        return children;
    };
    auto check_siblings = [&](QWidget* parent, const char* mode) {
        const std::vector<QWidget*> children = shown_children(parent);
        for (std::size_t i = 0; i < children.size(); ++i) {
            EXPECT_TRUE(parent->rect().contains(children[i]->geometry()))
                << mode << ": " << children[i]->objectName().toStdString() << " leaves "
                << parent->objectName().toStdString();
            for (std::size_t j = i + 1; j < children.size(); ++j) {
                EXPECT_FALSE(children[i]->geometry().intersects(children[j]->geometry()))
                    << mode << ": " << children[i]->objectName().toStdString() << " and "
                    << children[j]->objectName().toStdString();
            }
        }
    };
    auto* page = qobject_cast<QScrollArea*>(tabs()->widget(1));
    ASSERT_NE(page, nullptr);
    for (const char* mode : {"单选框_记录方式_MySQL", "单选框_记录方式_本地"}) {
        QTest::mouseClick(find(mode), Qt::LeftButton);
        QApplication::processEvents();
        check_siblings(canvas, mode);
        for (QWidget* child : shown_children(canvas)) {
            if (qobject_cast<QGroupBox*>(child) != nullptr)
                check_siblings(child, mode);
        }
    }
    // The buttons close the page, below its last group, and scrolling down brings them into view.
    QWidget* save_button = find("按钮_保存");
    EXPECT_GT(save_button->y(), find("分组框_链接检测")->geometry().bottom());
    EXPECT_EQ(find("按钮_取消")->y(), save_button->y());
    page->verticalScrollBar()->setValue(page->verticalScrollBar()->maximum());
    QApplication::processEvents();
    EXPECT_TRUE(page->viewport()->rect().contains(
        QRect(save_button->mapTo(page->viewport(), QPoint(0, 0)), save_button->size())));
}

} // namespace

namespace {

// A wheel turn over widget while the pointer merely passes over it.
void turn_wheel_over(QWidget* widget, int notches) {
    const QPointF at = QRectF(widget->rect()).center();
    QWheelEvent event(at, widget->mapToGlobal(at), QPoint(), QPoint(0, -120 * notches), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(widget, &event);
}

TEST_F(ServiceSettingsTest, TheWheelOverAChoiceOrNumberScrollsThePageAndChangesNothing) {
    open_settings_page();
    auto* page = qobject_cast<QScrollArea*>(tabs()->widget(1));
    ASSERT_NE(page, nullptr);
    QScrollBar* scroll = page->verticalScrollBar();
    ASSERT_GT(scroll->maximum(), 0);
    QWidget* canvas = find("分组框1")->parentWidget();
    // Every choice and number field of the page, the ones added later included.
    QList<QWidget*> fields;
    for (QComboBox* box : canvas->findChildren<QComboBox*>())
        fields << box;
    for (QAbstractSpinBox* box : canvas->findChildren<QAbstractSpinBox*>())
        fields << box;
    ASSERT_GE(fields.size(), 2);
    ASSERT_TRUE(fields.contains(find("组合框_链接格式")));
    ASSERT_TRUE(fields.contains(find("组合框_图床服务")));
    for (QWidget* field : fields) {
        const std::string name = field->objectName().toStdString();
        EXPECT_FALSE(field->hasFocus()) << name;
        // The wheel gives no focus of its own.
        EXPECT_EQ(field->focusPolicy(), Qt::StrongFocus) << name;
        auto* box = qobject_cast<QComboBox*>(field);
        auto* number = qobject_cast<QAbstractSpinBox*>(field);
        const int index = box != nullptr ? box->currentIndex() : -1;
        const QString text = number != nullptr ? number->text() : QString();
        for (const int notches : {1, -1}) {
            scroll->setValue(notches > 0 ? 0 : scroll->maximum());
            const int before = scroll->value();
            turn_wheel_over(field, notches);
            EXPECT_NE(scroll->value(), before) << name << " did not pass the wheel to the page";
            if (box != nullptr) {
                EXPECT_EQ(box->currentIndex(), index) << name;
            }
            if (number != nullptr) {
                EXPECT_EQ(number->text(), text) << name;
            }
        }
    }
}

} // namespace
